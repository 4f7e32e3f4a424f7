// The zero-fill run against the double's volumes, dialog texts and message
// boxes. The run is called on the test's own thread, as the worker would.
#include <stdint.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/banner.h"
#include "fake_win32/fake_win32.h"
#include "program_test.h"
#include "ui/progress_dialog.h"
#include "zerofill/zero_fill.h"

namespace {

const HWND DIALOG = reinterpret_cast<HWND>(0x4d2);
const int64_t RESERVE = 10485760;
const int64_t BLOCK = 4194304;
const int64_t FILE_BLOCKS_BYTES = 477 * BLOCK;  // what a FAT file gets before a switch

const char WRITING_WAIT[] = "バッファ書込中。お待ち下さい。";
const char DELETING[] = "ファイル削除中。お待ち下さい。";
const char WRITE_FALSE[] = "バッファ書込中。(Write False)";
const char RECORDS_0[] = "MFT空きレコード書込中 0 (個)";

const char NTFS_FILE[] = "d:\\V_000000.TMP";
const char FAT_FOLDER[] = "e:\\VOIDTEMP";
const char FAT_FILE0[] = "e:\\VOIDTEMP\\V_000000.TMP";
const char FAT_FILE1[] = "e:\\VOIDTEMP\\V_000001.TMP";
const char FAT_FILE2[] = "e:\\VOIDTEMP\\V_000002.TMP";
const std::string RECORD_FOLDER = "d:\\VOIDFILL-MFT-7C2E9A41D3B6F058.TMP";

// What the progress line shows: the run's texts are handed to the window's
// procedure as they come.
std::vector<std::string> progress()
{
    return fake::texts(IDC_PROGRESS);
}

// The progress line as it read at each fclose: what the user saw while the
// stream's buffers were written out.
std::vector<std::string> texts_at_close;

class ZeroFill : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void TearDown() override
    {
        fake::reset();
        g_hDlg = nullptr;
        g_running = 0;
    }
    // A fresh machine whose dialog is open and whose run may go on.
    void start()
    {
        fake::reset();
        g_hDlg = DIALOG;
        fake::window_procedure(DIALOG, progress_dialog_proc);
        g_running = 1;
        texts_at_close.clear();
        fake::on_fclose([](const std::string &) {
            std::vector<std::string> texts = progress();
            texts_at_close.push_back(texts.empty() ? "" : texts.back());
        });
        // A run that never ends is stopped long after any test's last block.
        fake::on_fwrite([](int block) {
            if (block > 3000)
                g_running = 0;
        });
    }
};

// The last `n` texts of the progress line: how the run ended.
std::vector<std::string> progress_tail(size_t n)
{
    std::vector<std::string> all = progress();
    return std::vector<std::string>(all.end() - std::min(n, all.size()), all.end());
}

int64_t bytes_written(const char *path)
{
    std::vector<size_t> sizes = fake::writes_to(path);
    return std::accumulate(sizes.begin(), sizes.end(), (int64_t)0);
}

// The run's file and folder calls, as "op path" lines; not fwrite, nor
// what opening a file does beyond creating it.
std::vector<std::string> file_steps()
{
    static const char *const names[] = {"create", "fwrite",    "write", "fflush", "commit",
                                        "fclose", "delete",    "mkdir", "rmdir",  "compress",
                                        "close",  "duplicate", "empty", "read",   "grow",
                                        "valid"};
    std::vector<std::string> steps;
    for (const fake::file_call &call : fake::file_calls())
        if (call.op != fake::OP_FWRITE && call.op != fake::OP_COMPRESSION && call.op != fake::OP_WRITE &&
            call.op != fake::OP_CLOSE && call.op != fake::OP_DUPLICATE && call.op != fake::OP_READ)
            steps.push_back(std::string(names[call.op]) + (call.ok ? " " : " failed ") + call.path);
    return steps;
}

// Every stream was flushed and committed right before it was closed, and
// every stream opened was closed.
void expect_committed_closes()
{
    std::vector<fake::file_call> calls = fake::file_calls();
    int opened = 0;
    int closed = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        opened += (calls[i].op == fake::OP_CREATE || calls[i].op == fake::OP_DUPLICATE) &&
                  calls[i].ok;
        closed += calls[i].op == fake::OP_CLOSE;
        if (calls[i].op != fake::OP_FCLOSE)
            continue;
        closed++;
        ASSERT_GE(i, 2u);
        EXPECT_EQ(calls[i - 1].op, fake::OP_COMMIT) << calls[i].path;
        EXPECT_EQ(calls[i - 1].path, calls[i].path);
        EXPECT_EQ(calls[i - 2].op, fake::OP_FFLUSH) << calls[i].path;
    }
    EXPECT_EQ(closed, opened);
    EXPECT_EQ(fake::open_streams(), 0);
}

void expect_no_message()
{
    EXPECT_TRUE(fake::message_boxes().empty());
}

void expect_message(const std::string &text)
{
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(boxes.size(), 1u);
    expect_error_box_of(boxes[0], DIALOG);
    EXPECT_EQ(boxes[0].text, text);
}

std::vector<std::string> lines(std::initializer_list<const char *> texts)
{
    return std::vector<std::string>(texts.begin(), texts.end());
}

}  // namespace

// Scenario: NTFS volumes with 12,000,000, 14,680,064 and 14,680,065 bytes free.
// Expect: blocks of free - reserve up to 14,680,064 free and full blocks
//   above; the remaining megabytes before each block; then the closing
//   texts with the file table's step between, the file deleted and RUN_DONE.
TEST_F(ZeroFill, BlockSizeFollowsTheFreeSpace)
{
    struct {
        int64_t free;
        std::vector<size_t> blocks;
        std::vector<std::string> texts;
    } cases[] = {
        {12000000, {1514240}, lines({"残り 1 (MB)", WRITING_WAIT, RECORDS_0, DELETING})},
        {14680064, {4194304}, lines({"残り 4 (MB)", WRITING_WAIT, RECORDS_0, DELETING})},
        {14680065, {4194304, 1},
         lines({"残り 4 (MB)", "残り 0 (MB)", WRITING_WAIT, RECORDS_0, DELETING})},
    };
    for (const auto &c : cases) {
        start();
        fake::add_volume('d', "NTFS", c.free, 100000000);
        EXPECT_EQ(zero_fill_drive('d'), RUN_DONE) << c.free;
        EXPECT_EQ(fake::writes_to(NTFS_FILE), c.blocks) << c.free;
        EXPECT_EQ(progress(), c.texts) << c.free;
        EXPECT_EQ(fake::texts(IDC_STATUS), lines({"d: ドライブにゼロを書込中"}));
        EXPECT_EQ(texts_at_close, lines({WRITING_WAIT}));
        EXPECT_TRUE(fake::listing('d').empty());
        expect_committed_closes();
        expect_no_message();
    }
}

