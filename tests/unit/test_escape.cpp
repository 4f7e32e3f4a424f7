// Console escape sequences: colours, clearing, cursor moves, and sequences
// that have no action.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "fake_win32/fake_console.h"

#define ESC "\x1b"

namespace {

// Each run starts from a fresh console with the cursor at (x, y). The text
// sits in a heap block of exactly its size, so that the address sanitizer
// sees any read past its terminator.
void run(const std::string &text, int x = 0, int y = 0)
{
    fake::reset_console();
    g_con_handle = 0;
    fake::place_cursor(x, y);
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    text.copy(copy.get(), text.size());
    copy[text.size()] = '\0';
    con_write(copy.get());
}

size_t count(fake::ConsoleOp op)
{
    return fake::console_calls(op).size();
}

void expect_cursor(int x, int y)
{
    COORD cursor = fake::console_cursor();
    EXPECT_EQ(x, cursor.X);
    EXPECT_EQ(y, cursor.Y);
}

// The calls from the index-th on.
std::vector<fake::ConsoleCall> calls_from(size_t index)
{
    std::vector<fake::ConsoleCall> calls = fake::console_calls();
    return std::vector<fake::ConsoleCall>(calls.begin() + (long)index, calls.end());
}

TEST(EscapeColour, EachColourSequenceSetsItsAttribute)
{
    // Scenario: each colour sequence, fresh, followed by "OK".
    // Expect: one SetConsoleTextAttribute with the attribute of the table, nothing of the
    //         sequence written, and "OK" written in that attribute.
    struct Case {
        const char *sequence;
        WORD attribute;
    };
    const Case cases[] = {
        {ESC "[m", 0x0F},       {ESC "[0m", 0x0F},      {ESC "[1m", 0x0F},
        {ESC "[31m", 0x0C},     {ESC "[32m", 0x0A},     {ESC "[34m", 0x09},
        {ESC "[35m", 0x0D},     {ESC "[36m", 0x0B},     {ESC "[41m", 0xC0},
        {ESC "[46m", 0xB0},     {ESC "[7m", 0xF0},      {ESC "[8m", 0x00},
        {ESC "[30m", 0x00},     {ESC "[40m", 0x00},     {ESC "[37m", 0x0F},
        {ESC "[47m", 0xF0},     {ESC "[33;44m", 0x90},  {ESC "[44;33m", 0xE0},
        {ESC "[41;0m", 0x0F},   {ESC "[0;41m", 0xC0},   {ESC "[7;32m", 0xA0},
        {ESC "[7;8m", 0x00},    {ESC "[1;2;3;4;31m", 0x0C},
        {ESC "[48m", 0x0F},     {ESC "[49m", 0x0F},     {ESC "[-31m", 0x0F},
        {ESC "[38m", 0x0F},     {ESC "[39m", 0x0F},     {ESC "[7;39m", 0x0F},
        {ESC "[ 31m", 0x0C},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sequence + 1);
        run(std::string(c.sequence) + "OK");
        std::vector<fake::ConsoleCall> set = fake::console_calls(fake::ConsoleOp::set_attribute);
        ASSERT_EQ(1u, set.size());
        EXPECT_EQ(c.attribute, set[0].attribute);
        EXPECT_EQ("OK", fake::console_text());
        EXPECT_EQ(c.attribute, fake::cell_attribute(0, 0));
        EXPECT_EQ(c.attribute, fake::cell_attribute(1, 0));
    }
}

TEST(EscapeColour, NoColourCarriesOverToTheNextSequence)
{
    // Scenario: ESC [ 41 m "A", then ESC [ 33 m "B" in the same text; ESC [ 7 m then ESC [ 32 m.
    // Expect: A in 0xC0, B in 0x0E (foreground only); the second pair ends in 0x0A.
    run(ESC "[41mA" ESC "[33mB");
    EXPECT_EQ(0xC0, fake::cell_attribute(0, 0));
    EXPECT_EQ(0x0E, fake::cell_attribute(1, 0));
    run(ESC "[7m" ESC "[32m");
    EXPECT_EQ(0x0A, fake::console_attribute());
}

