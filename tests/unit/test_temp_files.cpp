// Removal of a run's temporary files and folder.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/banner.h"
#include "fake_win32/fake_win32.h"
#include "program_test.h"
#include "ui/progress_dialog.h"
#include "volume/volume.h"
#include "zerofill/own_entry.h"
#include "zerofill/temp_files.h"

namespace {

const HWND DIALOG = reinterpret_cast<HWND>(0x4d2);

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        g_hDlg = DIALOG;
        fake::add_volume('e', "FAT32", 100000000, 200000000);
        fake::add_volume('d', "NTFS", 100000000, 200000000);
    }
    void TearDown() override
    {
        fake::reset();
        g_hDlg = nullptr;
    }
};

// delete_temp_files as a run calls it, with the drive's root open.
int delete_temp_files_of(char letter, int count, int fs)
{
    open_drive_root(letter);
    int left = delete_temp_files(letter, count, fs);
    close_drive_root();
    return left;
}

// Puts the files a FAT run with `count` files leaves behind.
void leave_fat_files(int count)
{
    fake::add_folder("e:\\VOIDTEMP");
    char path[64];
    for (int i = 0; i < count; i++) {
        snprintf(path, sizeof path, "e:\\VOIDTEMP\\V_%06d.TMP", i);
        fake::add_file(path, 4194304);
    }
}

std::vector<std::string> deletions()
{
    std::vector<std::string> paths;
    for (const fake::file_call &call : fake::file_calls())
        if (call.op == fake::OP_DELETE)
            paths.push_back(call.path);
    return paths;
}

// The one message box that the clean-up showed.
std::string only_message()
{
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    if (boxes.size() != 1)
        return "(" + std::to_string(boxes.size()) + " message boxes)";
    expect_error_box_of(boxes[0], DIALOG);
    return boxes[0].text;
}

const char FOLDER_MESSAGE[] = "一時フォルダ e:\\VOIDTEMP の削除に失敗しました。\n"
                              "お手数ですが、上記フォルダを手動削除して下さい。";

}  // namespace

// Scenario: FAT32, three files of a run, all deletable, the folder otherwise
//   empty.
// Expect: files 0 to 2 deleted in order, then the folder; no message; 0.
TEST_F(TempFiles, FatRunLeavesNothing)
{
    leave_fat_files(3);
    EXPECT_EQ(delete_temp_files_of('e', 3, FS_FAT32), 0);
    std::vector<std::string> expected = {"e:\\VOIDTEMP\\V_000000.TMP", "e:\\VOIDTEMP\\V_000001.TMP",
                                         "e:\\VOIDTEMP\\V_000002.TMP"};
    EXPECT_EQ(deletions(), expected);
    EXPECT_TRUE(fake::listing('e').empty());
    EXPECT_TRUE(fake::message_boxes().empty());
}

// Scenario: FAT32, three files of which the second is locked; then again
//   with the first two locked.
// Expect: every file is tried, the folder is left alone, the files message
//   counts the failures, and that count is the result.
TEST_F(TempFiles, LockedFilesAreCountedAndKeepTheFolder)
{
    leave_fat_files(3);
    fake::lock_file("e:\\VOIDTEMP\\V_000001.TMP");
    EXPECT_EQ(delete_temp_files_of('e', 3, FS_FAT32), 1);
    std::vector<std::string> left = {"e:\\VOIDTEMP", "e:\\VOIDTEMP\\V_000001.TMP"};
    EXPECT_EQ(fake::listing('e'), left);
    EXPECT_EQ(deletions().size(), 3u);
    EXPECT_EQ(only_message(), "e:\\VOIDTEMP\\ 下の一時ファイル1個の削除に失敗しました。\n"
                              "お手数ですが、上記ファイル・フォルダを手動削除して下さい。");
    for (const fake::file_call &call : fake::file_calls())
        EXPECT_NE(call.op, fake::OP_RMDIR);

    fake::reset();
    fake::add_volume('e', "FAT", 100000000, 200000000);
    leave_fat_files(3);
    fake::lock_file("e:\\VOIDTEMP\\V_000000.TMP");
    fake::lock_file("e:\\VOIDTEMP\\V_000001.TMP");
    EXPECT_EQ(delete_temp_files_of('e', 3, FS_FAT), 2);
    EXPECT_EQ(only_message(), "e:\\VOIDTEMP\\ 下の一時ファイル2個の削除に失敗しました。\n"
                              "お手数ですが、上記ファイル・フォルダを手動削除して下さい。");
}