// Scenario: an NTFS volume with exactly the reserve free, and a FAT volume
//   with one byte less.
// Expect: the file with index 0 (FAT: and the folder) is created, closed
//   without a write and removed again, on NTFS with the file table's step
//   in its own folder between; RUN_DONE.
TEST_F(ZeroFill, NothingToWriteAtTheReserve)
{
    fake::add_volume('d', "NTFS", RESERVE, 100000000);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    std::vector<std::string> steps = file_steps();
    ASSERT_GE(steps.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 5),
              lines({"create d:\\V_000000.TMP", "fflush d:\\V_000000.TMP",
                     "commit d:\\V_000000.TMP", "fclose d:\\V_000000.TMP",
                     ("mkdir " + RECORD_FOLDER).c_str()}));
    EXPECT_EQ(steps.back(), "rmdir " + RECORD_FOLDER);
    EXPECT_TRUE(fake::listing('d').empty());
    EXPECT_EQ(progress(), lines({WRITING_WAIT, RECORDS_0, DELETING}));

    start();
    fake::add_volume('e', "FAT", RESERVE - 1, 100000000);
    EXPECT_EQ(zero_fill_drive('e'), RUN_DONE);
    EXPECT_EQ(file_steps(),
              lines({"mkdir e:\\VOIDTEMP", "create e:\\VOIDTEMP\\V_000000.TMP",
                     "fflush e:\\VOIDTEMP\\V_000000.TMP", "commit e:\\VOIDTEMP\\V_000000.TMP",
                     "fclose e:\\VOIDTEMP\\V_000000.TMP", "rmdir e:\\VOIDTEMP"}));
    EXPECT_TRUE(fake::listing('e').empty());
    expect_no_message();
}

// Scenario: NTFS with 5,000,000,000 bytes free to the user, and a quota
//   that keeps a few MiB more of the volume from them.
// Expect: one file receives exactly free - reserve bytes of zeros (the
//   user's free bytes, not the volume's) in full blocks and one last
//   partial block, the free space asked before every block, no file
//   switch; a text for every block; the file is removed and the space
//   given back but for the table's growth.
TEST_F(ZeroFill, NtfsFillsOneFileDownToTheReserve)
{
    fake::add_volume('d', "NTFS", 5000000000, 8000000000);
    fake::set_quota_withheld('d', 3 * 1048576 + 4096);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);

    std::vector<size_t> blocks = fake::writes_to(NTFS_FILE);
    ASSERT_GT(blocks.size(), 1u);
    EXPECT_EQ(bytes_written(NTFS_FILE), 5000000000 - RESERVE);
    for (size_t i = 0; i + 1 < blocks.size(); i++)
        ASSERT_EQ(blocks[i], (size_t)BLOCK) << "block " << i;
    EXPECT_EQ(fake::nonzero_writes(), 0);
    EXPECT_GE(fake::space_calls().size(), blocks.size());

    std::vector<std::string> texts = progress();
    ASSERT_EQ(texts.size(), blocks.size() + 3);
    EXPECT_EQ(texts.front(), "残り 4,989 (MB)");
    EXPECT_EQ(file_steps().front(), "create d:\\V_000000.TMP");
    EXPECT_EQ(fake::free_bytes('d'), 5000000000 - 65536 * fake::table_growths('d'));
    EXPECT_TRUE(fake::listing('d').empty());
}

// Scenario: FAT32 with 5,000,000,000 bytes free.
// Expect: files 0 and 1 receive 477 full blocks each, file 2 the rest; the
//   switch text before each switch, the file committed before the next one
//   is opened; all three files and the folder removed; RUN_DONE.
TEST_F(ZeroFill, Fat32SwitchesFilesAfterTwoGigabytes)
{
    fake::add_volume('e', "FAT32", 5000000000, 8000000000);
    EXPECT_EQ(zero_fill_drive('e'), RUN_DONE);

    EXPECT_EQ(fake::writes_to(FAT_FILE0), std::vector<size_t>(477, BLOCK));
    EXPECT_EQ(fake::writes_to(FAT_FILE1), std::vector<size_t>(477, BLOCK));
    EXPECT_EQ(bytes_written(FAT_FILE2), 5000000000 - RESERVE - 2 * FILE_BLOCKS_BYTES);
    EXPECT_EQ(fake::nonzero_writes(), 0);

    std::vector<std::string> texts = progress();
    std::vector<std::string> switches;
    for (size_t i = 0; i < texts.size(); i++) {
        if (texts[i].find("(MB,") == std::string::npos)
            continue;
        switches.push_back(texts[i]);
        // The same count again as the first line of the new file.
        ASSERT_LT(i + 1, texts.size());
        EXPECT_EQ(texts[i + 1], texts[i].substr(0, texts[i].find("(MB,")) + "(MB)");
    }
    ASSERT_EQ(switches, lines({"残り 2,988 (MB,バッファ書込中)", "残り 988 (MB,バッファ書込中)"}));
    EXPECT_EQ(texts_at_close, lines({switches[0].c_str(), switches[1].c_str(), WRITING_WAIT}));

    std::vector<std::string> steps = {"mkdir e:\\VOIDTEMP"};
    for (const char *file : {FAT_FILE0, FAT_FILE1, FAT_FILE2})
        for (const char *op : {"create ", "fflush ", "commit ", "fclose "})
            steps.push_back(op + std::string(file));
    steps.push_back("rmdir e:\\VOIDTEMP");
    EXPECT_EQ(file_steps(), steps);
    EXPECT_TRUE(fake::listing('e').empty());
    EXPECT_EQ(fake::free_bytes('e'), 5000000000);
    expect_no_message();
}

// Scenario: the run flag is already down when the run starts.
// Expect: the drive line is set, nothing is queried or created;
//   RUN_CANCELLED.
TEST_F(ZeroFill, CancelBeforeTheStart)
{
    fake::add_volume('d', "NTFS", 100000000, 200000000);
    g_running = 0;
    EXPECT_EQ(zero_fill_drive('d'), RUN_CANCELLED);
    EXPECT_EQ(fake::texts(IDC_STATUS), lines({"d: ドライブにゼロを書込中"}));
    EXPECT_TRUE(progress().empty());
    EXPECT_TRUE(fake::volume_information_calls().empty());
    EXPECT_TRUE(fake::file_calls().empty());
}