TEST(EscapeClear, ClearSequencesBlankTheTop24RowsInOrder)
{
    // Scenario: a full screen, cursor at (79, 24), then ESC [ 2 J, and again with ESC *.
    // Expect: cursor (0,0), attribute 0x0F, 24 writes of 80 blanks, cursor (0,0), and no other
    //         call; rows 0-23 blank in 0x0F, row 24 untouched, the attribute stays 0x0F.
    for (const char *sequence : {ESC "[2J", ESC "*"}) {
        SCOPED_TRACE(sequence + 1);
        std::string full = std::string(80 * 24, 'x') + std::string(79, 'y');
        run(full);
        size_t before = fake::console_calls().size();
        con_write(sequence);

        std::vector<fake::ConsoleCall> calls = calls_from(before);
        ASSERT_EQ(27u, calls.size());
        EXPECT_EQ(fake::ConsoleOp::set_cursor, calls[0].op);
        EXPECT_EQ(0, calls[0].cursor.X);
        EXPECT_EQ(0, calls[0].cursor.Y);
        EXPECT_EQ(fake::ConsoleOp::set_attribute, calls[1].op);
        EXPECT_EQ(0x0F, calls[1].attribute);
        for (size_t i = 2; i < 26; i++) {
            EXPECT_EQ(fake::ConsoleOp::write, calls[i].op);
            EXPECT_EQ(std::string(80, ' '), calls[i].bytes);
        }
        EXPECT_EQ(fake::ConsoleOp::set_cursor, calls[26].op);
        EXPECT_EQ(0, calls[26].cursor.X);
        EXPECT_EQ(0, calls[26].cursor.Y);

        expect_cursor(0, 0);
        EXPECT_EQ(0x0F, fake::console_attribute());
        EXPECT_EQ("", fake::row_text(0));
        EXPECT_EQ("", fake::row_text(23));
        EXPECT_EQ(0x0F, fake::cell_attribute(79, 23));
        EXPECT_EQ(std::string(79, 'y'), fake::row_text(24));
        EXPECT_EQ(0x07, fake::cell_attribute(0, 24));
    }
}

TEST(EscapeClear, SequencesWithoutActionAreConsumedUpToTheirCommand)
{
    // Scenario: ESC [ 0 J, ESC [ 1 J and ESC [ 5 K, each between "a" and "b".
    // Expect: no console call besides the writes "a" and "b"; the cursor stays after them.
    for (const char *sequence : {ESC "[0J", ESC "[1J", ESC "[5K"}) {
        SCOPED_TRACE(sequence + 1);
        run(std::string("a") + sequence + "b", 3, 2);
        EXPECT_EQ(2u, count(fake::ConsoleOp::write));
        EXPECT_EQ(3u, fake::console_calls().size());
        EXPECT_EQ("ab", fake::row_text(2).substr(3));
        expect_cursor(5, 2);
    }
}

TEST(EscapeCursor, AbsoluteMovesCountFromOneAndNeverReadThePosition)
{
    // Scenario: H and f sequences from (30, 20), among them numbers of more than 16 bits,
    //           negative numbers and a position off the screen.
    // Expect: the position asked for and the one reached; no GetConsoleScreenBufferInfo.
    struct Case {
        const char *sequence;
        int asked_x, asked_y, x, y;
    };
    const Case cases[] = {
        {ESC "[5;10H", 9, 4, 9, 4},         {ESC "[10;20f", 19, 9, 19, 9},
        {ESC "[0;0H", 0, 0, 0, 0},          {ESC "[1;1;9H", 0, 0, 0, 0},
        {ESC "[5H", 0, 4, 0, 4},            {ESC "[-5;-3H", 0, 0, 0, 0},
        {ESC "[ 5; 10H", 9, 4, 9, 4},       {ESC "[65541;65539H", 2, 4, 2, 4},
        {ESC "[30;90H", 89, 29, 30, 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sequence + 1);
        run(c.sequence, 30, 20);
        std::vector<fake::ConsoleCall> set = fake::console_calls(fake::ConsoleOp::set_cursor);
        ASSERT_EQ(1u, set.size());
        EXPECT_EQ(c.asked_x, set[0].cursor.X);
        EXPECT_EQ(c.asked_y, set[0].cursor.Y);
        expect_cursor(c.x, c.y);
        EXPECT_EQ(0u, count(fake::ConsoleOp::get_info));
        EXPECT_EQ(0u, count(fake::ConsoleOp::write));
    }
}

