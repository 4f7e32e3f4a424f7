// The console writer and the printf-style message boxes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "console/banner.h"
#include "console/console.h"
#include "fake_win32/fake_console.h"

#define ESC "\x1b"

namespace {

// The text in a heap block of exactly its size, so that the address
// sanitizer sees any read past its terminator.
std::unique_ptr<char[]> exact_copy(const std::string &text)
{
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    text.copy(copy.get(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

void write_exact(const std::string &text)
{
    con_write(exact_copy(text).get());
}

std::vector<std::string> writes()
{
    std::vector<std::string> pieces;
    for (const fake::ConsoleCall &call : fake::console_calls(fake::ConsoleOp::write))
        pieces.push_back(call.bytes);
    return pieces;
}

HWND window(uintptr_t value)
{
    return reinterpret_cast<HWND>(value);
}

class ConsoleWriter : public ::testing::Test {
protected:
    void SetUp() override { restart(); }
    void restart()
    {
        fake::reset_console();
        g_con_handle = 0;
    }
};

TEST_F(ConsoleWriter, PutsWritesTheTextAndTheLineBreakInCallsOfTheirOwn)
{
    // Scenario: con_puts with three letters, with null, with "", and with the closing line "\nEND".
    // Expect: "abc" then "\n" in two calls and result 0; only "\n" for null and ""; "\nEND" then "\n".
    EXPECT_EQ(0, con_puts("abc"));
    EXPECT_EQ((std::vector<std::string>{"abc", "\n"}), writes());
    EXPECT_EQ(1, fake::console_cursor().Y);

    restart();
    EXPECT_EQ(0, con_puts(NULL));
    EXPECT_EQ(0, con_puts(""));
    EXPECT_EQ((std::vector<std::string>{"\n", "\n"}), writes());

    restart();
    con_puts("\nEND");
    EXPECT_EQ((std::vector<std::string>{"\nEND", "\n"}), writes());
    EXPECT_EQ("END", fake::row_text(1));
}

TEST_F(ConsoleWriter, NullOrEmptyTextMakesNoConsoleCall)
{
    // Scenario: con_write with a null text and with an empty text.
    // Expect: no console call at all, not even the handle lookup.
    con_write(NULL);
    con_write("");
    EXPECT_TRUE(fake::console_calls().empty());
    EXPECT_EQ(nullptr, g_con_handle);
}

TEST_F(ConsoleWriter, StandardErrorHandleIsLookedUpOnceAndKept)
{
    // Scenario: several texts of several segments on a console, then on a redirected handle.
    // Expect: one GetStdHandle(STD_ERROR_HANDLE) before the first segment and every call on its
    //         result; a handle that is not a console is kept too, its text lost without retry.
    write_exact("ab" ESC "[31mcd");
    con_puts("ef");
    EXPECT_EQ(std::vector<DWORD>{STD_ERROR_HANDLE}, fake::std_handle_requests());
    for (const fake::ConsoleCall &call : fake::console_calls()) {
        if (call.op != fake::ConsoleOp::get_std_handle) {
            EXPECT_EQ(fake::console_handle(), call.handle);
        }
    }
    EXPECT_EQ("abcdef", fake::row_text(0));

    restart();
    HANDLE file = reinterpret_cast<HANDLE>(uintptr_t{0x4F11E});
    fake::set_std_handle(file);
    EXPECT_EQ(0, con_puts("abc"));
    write_exact("x" ESC "[2Jy");
    EXPECT_EQ(1u, fake::std_handle_requests().size());
    EXPECT_EQ(file, g_con_handle);
    EXPECT_EQ("", fake::row_text(0));
}

TEST_F(ConsoleWriter, NullStandardErrorHandleIsAskedForAgainAtEachSegment)
{
    // Scenario: GetStdHandle answers null while a text of three segments is written, then a console.
    // Expect: one lookup per segment while it is null, the text lost; the first real handle is
    //         kept and the following segments and texts ask no more.
    fake::set_std_handle(NULL);
    write_exact("ab" ESC "[31mcd");
    EXPECT_EQ(3u, fake::std_handle_requests().size());
    EXPECT_EQ(nullptr, g_con_handle);
    EXPECT_EQ("", fake::row_text(0));

    fake::set_std_handle(fake::console_handle());
    write_exact("ef" ESC "[32mgh");
    con_puts("ij");
    EXPECT_EQ(4u, fake::std_handle_requests().size());
    EXPECT_EQ("efghij", fake::row_text(0));
}

TEST_F(ConsoleWriter, ClearSequenceBetweenLettersGivesTwoWrites)
{
    // Scenario: "ab", ESC [ 2 J, "cd" written with the cursor at (5, 3).
    // Expect: "ab" in one call at (5, 3), the clear, then "cd" in one call at (0, 0); row 3 blank.
    fake::place_cursor(5, 3);
    write_exact("ab" ESC "[2Jcd");
    std::vector<fake::ConsoleCall> calls = fake::console_calls(fake::ConsoleOp::write);
    ASSERT_EQ(26u, calls.size());
    EXPECT_EQ("ab", calls.front().bytes);
    EXPECT_EQ(5, calls.front().cursor.X);
    EXPECT_EQ(3, calls.front().cursor.Y);
    EXPECT_EQ("cd", calls.back().bytes);
    EXPECT_EQ(0, calls.back().cursor.X);
    EXPECT_EQ(0, calls.back().cursor.Y);
    EXPECT_EQ("cd", fake::row_text(0));
    EXPECT_EQ("", fake::row_text(3));
}

TEST_F(ConsoleWriter, SegmentsEndAtEachEscapeAndAfterEachSequence)
{
    // Scenario: con_write_segment walked by hand over "ab ESC [ 2 J cd"; a text that starts with ESC.
    // Expect: next segments at offsets 2 and 6, then null; no empty write before a leading sequence.
    std::unique_ptr<char[]> text = exact_copy("ab" ESC "[2Jcd");
    EXPECT_EQ(text.get() + 2, con_write_segment(text.get()));
    EXPECT_EQ(text.get() + 6, con_write_segment(text.get() + 2));
    EXPECT_EQ(nullptr, con_write_segment(text.get() + 6));

    restart();
    write_exact(ESC "[31mOK");
    EXPECT_EQ(std::vector<std::string>{"OK"}, writes());
    EXPECT_EQ(0x0C, fake::cell_attribute(0, 0));
}

TEST_F(ConsoleWriter, SearchStepsOverTwoByteCharacters)
{
    // Scenario: byte searches over code page 932 text, and plain texts with an ESC or a lone lead
    //           byte where a two-byte character's second byte would be.
    // Expect: second bytes never match; a lead byte before the terminator ends the search; such
    //         texts go out whole in one call and no sequence runs.
    const char pair_then_m[] = "\x83\x6Dm";
    EXPECT_EQ(pair_then_m + 2, find_byte_cp932(pair_then_m, 'm'));
    EXPECT_EQ(nullptr, find_byte_cp932("\x83\x5C", '\\'));
    EXPECT_EQ(nullptr, find_byte_cp932("ab\x81", 'x'));
    const char half_width[] = "\xB1m";
    EXPECT_EQ(half_width + 1, find_byte_cp932(half_width, 'm'));

    write_exact("A\x81" ESC "[2JB");
    EXPECT_EQ(std::vector<std::string>{"A\x81" ESC "[2JB"}, writes());
    EXPECT_TRUE(fake::console_calls(fake::ConsoleOp::set_cursor).empty());

    restart();
    write_exact("AB\x81");
    EXPECT_EQ(std::vector<std::string>{"AB\x81"}, writes());
}

TEST_F(ConsoleWriter, LongTextsAreWrittenInFullInWholeCharacters)
{
    // Scenario: 5,000 letters; 1,500 two-byte characters (the 2,047th byte is a lead byte);
    //           3,000 letters followed by ESC [ 31 m and "OK".
    // Expect: every byte written once, in pieces of at most 2,047 bytes, no piece ending inside a
    //         character; the sequence past the first piece still acts and is not written.
    std::string letters(5000, 'a');
    write_exact(letters);
    EXPECT_EQ(letters, fake::console_text());
    EXPECT_GE(writes().size(), 3u);
    for (const std::string &piece : writes())
        EXPECT_LE(piece.size(), 2047u);

    restart();
    std::string kana;
    for (int i = 0; i < 1500; i++)
        kana += "\x82\xA0";
    write_exact(kana);
    EXPECT_EQ(kana, fake::console_text());
    for (const std::string &piece : writes()) {
        EXPECT_LE(piece.size(), 2047u);
        EXPECT_EQ(0u, piece.size() % 2);
    }

    restart();
    write_exact(std::string(3000, 'b') + ESC "[31mOK");
    EXPECT_EQ(std::string(3000, 'b') + "OK", fake::console_text());
    std::vector<fake::ConsoleCall> calls = fake::console_calls(fake::ConsoleOp::write);
    EXPECT_EQ("OK", calls.back().bytes);
    EXPECT_EQ(0x0C, calls.back().attribute);
}

TEST_F(ConsoleWriter, PrintfFormatsTheWholeText)
{
    // Scenario: con_printf with the drive report format, and with a 3,000-character result.
    // Expect: the exact formatted bytes in one call; the long result written in full.
    con_printf("Drive[%s]Free/Size = %16s/%16s (B)\n", "d:", "1,234,567", "8,000,000");
    EXPECT_EQ("Drive[d:]Free/Size =        1,234,567/       8,000,000 (B)\n",
              fake::console_text());
    EXPECT_EQ(1u, writes().size());

    restart();
    std::string long_text(2990, 'x');
    con_printf("%s%10d", long_text.c_str(), 42);
    EXPECT_EQ(long_text + "        42", fake::console_text());
}

using MessageBoxes = ConsoleWriter;

TEST_F(MessageBoxes, FormatAndReorderArgumentsAndReturnTheAnswer)
{
    // Scenario: three boxes with owner, type, title and a format; answers scripted IDCANCEL, 0.
    // Expect: MessageBoxA(owner, text, title, type) with the formatted text; the answers IDCANCEL,
    //         0, then IDOK once the script is used up; no console call.
    fake::push_message_box_answer(IDCANCEL);
    fake::push_message_box_answer(0);
    EXPECT_EQ(IDCANCEL, msgbox_printf(NULL, MB_OKCANCEL, BANNER, "Drive %c: %d%%", 'd', 50));
    EXPECT_EQ(0, msgbox_printf(window(0xD1A1), MB_OK, BANNER, "plain"));
    EXPECT_EQ(IDOK, msgbox_printf(window(0xD1A1), MB_OK, "other", "%s", "x"));

    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_EQ("Drive d: 50%", boxes[0].text);
    EXPECT_EQ(BANNER, boxes[0].title);
    EXPECT_EQ(MB_OKCANCEL, boxes[0].type);
    EXPECT_EQ(window(0xD1A1), boxes[1].owner);
    EXPECT_EQ(MB_OK, boxes[1].type);
    EXPECT_EQ("other", boxes[2].title);
    EXPECT_TRUE(fake::console_calls().empty());
}

TEST_F(MessageBoxes, LongTextIsCutTo2047Bytes)
{
    // Scenario: a formatted text of 3,000 letters; one of 1,500 two-byte characters.
    // Expect: the first 2,047 letters; the first 1,023 characters, no half character at the end.
    std::string letters(3000, 'q');
    msgbox_printf(NULL, MB_OK, BANNER, "%s", letters.c_str());
    std::string kana;
    for (int i = 0; i < 1500; i++)
        kana += "\x82\xA0";
    msgbox_printf(NULL, MB_OK, BANNER, "%s", kana.c_str());

    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(letters.substr(0, 2047), boxes[0].text);
    EXPECT_EQ(kana.substr(0, 2046), boxes[1].text);
}

}  // namespace