// Scenario: NTFS with 100,000,000 bytes free; Cancel while the third block
//   is being written.
// Expect: that block completes, no further one; the two waiting texts, the
//   file flushed and closed without a commit (the user is waiting, and the
//   file is deleted anyway), then deleted; RUN_CANCELLED.
TEST_F(ZeroFill, CancelDuringTheLoop)
{
    fake::add_volume('d', "NTFS", 100000000, 200000000);
    fake::on_fwrite([](int block) {
        if (block == 2)
            g_running = 0;
    });
    EXPECT_EQ(zero_fill_drive('d'), RUN_CANCELLED);
    EXPECT_EQ(fake::writes_to(NTFS_FILE).size(), 3u);
    EXPECT_EQ(progress().size(), 5u);
    EXPECT_EQ(progress_tail(2), lines({WRITING_WAIT, DELETING}));
    EXPECT_EQ(texts_at_close, lines({WRITING_WAIT}));
    EXPECT_TRUE(fake::listing('d').empty());
    EXPECT_EQ(file_steps(), lines({"create d:\\V_000000.TMP", "fflush d:\\V_000000.TMP",
                                   "fclose d:\\V_000000.TMP"}));
    expect_no_message();
}

// Scenario: Cancel during the block that brings the free space down to the
//   reserve.
// Expect: the free-space test comes first: the run finishes, RUN_DONE.
TEST_F(ZeroFill, CancelAtTheReserveStillFinishes)
{
    fake::add_volume('d', "NTFS", RESERVE + BLOCK, 200000000);
    fake::on_fwrite([](int) { g_running = 0; });
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_EQ(progress(), lines({"残り 4 (MB)", WRITING_WAIT, DELETING}));
    EXPECT_TRUE(fake::listing('d').empty());
}

// Scenario: FAT32 with 2,100,000,000 bytes free; Cancel while the first file
//   is closed at the switch; then the same with that file locked.
// Expect: no next file is opened; the first file and the folder are removed
//   and the result is RUN_CANCELLED; with the file locked the files message
//   is shown and the result is RUN_FAILED.
TEST_F(ZeroFill, CancelAtAFileSwitch)
{
    for (bool locked : {false, true}) {
        start();
        fake::add_volume('e', "FAT32", 2100000000, 8000000000);
        if (locked)
            fake::lock_file(FAT_FILE0);
        fake::on_fclose([](const std::string &) { g_running = 0; });
        EXPECT_EQ(zero_fill_drive('e'), locked ? RUN_FAILED : RUN_CANCELLED);
        EXPECT_EQ(bytes_written(FAT_FILE0), FILE_BLOCKS_BYTES);
        EXPECT_EQ(progress_tail(2), lines({"残り 88 (MB,バッファ書込中)", DELETING}));
        EXPECT_FALSE(fake::exists(FAT_FILE1));
        expect_committed_closes();
        if (locked) {
            expect_message("e:\\VOIDTEMP\\ 下の一時ファイル1個の削除に失敗しました。\n"
                           "お手数ですが、上記ファイル・フォルダを手動削除して下さい。");
            EXPECT_EQ(fake::listing('e'), lines({FAT_FOLDER, FAT_FILE0}));
        } else {
            expect_no_message();
            EXPECT_TRUE(fake::listing('e').empty());
        }
    }
}

// Scenario: a CDFS volume, then an exFAT volume followed by a volume whose
//   information cannot be read and a letter without a volume.
// Expect: the file-system message with the volume's name and the root, or
//   "Error" where none could be read (never the name another drive gave);
//   nothing created; RUN_FAILED each time.
TEST_F(ZeroFill, UnsupportedFileSystemIsRefused)
{
    fake::add_volume('q', "CDFS", 100000000, 200000000);
    EXPECT_EQ(zero_fill_drive('q'), RUN_FAILED);
    expect_message("ファイルシステムが異常です。\n本プログラムは、NTFS,FAT,FAT32 のみ対応です。\n"
                   "ファイルシステム = CDFS  (q:\\)");

    start();
    fake::add_volume('x', "exFAT", 100000000, 200000000);
    fake::add_volume('r', nullptr, 100000000, 200000000);
    EXPECT_EQ(zero_fill_drive('x'), RUN_FAILED);
    EXPECT_EQ(zero_fill_drive('r'), RUN_FAILED);
    EXPECT_EQ(zero_fill_drive('S'), RUN_FAILED);
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(boxes.size(), 3u);
    const char *roots[] = {"x:\\", "r:\\", "S:\\"};
    const char *names[] = {"exFAT", "Error", "Error"};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(boxes[i].text, std::string("ファイルシステムが異常です。\n本プログラムは、"
                                             "NTFS,FAT,FAT32 のみ対応です。\n"
                                             "ファイルシステム = ") +
                                     names[i] + "  (" + roots[i] + ")");
    EXPECT_TRUE(fake::file_calls().empty());
}

// Scenario: FAT with a VOIDTEMP folder that already holds a foreign file;
//   then FAT32 with a link named VOIDTEMP.
// Expect: the folder is used without creating it; the run's file is
//   removed, the folder and the foreign file stay, the folder message is
//   shown, and the failed clean-up makes the result RUN_FAILED. The link
//   is not entered: a box says why, RUN_FAILED.
TEST_F(ZeroFill, ExistingFolderIsReused)
{
    fake::add_volume('e', "FAT", 30000000, 200000000);
    fake::add_file("e:\\VOIDTEMP\\keep.doc", 100);
    EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
    EXPECT_EQ(bytes_written(FAT_FILE0), 30000000 - RESERVE);
    EXPECT_EQ(fake::listing('e'), lines({FAT_FOLDER, "e:\\VOIDTEMP\\keep.doc"}));
    EXPECT_EQ(file_steps().front(), "create e:\\VOIDTEMP\\V_000000.TMP");
    expect_message("一時フォルダ e:\\VOIDTEMP の削除に失敗しました。\n"
                   "お手数ですが、上記フォルダを手動削除して下さい。");

    start();
    fake::add_volume('e', "FAT32", 30000000, 200000000);
    fake::add_folder(FAT_FOLDER);
    fake::make_symbolic_link(FAT_FOLDER);
    EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
    expect_message("一時フォルダ「e:\\VOIDTEMP」はリンク（リパースポイント）です。\n"
                   "本プログラムの一時フォルダではないため、処理を中止しました。");
    EXPECT_TRUE(fake::file_calls().empty());
}