// Scenario: FAT, the folder also holds a foreign file; then FAT32, the folder
//   also holds V_ files numbered above the run's count from an earlier run.
// Expect: only the run's own indices are deleted, the folder stays, the
//   folder message is shown, the result is -1.
TEST_F(TempFiles, FolderWithOtherFilesStays)
{
    fake::add_volume('e', "FAT", 100000000, 200000000);
    leave_fat_files(2);
    fake::add_file("e:\\VOIDTEMP\\notes.txt", 10);
    EXPECT_EQ(delete_temp_files_of('e', 2, FS_FAT), -1);
    std::vector<std::string> left = {"e:\\VOIDTEMP", "e:\\VOIDTEMP\\notes.txt"};
    EXPECT_EQ(fake::listing('e'), left);
    EXPECT_EQ(only_message(), FOLDER_MESSAGE);

    fake::reset();
    fake::add_volume('e', "FAT32", 100000000, 200000000);
    leave_fat_files(5);
    EXPECT_EQ(delete_temp_files_of('e', 3, FS_FAT32), -1);
    left = {"e:\\VOIDTEMP", "e:\\VOIDTEMP\\V_000003.TMP", "e:\\VOIDTEMP\\V_000004.TMP"};
    EXPECT_EQ(fake::listing('e'), left);
    EXPECT_EQ(deletions().size(), 3u);
    EXPECT_EQ(only_message(), FOLDER_MESSAGE);
}

// Scenario: NTFS with a count of 2 and both V_000000.TMP and V_000001.TMP in
//   the root; then NTFS with the file already gone (the system deletes it
//   when the run closes it); then with the file locked, or its attributes
//   unreadable to the user.
// Expect: only index 0 is deleted (result 0, no message); the missing file
//   counts as deleted; the locked or unreadable one gives the NTFS message
//   naming its path and the result 1.
TEST_F(TempFiles, NtfsDeletesTheOneRootFile)
{
    fake::add_file("d:\\V_000000.TMP", 4194304);
    fake::add_file("d:\\V_000001.TMP", 4194304);
    EXPECT_EQ(delete_temp_files_of('d', 2, FS_NTFS), 0);
    EXPECT_EQ(deletions(), std::vector<std::string>{"d:\\V_000000.TMP"});
    EXPECT_EQ(fake::listing('d'), std::vector<std::string>{"d:\\V_000001.TMP"});
    EXPECT_TRUE(fake::message_boxes().empty());

    fake::reset();
    fake::add_volume('d', "NTFS", 100000000, 200000000);
    EXPECT_EQ(delete_temp_files_of('d', 1, FS_NTFS), 0);
    EXPECT_TRUE(fake::message_boxes().empty());
    for (void (*keep)(const char *) : {fake::lock_file, fake::deny_access}) {
        fake::reset();
        fake::add_volume('d', "NTFS", 100000000, 200000000);
        fake::add_file("d:\\V_000000.TMP", 4194304);
        keep("d:\\V_000000.TMP");
        EXPECT_EQ(delete_temp_files_of('d', 1, FS_NTFS), 1);
        EXPECT_EQ(only_message(), "一時ファイル「d:\\V_000000.TMP」の削除に失敗しました。\n"
                                  "お手数ですが、上記ファイルを手動で削除して下さい。");
    }
}