TEST(EscapeCursor, ColumnComesOnlyFromBeforeTheCommand)
{
    // Scenario: ESC [ 5 H directly followed by the digits "12".
    // Expect: the cursor goes to (0, 4) and "12" is written there.
    run(ESC "[5H12", 30, 20);
    std::vector<fake::ConsoleCall> written = fake::console_calls(fake::ConsoleOp::write);
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ("12", written[0].bytes);
    EXPECT_EQ(0, written[0].cursor.X);
    EXPECT_EQ(4, written[0].cursor.Y);
}

TEST(EscapeCursor, RelativeMovesStartFromTheCurrentPosition)
{
    // Scenario: each relative move from (7, 1), among them moves past an edge.
    // Expect: the position asked for and the one reached; up and left stop at 0, down and
    //         right have no bound and a position off the screen leaves the cursor where it was.
    struct Case {
        const char *sequence;
        int asked_x, asked_y, x, y;
    };
    const Case cases[] = {
        {ESC "[3A", 7, 0, 7, 0},   {ESC "[9D", 0, 1, 0, 1},     {ESC "[4C", 11, 1, 11, 1},
        {ESC "[4B", 7, 5, 7, 5},   {ESC "D", 7, 2, 7, 2},       {ESC "M", 7, 0, 7, 0},
        {ESC "M" ESC "M", 7, 0, 7, 0},                          {ESC "[90C", 97, 1, 7, 1},
        {ESC "[30B", 7, 31, 7, 1}, {ESC "[65535A", 7, 2, 7, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sequence + 1);
        run(c.sequence, 7, 1);
        std::vector<fake::ConsoleCall> set = fake::console_calls(fake::ConsoleOp::set_cursor);
        ASSERT_FALSE(set.empty());
        EXPECT_EQ(c.asked_x, set.back().cursor.X);
        EXPECT_EQ(c.asked_y, set.back().cursor.Y);
        expect_cursor(c.x, c.y);
        EXPECT_EQ(set.size(), count(fake::ConsoleOp::get_info));
        EXPECT_EQ(0u, count(fake::ConsoleOp::write));
    }
}

TEST(EscapeCursor, RelativeMovesDoNothingWithoutThePosition)
{
    // Scenario: GetConsoleScreenBufferInfo fails; each relative move, then an absolute one.
    // Expect: no SetConsoleCursorPosition for the relative moves; the absolute move still goes.
    for (const char *sequence :
         {ESC "[3A", ESC "[2B", ESC "[4C", ESC "[1D", ESC "D", ESC "M"}) {
        SCOPED_TRACE(sequence + 1);
        fake::reset_console();
        g_con_handle = 0;
        fake::place_cursor(7, 1);
        fake::set_screen_info_fails(true);
        con_write(sequence);
        EXPECT_EQ(0u, count(fake::ConsoleOp::set_cursor));
        expect_cursor(7, 1);
    }
    con_write(ESC "[5;10H");
    expect_cursor(9, 4);
}

TEST(EscapeUnfinished, SequencesWithoutCommandAreSkippedAndWritingGoesOn)
{
    // Scenario: "x", a sequence that leaves no usable command, and "y" (or the end of the text).
    // Expect: no console action; ESC and the bytes read as part of the sequence are not written,
    //         the rest is, and nothing past the terminator is read.
    struct Case {
        std::string text;
        std::string written;
    };
    const Case cases[] = {
        {"x" ESC, "x"},
        {"x" ESC "Qy", "xy"},
        {"x" ESC "[", "x"},
        {"x" ESC "[5", "x"},
        {"x" ESC "[5;", "x"},
        {"x" ESC "[5;y", "xy"},
        {"x" ESC "[Hy", "xHy"},
        {"x" ESC "[Jy", "xJy"},
        {"x" ESC "[1;2;3;4;5;6my", "xmy"},
        {"x" ESC "\x83\x68y", "xy"},
        {"x" ESC "[5\x83\x68y", "x\x83\x68y"},
        {"x" ESC "[5\x83", "x\x83"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(2));
        run(c.text);
        EXPECT_EQ(c.written, fake::console_text());
        EXPECT_EQ(0u, count(fake::ConsoleOp::set_cursor));
        EXPECT_EQ(0u, count(fake::ConsoleOp::set_attribute));
        EXPECT_EQ(0u, count(fake::ConsoleOp::get_info));
    }

    // An ESC right after an ESC starts a sequence of its own.
    run("x" ESC ESC "[31my");
    EXPECT_EQ("xy", fake::console_text());
    EXPECT_EQ(0x0C, fake::cell_attribute(1, 0));
}

}  // namespace