// Scenario: the first temporary file cannot be created, on NTFS, also where
//   the drive's root cannot be opened; on a FAT volume without a VOIDTEMP
//   folder and on one with a user's; then the folder cannot be created.
// Expect: the file message or the folder message with its path and
//   RUN_FAILED, nothing made without the root; the folder goes again if
//   the run made it, else it stays.
TEST_F(ZeroFill, FailuresBeforeTheFirstWrite)
{
    for (bool root : {true, false}) {
        start();
        fake::add_volume('d', "NTFS", 100000000, 200000000);
        if (root)
            fake::fail_create_at(0);
        else
            fake::deny_access("d:\\");
        EXPECT_EQ(zero_fill_drive('d'), RUN_FAILED);
        expect_message("一時ファイル「d:\\V_000000.TMP」の作成に失敗しました。");
        EXPECT_EQ(file_steps(), root ? lines({"create failed d:\\V_000000.TMP"}) : lines({}));
        EXPECT_TRUE(progress().empty());
    }

    for (bool users : {false, true}) {
        start();
        fake::add_volume('e', "FAT", 100000000, 200000000);
        if (users)
            fake::add_file("e:\\VOIDTEMP\\keep.doc", 100);
        fake::fail_create_path(FAT_FILE0);
        EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
        expect_message("一時ファイル「e:\\VOIDTEMP\\V_000000.TMP」の作成に失敗しました。");
        EXPECT_EQ(fake::listing('e'), users ? lines({FAT_FOLDER, "e:\\VOIDTEMP\\keep.doc"})
                                            : lines({}));
    }

    start();
    fake::add_volume('e', "FAT32", 100000000, 200000000);
    fake::fail_create_folder(FAT_FOLDER);
    EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
    expect_message("一時ファイル保管用フォルダの作成に失敗しました。\n[e:\\VOIDTEMP]");
    EXPECT_EQ(file_steps(), lines({"mkdir failed e:\\VOIDTEMP"}));
}

// Scenario: FAT32 with 2,100,000,000 bytes free; the second file cannot be
//   created at the switch.
// Expect: the file message with its path, then the first file and the folder
//   removed; RUN_FAILED.
TEST_F(ZeroFill, LaterFileCannotBeCreated)
{
    fake::add_volume('e', "FAT32", 2100000000, 8000000000);
    fake::fail_create_path(FAT_FILE1);
    EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
    expect_message("一時ファイル「e:\\VOIDTEMP\\V_000001.TMP」の作成に失敗しました。");
    EXPECT_EQ(progress_tail(2), lines({"残り 88 (MB,バッファ書込中)", DELETING}));
    EXPECT_TRUE(fake::listing('e').empty());
    expect_committed_closes();
}

// Scenario: NTFS with 100,000,000 bytes free; the second write takes only
//   1,000 bytes, with a write fault; then the same, but another program has
//   taken all the space but the reserve meanwhile.
// Expect: the Write False text, the file closed and deleted, RUN_FAILED; a
//   box says that the fill is incomplete and gives the system's text of
//   the error. The full volume is the normal end of a fill: the file is
//   committed, the file table's step follows, RUN_DONE, no box.
TEST_F(ZeroFill, ShortWriteFailsTheRun)
{
    for (bool taken : {false, true}) {
        start();
        fake::add_volume('d', "NTFS", 100000000, 200000000);
        fake::short_write_at(1, 1000);
        if (taken)
            fake::on_fwrite([](int block) {
                if (block == 1)
                    fake::set_free_bytes('d', RESERVE);
            });
        EXPECT_EQ(zero_fill_drive('d'), taken ? RUN_DONE : RUN_FAILED);
        EXPECT_EQ(fake::writes_to(NTFS_FILE).size(), 2u);
        EXPECT_EQ(progress_tail(3), taken ? lines({WRITING_WAIT, RECORDS_0, DELETING})
                                          : lines({"残り 85 (MB)", WRITE_FALSE, DELETING}));
        EXPECT_EQ(texts_at_close, lines({taken ? WRITING_WAIT : WRITE_FALSE}));
        EXPECT_TRUE(fake::listing('d').empty());
        if (taken)
            expect_no_message();
        else
            expect_message("一時ファイル「d:\\V_000000.TMP」への書込みに失敗しました。\n"
                           "空き領域のゼロクリヤは完了していません。\n"
                           "エラー 29: System error 29.");
    }
}

// Scenario: NTFS; the free-space queries fail from the first on, then from
//   the third on.
// Expect: the fill cannot know where it stands: a box names the drive and
//   gives the system's text, the file is removed, no file table's step;
//   RUN_FAILED.
TEST_F(ZeroFill, FailedFreeSpaceQueryFailsTheRun)
{
    for (int k : {1, 3}) {
        start();
        fake::add_volume('d', "NTFS", 100000000, 200000000);
        fake::fail_space_queries_from('d', k);
        EXPECT_EQ(zero_fill_drive('d'), RUN_FAILED) << k;
        EXPECT_LT(bytes_written(NTFS_FILE), 100000000 - RESERVE) << k;
        EXPECT_EQ(progress_tail(2), lines({WRITING_WAIT, DELETING})) << k;
        EXPECT_TRUE(fake::listing('d').empty()) << k;
        expect_message("ドライブ d: の空き領域を取得できませんでした。\n"
                       "空き領域のゼロクリヤは完了していません。\n"
                       "エラー 21: System error 21.");
    }
}

// Scenario: the commit before the last close fails on NTFS; then the commit
//   at the first FAT32 file switch fails.
// Expect: handled like a short write: the Write False text, every file
//   deleted, no further file opened; RUN_FAILED. The zeros may not be on
//   the medium, at the end of the fill as at the switch: the box of an
//   incomplete fill.
TEST_F(ZeroFill, FailedCommitFailsTheRun)
{
    fake::add_volume('d', "NTFS", 20000000, 200000000);
    fake::fail_commit_at(0);
    EXPECT_EQ(zero_fill_drive('d'), RUN_FAILED);
    EXPECT_EQ(progress_tail(3), lines({WRITING_WAIT, WRITE_FALSE, DELETING}));
    EXPECT_TRUE(fake::listing('d').empty());
    expect_message("一時ファイル「d:\\V_000000.TMP」への書込みに失敗しました。\n"
                   "空き領域のゼロクリヤは完了していません。\n"
                   "エラー 1117: System error 1117.");

    start();
    fake::add_volume('e', "FAT32", 2100000000, 8000000000);
    fake::fail_commit_at(0);
    EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
    EXPECT_EQ(progress_tail(3), lines({"残り 88 (MB,バッファ書込中)", WRITE_FALSE, DELETING}));
    EXPECT_FALSE(fake::exists(FAT_FILE1));
    EXPECT_TRUE(fake::listing('e').empty());
    expect_message("一時ファイル「e:\\VOIDTEMP\\V_000000.TMP」への書込みに失敗しました。\n"
                   "空き領域のゼロクリヤは完了していません。\n"
                   "エラー 1117: System error 1117.");
}

