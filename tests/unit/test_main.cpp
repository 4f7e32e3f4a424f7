// The program from its entry point: arguments, confirmation, report line and
// closing line, with the real run under the double's dialog.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/banner.h"
#include "fake_win32/fake_win32.h"
#include "program_test.h"
#include "ui/progress_dialog.h"
#include "volume/volume.h"
#include "zerofill/zero_fill.h"

int voidfill_main(int argc, char **argv);

namespace {

const char BANNER_LINE[] = "VOIDFILL Jan 11 2008\n";
const char USAGE_LINE[] = "use  VOIDFILL x: or VODIFILL n:  (x: drive,  n: disk nonver)\n";
const char CLOSING[] = "\nEND\n";

class Main : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        // As at process start: no file system reported yet.
        snprintf(g_fs_name, sizeof g_fs_name, "%s", "Error");
    }
};

// Runs the program as "voidfill" followed by `arguments`.
int run(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "voidfill");
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return voidfill_main((int)arguments.size(), argv.data());
}

}  // namespace

// Scenario: no argument, two arguments, an empty one, and C, CC, #:, -:, 12:.
// Expect: the banner and the usage line only, exit status 0: no
//   confirmation, no query, no dialog, no closing line.
TEST_F(Main, WrongArgumentsPrintTheUsage)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"c:", "d:"}, {""}, {"C"}, {"CC"}, {"#:"}, {"-:"}, {"12:"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        SCOPED_TRACE(arguments.empty() ? "(none)" : arguments[0]);
        SetUp();
        fake::add_volume('c', "NTFS", RESERVE_BYTES, 1000000000);
        EXPECT_EQ(run(arguments), 0);
        EXPECT_EQ(fake::console_text(), std::string(BANNER_LINE) + USAGE_LINE);
        EXPECT_TRUE(fake::message_boxes().empty());
        EXPECT_TRUE(fake::space_calls().empty());
        EXPECT_TRUE(fake::create_file_calls().empty());
        EXPECT_TRUE(fake::dialogs().empty());
    }
}

// Scenario: c:, C: and c:\anything, the volume c holding 1,234,567 bytes
//   free (below the reserve).
// Expect: the confirmation and the report line show the letter as typed,
//   c:\anything acts as c:, and the run is handed that letter.
TEST_F(Main, DriveLetterAsTyped)
{
    const struct {
        const char *argument;
        const char *confirmation;
        const char *line_start;
        const char *run_text;
    } cases[] = {
        {"c:", "ドライブ c: のゼロクリヤ開始します", "Drive[c:]Free/Size = ",
         "c: ドライブにゼロを書込中"},
        {"C:", "ドライブ C: のゼロクリヤ開始します", "Drive[C:]Free/Size = ",
         "C: ドライブにゼロを書込中"},
        {"c:\\anything", "ドライブ c: のゼロクリヤ開始します", "Drive[c:]Free/Size = ",
         "c: ドライブにゼロを書込中"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        SetUp();
        fake::add_volume('c', "NTFS", 1234567, 9876543210);
        EXPECT_EQ(run({c.argument}), 0);

        std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].type, MB_OKCANCEL);
        EXPECT_EQ(boxes[0].title, BANNER);
        EXPECT_EQ(boxes[0].text, c.confirmation);

        std::string text = fake::console_text();
        std::string prefix = std::string(BANNER_LINE) + c.line_start;
        EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
        std::vector<std::string> status = fake::texts(IDC_STATUS);
        ASSERT_GE(status.size(), 2u);
        EXPECT_EQ(status[1], c.run_text);
    }
}

// Scenario: the confirmation answered with Cancel, in drive and disk mode.
// Expect: banner, empty line, END; nothing queried, no dialog.
TEST_F(Main, DeclinedConfirmationEndsAtOnce)
{
    for (const char *argument : {"d:", "0:"}) {
        SCOPED_TRACE(argument);
        SetUp();
        fake::add_volume('d', "NTFS", RESERVE_BYTES, 1000000000);
        fake::device_extents('D', {{0, 1048576, 1000000000}});
        fake::push_message_box_answer(IDCANCEL);
        EXPECT_EQ(run({argument}), 0);
        EXPECT_EQ(fake::console_text(), std::string(BANNER_LINE) + CLOSING);
        EXPECT_EQ(fake::message_boxes().size(), 1u);
        EXPECT_TRUE(fake::space_calls().empty());
        EXPECT_TRUE(fake::volume_information_calls().empty());
        EXPECT_TRUE(fake::create_file_calls().empty());
        EXPECT_TRUE(fake::dialogs().empty());
    }
}

// Scenario: d: with 1,234,567 bytes free of 9,876,543,210.
// Expect: banner, the report line byte for byte, the closing line.
TEST_F(Main, ReportLineOfADrive)
{
    fake::add_volume('d', "NTFS", 1234567, 9876543210);
    EXPECT_EQ(run({"d:"}), 0);
    EXPECT_EQ(fake::console_text(),
              std::string(BANNER_LINE) +
                  "Drive[d:]Free/Size =        1,234,567/   9,876,543,210 (B)\n" + CLOSING);
    EXPECT_EQ(fake::dialogs().size(), 1u);
}

// Scenario: q:, a letter with no volume behind it.
// Expect: "-1" in both columns, then the run's file-system message in a box
//   owned by the dialog; the closing line; exit status 0.
TEST_F(Main, LetterWithoutVolume)
{
    EXPECT_EQ(run({"q:"}), 0);
    EXPECT_EQ(fake::console_text(),
              std::string(BANNER_LINE) +
                  "Drive[q:]Free/Size =               -1/              -1 (B)\n" + CLOSING);
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(boxes.size(), 2u);
    ASSERT_EQ(fake::dialogs().size(), 1u);
    expect_error_box_of(boxes[1], fake::dialogs()[0].window);
    EXPECT_EQ(boxes[1].text, "ファイルシステムが異常です。\n"
                             "本プログラムは、NTFS,FAT,FAT32 のみ対応です。\n"
                             "ファイルシステム = Error  (q:\\)");
    EXPECT_EQ(fake::dialogs()[0].result, RUN_FAILED);
}

// Scenario: a volume of 1,234,567,890,123 bytes, a count of 17 characters.
// Expect: the count printed in full, the line one column wider.
TEST_F(Main, LongCountWidensTheLine)
{
    fake::add_volume('d', "NTFS", 1234567, 1234567890123);
    EXPECT_EQ(run({"d:"}), 0);
    EXPECT_EQ(fake::console_text(),
              std::string(BANNER_LINE) +
                  "Drive[d:]Free/Size =        1,234,567/1,234,567,890,123 (B)\n" + CLOSING);
}
