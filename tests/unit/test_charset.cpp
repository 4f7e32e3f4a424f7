// Japanese texts are written in UTF-8 in the source and must reach Windows
// as code page 932 bytes. This file is compiled with the program's flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/banner.h"
#include "console/console.h"
#include "fake_win32/fake_console.h"

namespace {

std::vector<int> bytes_of(const std::string &text)
{
    std::vector<int> bytes;
    for (char c : text)
        bytes.push_back((unsigned char)c);
    return bytes;
}

TEST(Charset, JapaneseLiteralsAreCompiledToCodePage932)
{
    // Scenario: katakana, kanji, a character whose second byte is a backslash, half-width kana.
    // Expect: the code page 932 bytes of each, not their UTF-8 bytes.
    EXPECT_EQ((std::vector<int>{0x83, 0x68, 0x83, 0x89, 0x83, 0x43, 0x83, 0x75}),
              bytes_of("ドライブ"));
    EXPECT_EQ((std::vector<int>{0x8A, 0x4A, 0x8E, 0x6E}), bytes_of("開始"));
    EXPECT_EQ((std::vector<int>{0x83, 0x5C, 0x95, 0x5C}), bytes_of("ソ表"));
    EXPECT_EQ((std::vector<int>{0xB1, 0xB2}), bytes_of("ｱｲ"));
}

TEST(Charset, FormattedMessageBoxTextKeepsItsBytes)
{
    // Scenario: the drive confirmation format with the letter d, and a text holding a backslash
    //           second byte passed through %s.
    // Expect: MessageBoxA receives the code page 932 bytes with the letter in place.
    fake::reset_console();
    msgbox_printf(NULL, MB_OKCANCEL, BANNER, "ドライブ %c: のゼロクリヤ開始します", 'd');
    msgbox_printf(NULL, MB_OK, BANNER, "[%s]", "ソ表");
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ((std::vector<int>{0x83, 0x68, 0x83, 0x89, 0x83, 0x43, 0x83, 0x75, 0x20, 0x64, 0x3A,
                                0x20, 0x82, 0xCC, 0x83, 0x5B, 0x83, 0x8D, 0x83, 0x4E, 0x83, 0x8A,
                                0x83, 0x84, 0x8A, 0x4A, 0x8E, 0x6E, 0x82, 0xB5, 0x82, 0xDC, 0x82,
                                0xB7}),
              bytes_of(boxes[0].text));
    EXPECT_EQ((std::vector<int>{'[', 0x83, 0x5C, 0x95, 0x5C, ']'}), bytes_of(boxes[1].text));
}

TEST(Charset, ConsoleWritesCodePage932TextByteForByte)
{
    // Scenario: full-width and half-width kana and kanji, a colour sequence, more kanji.
    // Expect: two writes with the exact bytes, the second in the colour; half-width kana, being
    //         single bytes, do not hide the ESC that follows them.
    fake::reset_console();
    g_con_handle = 0;
    con_write("ドライブｱｲ\x1b[31m開始");
    std::vector<fake::ConsoleCall> writes = fake::console_calls(fake::ConsoleOp::write);
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(std::string("ドライブｱｲ"), writes[0].bytes);
    EXPECT_EQ(std::string("開始"), writes[1].bytes);
    EXPECT_EQ(0x0C, writes[1].attribute);
}

}  // namespace