// Scenario: at d:\V_000000.TMP stands a user's file of 1,000 bytes that has
//   a second name (a hard link), a symbolic link (shown as one, or shown as
//   the file it points at, as Wine does, also one of the same name
//   elsewhere), a link that a create not opening it as itself would follow,
//   a folder, a file that another run holds open, or a read-only file; then
//   a plain file left by an interrupted run.
// Expect: none of them is written, emptied or deleted, nor anything made
//   through it: a box names the path and says why (a read-only file gets
//   the creation failure, as Windows itself ends it), RUN_FAILED. The leftover is deleted, made anew
//   and deleted at the end; RUN_DONE.
TEST_F(ZeroFill, TemporaryFileIsOnlyEverOurOwn)
{
    const std::string not_ours = "\n本プログラムの一時ファイルではないため、処理を中止しました。";
    struct {
        void (*place)(const char *path);
        std::string text;
    } cases[] = {
        {fake::link_elsewhere,
         "一時ファイル「d:\\V_000000.TMP」は他のファイルとハードリンクで共有されています。" + not_ours},
        {fake::make_symbolic_link,
         "一時ファイル「d:\\V_000000.TMP」はリンク（リパースポイント）です。" + not_ours},
        {[](const char *path) { fake::link_shown_as_file(path, "d:\\photos\\img.jpg"); },
         "一時ファイル「d:\\V_000000.TMP」はリンク（リパースポイント）です。" + not_ours},
        {[](const char *path) { fake::link_shown_as_file(path, "d:\\old\\V_000000.TMP"); },
         "一時ファイル「d:\\V_000000.TMP」はリンク（リパースポイント）です。" + not_ours},
        {[](const char *path) { fake::make_symbolic_link_to(path, "d:\\elsewhere.dat"); },
         "一時ファイル「d:\\V_000000.TMP」はリンク（リパースポイント）です。" + not_ours},
        {[](const char *path) { fake::add_folder(path); },
         "一時ファイル「d:\\V_000000.TMP」はフォルダです。" + not_ours},
        {fake::hold_open,
         "一時ファイル「d:\\V_000000.TMP」は他のプログラムが使用中です。\n"
         "同じドライブのゼロクリヤが実行中でないか確認して下さい。"},
        {fake::make_read_only, "一時ファイル「d:\\V_000000.TMP」の作成に失敗しました。"},
    };
    for (const auto &c : cases) {
        start();
        fake::add_volume('d', "NTFS", 100000000, 200000000);
        fake::add_file(NTFS_FILE, 1000);
        c.place(NTFS_FILE);
        EXPECT_EQ(zero_fill_drive('d'), RUN_FAILED) << c.text;
        expect_message(c.text);
        EXPECT_TRUE(fake::writes_to(NTFS_FILE).empty()) << c.text;
        EXPECT_EQ(fake::listing('d'), lines({NTFS_FILE})) << c.text;
        for (const fake::file_call &call : fake::file_calls())
            EXPECT_TRUE(call.op == fake::OP_CREATE || call.op == fake::OP_CLOSE)
                << c.text << ": " << call.op;
    }

    start();
    fake::add_volume('d', "NTFS", 30000000, 200000000);
    fake::add_file(NTFS_FILE, 5000000);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_EQ(bytes_written(NTFS_FILE), 35000000 - RESERVE);
    EXPECT_TRUE(fake::listing('d').empty());
    EXPECT_EQ(fake::free_bytes('d'), 35000000 - 65536 * fake::table_growths('d'));
    expect_no_message();
}

// Scenario: an NTFS volume whose root is marked compressed, so that new
//   files are compressed and zeros in them take no space; then the same
//   volume refusing to turn compression off, as storage that dedups zeros;
//   then a plain volume on which another program frees 150 MiB halfway.
// Expect: compression is turned off before the first write and the fill
//   reaches the reserve, RUN_DONE. Where it cannot be, the run stops at the
//   first look at the free space after 256 MiB written without it falling,
//   with a box that says so; the file is deleted, RUN_FAILED. Space freed
//   by others does not stop a run whose zeros take space: RUN_DONE.
TEST_F(ZeroFill, ZerosThatTakeNoSpaceEndTheRun)
{
    fake::add_volume('d', "NTFS", 100000000, 200000000);
    fake::compress_new_files('d');
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_EQ(bytes_written(NTFS_FILE), 100000000 - RESERVE);
    expect_no_message();

    start();
    fake::add_volume('d', "NTFS", 100000000, 200000000);
    fake::compress_new_files('d');
    fake::refuse_compression_change('d');
    EXPECT_EQ(zero_fill_drive('d'), RUN_FAILED);
    EXPECT_GE(bytes_written(NTFS_FILE), 256 * 1048576);
    EXPECT_LE(bytes_written(NTFS_FILE), 320 * 1048576);
    EXPECT_TRUE(fake::listing('d').empty());
    EXPECT_EQ(fake::free_bytes('d'), 100000000);
    expect_message("ドライブ d: の空き領域が減りません。\n"
                   "ゼロを書き込んでも領域を消費しないドライブ（圧縮・重複除去など）のため、"
                   "処理を中止しました。");

    start();
    fake::add_volume('d', "NTFS", 2000000000, 4000000000);
    fake::on_fwrite([](int block) {
        if (block == 200)
            fake::set_free_bytes('d', fake::free_bytes('d') + 150 * 1048576);
    });
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    expect_no_message();
}

// Scenario: NTFS with about 1 GB free (eight sizes a megabyte apart);
//   another program takes 30 MiB once 40 MiB are left to write.
// Expect: near the reserve the free space is asked before every block: the
//   fill never goes below the reserve by more than one block; RUN_DONE.
TEST_F(ZeroFill, ReserveHoldsWhenAnotherProgramTakesSpace)
{
    static int64_t lowest;
    static bool taken;
    for (int64_t mib = 0; mib < 8; mib++) {
        start();
        lowest = INT64_MAX;
        taken = false;
        fake::add_volume('d', "NTFS", 1000000000 + mib * 1048576, 2000000000);
        fake::on_fwrite([](int) {
            int64_t free = fake::free_bytes('d');
            if (!taken && free <= RESERVE + 40 * 1048576) {
                taken = true;
                fake::set_free_bytes('d', free - 30 * 1048576);
            }
            lowest = std::min(lowest, fake::free_bytes('d'));
        });
        EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
        EXPECT_GE(lowest, RESERVE - BLOCK) << mib;
    }
}

// Scenario: NTFS at the reserve after the fill, its file table with 1,500
//   free records, growing by 16 KiB; then a volume that keeps no file's
//   data in a record (every byte written takes space).
// Expect: 640-byte files of zeros in a tree of folders in the step's own
//   folder, no folder with more than five names (so that its index stays
//   in its record), the count shown as it goes; the step stops at the
//   table's first growth, or at once where the first file takes space; the
//   big file stays open through the step, gives its space back before the
//   tree goes and is closed only after it (no second run meanwhile);
//   RUN_DONE, and the free space back but for the growth.
TEST_F(ZeroFill, FreeRecordsOfTheFileTableGetZeros)
{
    fake::add_volume('d', "NTFS", 20000000, 100000000);
    fake::model_file_table('d', 1500, 16384);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_EQ(fake::table_growths('d'), 1);
    std::map<std::string, int> names_in;
    int record_files = 0;
    size_t last_write = 0, big_file_gone = 0, first_delete = 0, emptied = 0, last_delete = 0;
    std::vector<fake::file_call> calls = fake::file_calls();
    for (size_t i = 0; i < calls.size(); i++) {
        const fake::file_call &call = calls[i];
        if (call.op == fake::OP_WRITE) {
            EXPECT_EQ(call.requested, 640u);
            last_write = i;
        }
        if ((call.op == fake::OP_CREATE || call.op == fake::OP_MKDIR) && call.ok)
            names_in[call.path.substr(0, call.path.rfind('\\'))]++;
        record_files += call.op == fake::OP_WRITE;
        if (call.op == fake::OP_CLOSE && call.path == NTFS_FILE)
            big_file_gone = i;
        if (call.op == fake::OP_DELETE && first_delete == 0)
            first_delete = i;
        if (call.op == fake::OP_DELETE || call.op == fake::OP_RMDIR)
            last_delete = i;
        if (call.op == fake::OP_EMPTY && call.path == NTFS_FILE)
            emptied = i;
    }
    EXPECT_GT(record_files, 1100);
    EXPECT_LT(last_write, emptied);
    EXPECT_LT(emptied, first_delete);
    EXPECT_LT(last_delete, big_file_gone);
    for (const auto &folder : names_in)
        EXPECT_LE(folder.second, 5) << folder.first;
    EXPECT_EQ(fake::writes_to((RECORD_FOLDER + "\\0\\0\\0\\0\\0\\0\\0\\4").c_str()),
              std::vector<size_t>{640});
    EXPECT_EQ(fake::nonzero_writes(), 0);
    std::vector<std::string> texts = progress();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "MFT空きレコード書込中 1,024 (個)"), texts.end());
    EXPECT_EQ(progress_tail(1), lines({DELETING}));
    std::vector<std::string> steps = file_steps();
    EXPECT_NE(std::find(steps.begin(), steps.end(), "rmdir " + RECORD_FOLDER), steps.end());
    EXPECT_TRUE(fake::listing('d').empty());
    EXPECT_EQ(fake::free_bytes('d'), 20000000 - 16384);
    expect_no_message();

    start();
    fake::add_volume('d', "NTFS", 20000000, 100000000);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_EQ(progress_tail(2), lines({"MFT空きレコード書込中 0 (個)", DELETING}));
    EXPECT_EQ(fake::writes_to((RECORD_FOLDER + "\\0\\0\\0\\0\\0\\0\\0\\0").c_str()),
              std::vector<size_t>{640});
    EXPECT_TRUE(fake::listing('d').empty());
    EXPECT_EQ(fake::free_bytes('d'), 20000000);
}

// Scenario: the file table's step on NTFS when its fifth file cannot be
//   created; when its second leaf folder cannot; when its fourth file
//   cannot be deleted; when its folder cannot be created.
// Expect: a failed create ends the step as usual and everything made is
//   removed, RUN_DONE, no box; a failed delete is told in the box that
//   names the folder, the big file is still deleted, RUN_FAILED; without
//   its folder the step is left out.
TEST_F(ZeroFill, FileTableStepFailures)
{
    const std::string leaf = RECORD_FOLDER + "\\0\\0\\0\\0\\0\\0\\0";
    for (const std::string &path : {leaf + "\\4", RECORD_FOLDER + "\\0\\0\\0\\0\\0\\0\\1"}) {
        start();
        fake::add_volume('d', "NTFS", 20000000, 100000000);
        fake::model_file_table('d', 100, 16384);
        fake::fail_create_path(path.c_str());
        fake::fail_create_folder(path.c_str());
        EXPECT_EQ(zero_fill_drive('d'), RUN_DONE) << path;
        EXPECT_TRUE(fake::listing('d').empty()) << path;
        expect_no_message();
    }
    EXPECT_EQ(progress_tail(2), lines({"MFT空きレコード書込中 0 (個)", DELETING}));

    start();
    fake::add_volume('d', "NTFS", 20000000, 100000000);
    fake::model_file_table('d', 100, 16384);
    fake::lock_file((leaf + "\\3").c_str());
    EXPECT_EQ(zero_fill_drive('d'), RUN_FAILED);
    expect_message(RECORD_FOLDER + "\\ 下の一時ファイル1個の削除に失敗しました。\n"
                                   "お手数ですが、上記ファイル・フォルダを手動削除して下さい。");
    EXPECT_FALSE(fake::exists(NTFS_FILE));
    EXPECT_TRUE(fake::exists((leaf + "\\3").c_str()));

    start();
    fake::add_volume('d', "NTFS", 20000000, 100000000);
    fake::model_file_table('d', 100, 16384);
    fake::fail_create_folder(RECORD_FOLDER.c_str());
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_EQ(progress_tail(2), lines({WRITING_WAIT, DELETING}));
    EXPECT_TRUE(fake::listing('d').empty());
    expect_no_message();
}

// Scenario: NTFS, before the run: a user's VOIDTEMP holding a file and a
//   folder named like the step's first; a file, a link, or a link shown as
//   the user's folder it points at, with the name of the step's folder; the
//   tree that a run killed during the step left, also with a file that a
//   virus scanner holds (sharing its deletion), also where the system knows
//   no POSIX deletion.
// Expect: the user's things are neither entered nor changed, and a name
//   that is taken leaves the step out, in a box that names it; the killed
//   run's tree is removed and the step done again, the scanned file's name
//   gone at once; without POSIX deletion that file counts as gone while its
//   folders stay, named in a box. RUN_DONE every time.
TEST_F(ZeroFill, FileTableStepOnlyInItsOwnFolder)
{
    const std::string killed_leaf = RECORD_FOLDER + "\\0\\0\\0\\0\\0\\0\\0";
    const std::string taken = "一時フォルダ「" + RECORD_FOLDER +
                              "」と同じ名前のファイルまたはリンクがあります。\n"
                              "本プログラムの一時フォルダではないため、MFT空きレコードの書込みは行いませんでした。";
    auto killed_tree = [killed_leaf] {
        for (const char *name : {"\\0", "\\1", "\\2"})
            fake::add_file((killed_leaf + name).c_str(), 640);
        fake::add_folder((RECORD_FOLDER + "\\0\\0\\0\\0\\0\\0\\1").c_str());
        fake::scan((killed_leaf + "\\1").c_str());
    };
    std::vector<std::string> tree_left = {RECORD_FOLDER};
    for (int depth = 1; depth <= 7; depth++)
        tree_left.push_back(tree_left.back() + "\\0");
    tree_left.push_back(killed_leaf + "\\1");
    struct {
        std::function<void()> place;
        std::vector<std::string> left;
        bool step;
        std::string box;
    } cases[] = {
        {[] {
             fake::add_file("d:\\VOIDTEMP\\keep.doc", 100);
             fake::add_folder("d:\\VOIDTEMP\\0");
         },
         lines({"d:\\VOIDTEMP", "d:\\VOIDTEMP\\0", "d:\\VOIDTEMP\\keep.doc"}), true, ""},
        {[] { fake::add_file(RECORD_FOLDER.c_str(), 100); }, {RECORD_FOLDER}, false, taken},
        {[] {
             fake::add_folder(RECORD_FOLDER.c_str());
             fake::make_symbolic_link(RECORD_FOLDER.c_str());
         },
         {RECORD_FOLDER}, false, taken},
        {[] {
             fake::add_folder("d:\\docs");
             fake::add_folder(RECORD_FOLDER.c_str());
             fake::link_shown_as_file(RECORD_FOLDER.c_str(), "d:\\docs");
         },
         {"d:\\docs", RECORD_FOLDER}, false, taken},
        {killed_tree, {}, true, ""},
        {[&] {
             killed_tree();
             fake::refuse_posix_deletion('d');
         },
         tree_left, false,
         "一時フォルダ " + RECORD_FOLDER + " の削除に失敗しました。\n"
         "お手数ですが、上記フォルダを手動削除して下さい。"},
    };
    for (const auto &c : cases) {
        start();
        fake::add_volume('d', "NTFS", 20000000, 100000000);
        fake::model_file_table('d', 100, 16384);
        c.place();
        EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
        EXPECT_EQ(fake::listing('d'), c.left);
        std::vector<std::string> texts = progress();
        EXPECT_EQ(std::find(texts.begin(), texts.end(), RECORDS_0) != texts.end(), c.step);
        if (c.box.empty())
            expect_no_message();
        else
            expect_message(c.box);
    }

    // A link in the killed run's tree, shown as the user's file it points
    // at: neither it nor that file is removed, and the box names the tree;
    // the sweep is shown as a deletion before the fill begins. Left: the
    // link and the seven folders above it.
    start();
    fake::add_volume('d', "NTFS", 20000000, 100000000);
    fake::add_file("d:\\docs\\report.doc", 100);
    fake::link_shown_as_file((killed_leaf + "\\0").c_str(), "d:\\docs\\report.doc");
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_TRUE(fake::exists("d:\\docs\\report.doc"));
    EXPECT_TRUE(fake::exists((killed_leaf + "\\0").c_str()));
    EXPECT_EQ(progress().front(), DELETING);
    expect_message(RECORD_FOLDER + "\\ 下の一時ファイル1個の削除に失敗しました。\n"
                                   "お手数ですが、上記ファイル・フォルダを手動削除して下さい。");
}

// Scenario: a run on another name of an NTFS volume, each holding the file
//   and the step's tree that a killed run left: e:, a second letter of d:;
//   s:, a subst drive for d:\\work; m:, a mapped share; h:, a volume whose
//   name the mount manager does not know. The final paths are as Windows
//   gives them ("\\\\?\\D:\\work\\..." for s:, "\\\\?\\UNC\\server\\share\\..." for
//   m:), never the path the run opened. Then on e:, the leftover a link
//   shown as the user's file.
// Expect: the leftovers are the run's: gone, the step done, nothing left,
//   no box, RUN_DONE; the link and the user's file stay, named in a box.
TEST_F(ZeroFill, OwnFilesUnderEveryDriveName)
{
    const std::string leftover_tree = RECORD_FOLDER.substr(2) + "\\0\\0\\0\\0\\0\\0\\0\\0";
    const struct {
        char letter;
        void (*name)();
        std::string root;  // where the drive's files lie in the double
    } rows[] = {
        {'e', [] { fake::add_drive_alias('e', "d:\\"); }, "d:"},
        {'s', [] {
             fake::add_folder("d:\\work");
             fake::add_drive_alias('s', "d:\\work");
         },
         "d:\\work"},
        {'m', [] { fake::map_network_drive('m', "\\\\server\\share"); }, "m:"},
        {'h', [] { fake::hide_drive_name('h'); }, "h:"},
    };
    for (const auto &r : rows) {
        start();
        fake::add_volume(r.root[0], "NTFS", 20000000, 100000000);
        fake::model_file_table(r.root[0], 100, 16384);
        r.name();
        fake::add_file((r.root + "\\V_000000.TMP").c_str(), 5000);
        fake::add_file((r.root + leftover_tree).c_str(), 640);
        EXPECT_EQ(zero_fill_drive(r.letter), RUN_DONE) << r.letter;
        std::vector<std::string> texts = progress();
        EXPECT_NE(std::find(texts.begin(), texts.end(), RECORDS_0), texts.end()) << r.letter;
        EXPECT_EQ(fake::listing(r.root[0]), r.letter == 's' ? lines({"d:\\work"}) : lines({}))
            << r.letter;
        expect_no_message();
    }

    start();
    fake::add_volume('d', "NTFS", 20000000, 100000000);
    fake::add_drive_alias('e', "d:\\");
    fake::add_file("d:\\docs\\report.doc", 100);
    fake::link_shown_as_file(NTFS_FILE, "d:\\docs\\report.doc");
    EXPECT_EQ(zero_fill_drive('e'), RUN_FAILED);
    expect_message("一時ファイル「e:\\V_000000.TMP」はリンク（リパースポイント）です。\n"
                   "本プログラムの一時ファイルではないため、処理を中止しました。");
    EXPECT_EQ(fake::listing('d'), lines({"d:\\docs", "d:\\docs\\report.doc", NTFS_FILE}));
}

// Scenario: a virus scanner opens the run's file on NTFS halfway through
//   the fill, sharing its deletion, and holds it past the run's end.
// Expect: the file, deleted as the run closes it, counts as gone while its
//   name stays until the scanner lets go: no box, RUN_DONE.
TEST_F(ZeroFill, FileHeldByAScannerCountsAsGone)
{
    fake::add_volume('d', "NTFS", 100000000, 200000000);
    fake::on_fwrite([](int block) {
        if (block == 3)
            fake::scan(NTFS_FILE);
    });
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    EXPECT_TRUE(fake::exists(NTFS_FILE));
    expect_no_message();
}

// Scenario: the process is killed in the middle of the fill, on NTFS and on
//   FAT32 after the first file switch.
// Expect: the system, closing its handles, would delete every temporary
//   file: only an empty VOIDTEMP would be left.
TEST_F(ZeroFill, KilledRunLeavesNoTemporaryFile)
{
    static std::vector<std::string> left;
    for (char letter : {'d', 'e'}) {
        start();
        fake::add_volume('d', "NTFS", 5000000000, 8000000000);
        fake::add_volume('e', "FAT32", 5000000000, 8000000000);
        fake::on_fwrite([letter](int block) {
            if (block == 600)
                left = fake::remains_after_kill(letter);
        });
        EXPECT_EQ(zero_fill_drive(letter), RUN_DONE);
        EXPECT_EQ(left, letter == 'd' ? lines({}) : lines({FAT_FOLDER}));
    }
}

// Scenario: an NTFS volume with 1 GB free; the clock advances 1 s between
//   two blocks, then 10 ms.
// Expect: with 1 s every block's figure is shown; with 10 ms only about
//   one in ten, the first of them always, falling; the closing texts are
//   the same either way.
TEST_F(ZeroFill, RemainingFiguresAtMostTenASecond)
{
    fake::add_volume('d', "NTFS", 1000000000, 2000000000);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    std::vector<std::string> every = progress();
    size_t blocks = fake::writes_to(NTFS_FILE).size();
    ASSERT_GT(blocks, 200u);

    start();
    fake::add_volume('d', "NTFS", 1000000000, 2000000000);
    fake::tick_step(10);
    EXPECT_EQ(zero_fill_drive('d'), RUN_DONE);
    std::vector<std::string> some = progress();
    EXPECT_EQ(fake::writes_to(NTFS_FILE).size(), blocks);
    EXPECT_EQ(every.size(), blocks + 3);
    EXPECT_LT(some.size(), blocks / 5);
    EXPECT_GT(some.size(), blocks / 20);
    EXPECT_EQ(some.front(), every.front());
    EXPECT_EQ(std::vector<std::string>(some.end() - 3, some.end()),
              std::vector<std::string>(every.end() - 3, every.end()));
    for (size_t i = 0; i + 1 < some.size(); i++)
        EXPECT_NE(std::find(every.begin(), every.end(), some[i]), every.end()) << some[i];
}

// Scenario: NTFS with 300 MiB free above the reserve whose free space holds
//   old data in three places (one across a block's edge, one not on whole
//   units), filled reading first, only looking, and where reading first is
//   not possible: no right, a network drive, files that come out sparse,
//   FAT32, and a system that refuses to expose the space.
// Expect: reading first writes zeros over exactly the units that held old
//   data, through a file no other program may open; looking writes nothing
//   and leaves the old data; every other way writes every block (the old
//   data gone); looking where it cannot makes nothing and fails. Every run
//   leaves the volume as it was.
TEST_F(ZeroFill, ZerosOnlyWhereOldDataIs)
{
    const int64_t MIB = 1048576, FREE = 300 * MIB + RESERVE;
    typedef std::vector<std::pair<int64_t, int64_t>> ranges;
    const ranges old = {{5 * MIB + 4096, 5 * MIB + 12288},
                        {70 * MIB, 71 * MIB},
                        {200 * MIB - 100, 200 * MIB + 100}};
    const ranges zeroed = {{5 * MIB + 4096, 5 * MIB + 12288},
                           {70 * MIB, 71 * MIB},
                           {200 * MIB - 4096, 200 * MIB},
                           {200 * MIB, 200 * MIB + 4096}};
    enum outcome { ZEROED_WHERE_DATA, LOOKED, WROTE_ALL, COULD_NOT_LOOK };
    const struct {
        const char *name;
        char letter;
        fill_way way;
        std::function<void()> script;
        outcome expected;
    } rows[] = {
        {"reading first", 'd', FILL_WHERE_DATA, [] {}, ZEROED_WHERE_DATA},
        {"looking", 'd', FILL_CHECK_ONLY, [] {}, LOOKED},
        {"no right", 'd', FILL_WHERE_DATA, [] { fake::hold_volume_right(false); }, WROTE_ALL},
        {"network", 'd', FILL_WHERE_DATA, [] { fake::make_network_drive('d'); }, WROTE_ALL},
        {"sparse", 'd', FILL_WHERE_DATA,
         [] { fake::mark_new_files('d', FILE_ATTRIBUTE_SPARSE_FILE); }, WROTE_ALL},
        {"FAT32", 'e', FILL_WHERE_DATA, [] {}, WROTE_ALL},
        {"refused", 'd', FILL_WHERE_DATA, [] { fake::refuse_valid_data('d'); }, WROTE_ALL},
        {"looking, no right", 'd', FILL_CHECK_ONLY, [] { fake::hold_volume_right(false); },
         COULD_NOT_LOOK},
        {"looking, FAT32", 'e', FILL_CHECK_ONLY, [] {}, COULD_NOT_LOOK},
        {"looking, refused", 'd', FILL_CHECK_ONLY, [] { fake::refuse_valid_data('d'); },
         COULD_NOT_LOOK},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        start();
        fake::add_volume(r.letter, r.letter == 'd' ? "NTFS" : "FAT32", FREE, 1000 * MIB);
        for (const auto &range : old)
            fake::old_data(r.letter, range.first, range.second - range.first);
        r.script();
        int result = zero_fill_drive_with(r.letter, fill_options{RESERVE, r.way, false});
        EXPECT_EQ(result, r.expected == COULD_NOT_LOOK ? RUN_FAILED : RUN_DONE);
        ranges writes;
        int reads = 0, fwrites = 0;
        for (const fake::file_call &call : fake::file_calls()) {
            reads += call.op == fake::OP_READ;
            fwrites += call.op == fake::OP_FWRITE;
            if (call.op == fake::OP_WRITE && call.path == NTFS_FILE)
                writes.push_back({call.offset, call.offset + (int64_t)call.written});
        }
        if (r.expected == ZEROED_WHERE_DATA) {
            EXPECT_EQ(writes, zeroed);
        }
        if (r.expected == LOOKED || r.expected == COULD_NOT_LOOK) {
            EXPECT_TRUE(writes.empty() && fwrites == 0);
        }
        EXPECT_EQ(reads > 0, r.expected == ZEROED_WHERE_DATA || r.expected == LOOKED);
        EXPECT_EQ(fake::old_data_left(r.letter),
                  r.expected == LOOKED || r.expected == COULD_NOT_LOOK ? old : ranges());
        if (r.expected == COULD_NOT_LOOK) {
            expect_message("ドライブ " + std::string(1, r.letter) +
                           ": の空き領域を読み取れませんでした。");
        } else {
            expect_no_message();
        }
        EXPECT_TRUE(fake::listing(r.letter).empty());
        EXPECT_EQ(fake::free_bytes(r.letter), FREE);
    }
}
