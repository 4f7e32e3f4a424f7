// The progress dialog and its worker: the real run on the double's volumes,
// with the double's modal loop on the test's thread and scripted Cancels.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console/banner.h"
#include "fake_win32/fake_win32.h"
#include "program_test.h"
#include "ui/progress_dialog.h"
#include "zerofill/zero_fill.h"

namespace {

const int64_t GIGABYTE = 1000000000;
const char NTFS_FILE[] = "d:\\V_000000.TMP";
const char FINISHING[] = "終了処理中。";
const char PLEASE_WAIT[] = "お待ちください。";

// A dialog that nothing ends would block the test program for good.
class watchdog {
public:
    explicit watchdog(int seconds)
        : thread_([this, seconds] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_changed_.wait_for(lock, std::chrono::seconds(seconds),
                                          [this] { return done_; })) {
                  fprintf(stderr, "still running after %d s: a dialog that never ends\n",
                          seconds);
                  abort();
              }
          })
    {
    }
    ~watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_changed_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    std::thread thread_;
};

class ProgressDialog : public ProgramTest {
protected:
    watchdog guard_{60};
};

int64_t bytes_written(const char *path)
{
    std::vector<size_t> sizes = fake::writes_to(path);
    return std::accumulate(sizes.begin(), sizes.end(), (int64_t)0);
}

int count_of(const std::vector<std::string> &texts, const char *text)
{
    int n = 0;
    for (const std::string &t : texts)
        n += t == text;
    return n;
}

// The texts of a run without the window handle, which differs per dialog.
std::vector<std::string> text_trace()
{
    std::vector<std::string> trace;
    for (const fake::text_record &r : fake::text_log())
        trace.push_back(std::to_string(r.control) + "/" + std::to_string(r.from) + ":" + r.text);
    return trace;
}

// The dialog was ended once, by the worker, with `result`; the procedure
// never ended it, and the worker ended itself.
void expect_ended_by_worker(INT_PTR result)
{
    std::vector<fake::end_record> ends = fake::end_calls();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].from, fake::STARTED_THREAD);
    EXPECT_EQ(ends[0].result, result);
    EXPECT_TRUE(ends[0].served);
    ASSERT_EQ(fake::dialogs().size(), 1u);
    EXPECT_EQ(fake::dialogs()[0].result, result);
    EXPECT_EQ(fake::endthread_calls(), 1);
}

}  // namespace

// Scenario: one drive under the dialog, an NTFS volume already at the reserve.
// Expect: template "VF1" of the program itself, no owner, init value 0; on
//   WM_INITDIALOG the caption becomes the banner, then the three control
//   texts, in that order and on the dialog's thread; the procedure returns
//   TRUE; one worker with a 6,194,304-byte stack and a null argument, which
//   posts the run's first text for the letter it was given, set by the
//   window's own thread.
TEST_F(ProgressDialog, InitialisationThenWorker)
{
    fake::add_volume('d', "NTFS", RESERVE_BYTES, GIGABYTE);
    EXPECT_EQ(run_progress_dialog('d'), RUN_DONE);

    std::vector<fake::dialog_record> dialogs = fake::dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].template_name, "VF1");
    EXPECT_EQ(dialogs[0].instance, nullptr);
    EXPECT_EQ(dialogs[0].owner, nullptr);
    EXPECT_EQ(dialogs[0].init, 0);
    EXPECT_EQ(dialogs[0].init_returned, TRUE);
    EXPECT_EQ(g_hDlg.load(), dialogs[0].window);

    const struct {
        int control;
        const char *text;
    } init_texts[] = {
        {fake::CAPTION, BANNER},
        {IDC_STATUS, "ゼロクリヤ処理中。"},
        {IDC_PROGRESS, PLEASE_WAIT},
        {IDC_ABORT, "キャンセル"},
    };
    std::vector<fake::text_record> log = fake::text_log();
    ASSERT_GT(log.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].window, dialogs[0].window);
        EXPECT_EQ(log[i].control, init_texts[i].control);
        EXPECT_EQ(log[i].text, init_texts[i].text);
        EXPECT_EQ(log[i].from, fake::LOOP_THREAD);
    }
    EXPECT_EQ(log[4].from, fake::LOOP_THREAD);
    EXPECT_EQ(fake::posted_messages().at(0).from, fake::STARTED_THREAD);
    EXPECT_EQ(log[4].control, IDC_STATUS);
    EXPECT_EQ(log[4].text, "d: ドライブにゼロを書込中");

    std::vector<fake::thread_record> threads = fake::thread_starts();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_TRUE(threads[0].started);
    EXPECT_EQ(threads[0].stack_size, 6194304u);
    EXPECT_EQ(threads[0].argument, nullptr);
}

// Scenario: three runs without a user action but one: a volume at the
//   reserve; a 1 GB volume cancelled after the run's second progress text; a
//   volume with the unsupported file system HPFS.
// Expect: run_progress_dialog returns 1, 0 and -1; each time the worker alone
//   ended the dialog, with that result, and then itself; the failure is told
//   in a message box owned by the dialog; the cancelled run left no file.
TEST_F(ProgressDialog, ReturnsTheResultOfTheRun)
{
    fake::add_volume('d', "NTFS", RESERVE_BYTES, GIGABYTE);
    EXPECT_EQ(run_progress_dialog('d'), RUN_DONE);
    expect_ended_by_worker(RUN_DONE);
    EXPECT_TRUE(fake::commands().empty());
    EXPECT_TRUE(fake::message_boxes().empty());

    SetUp();
    fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
    fake::command_after_update(IDC_PROGRESS, 3, IDC_ABORT);
    EXPECT_EQ(run_progress_dialog('d'), RUN_CANCELLED);
    expect_ended_by_worker(RUN_CANCELLED);
    EXPECT_FALSE(fake::exists(NTFS_FILE));
    EXPECT_GT(bytes_written(NTFS_FILE), 0);
    EXPECT_LT(bytes_written(NTFS_FILE), GIGABYTE - RESERVE_BYTES);

    SetUp();
    fake::add_volume('u', "HPFS", GIGABYTE, 2 * GIGABYTE);
    EXPECT_EQ(run_progress_dialog('u'), RUN_FAILED);
    expect_ended_by_worker(RUN_FAILED);
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(boxes.size(), 1u);
    expect_error_box_of(boxes[0], fake::dialogs()[0].window);
    EXPECT_EQ(boxes[0].text, "ファイルシステムが異常です。\n"
                             "本プログラムは、NTFS,FAT,FAT32 のみ対応です。\n"
                             "ファイルシステム = HPFS  (u:\\)");
}

// Scenario: the Cancel button, the Escape key (IDCANCEL) and IDCANCEL with a
//   notification code in the high word, each sent after the run's first
//   progress text of a 1 GB volume.
// Expect: the same run each time: the procedure takes the command (TRUE) and
//   sets the two finishing texts at once, the window stays open until the
//   worker ends it with RUN_CANCELLED, and nothing else differs.
TEST_F(ProgressDialog, CancelAndEscapeAlike)
{
    const WPARAM commands[] = {IDC_ABORT, IDCANCEL, (WPARAM)1 << 16 | IDCANCEL};
    std::vector<std::string> first_trace;
    for (WPARAM command : commands) {
        SCOPED_TRACE(command);
        SetUp();
        fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
        fake::command_after_update(IDC_PROGRESS, 2, command);
        EXPECT_EQ(run_progress_dialog('d'), RUN_CANCELLED);
        expect_ended_by_worker(RUN_CANCELLED);
        std::vector<fake::command_record> handled = fake::commands();
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].returned, TRUE);

        // Right after the worker's first progress text: the procedure's two.
        std::vector<fake::text_record> log = fake::text_log();
        ASSERT_GT(log.size(), 8u);
        EXPECT_EQ(log[5].control, IDC_PROGRESS);
        EXPECT_EQ(log[5].from, fake::LOOP_THREAD);
        EXPECT_EQ(log[6].control, IDC_STATUS);
        EXPECT_EQ(log[6].text, FINISHING);
        EXPECT_EQ(log[6].from, fake::LOOP_THREAD);
        EXPECT_EQ(log[7].control, IDC_PROGRESS);
        EXPECT_EQ(log[7].text, PLEASE_WAIT);
        EXPECT_EQ(log[7].from, fake::LOOP_THREAD);

        if (first_trace.empty())
            first_trace = text_trace();
        else
            EXPECT_EQ(text_trace(), first_trace);
    }
}

// Scenario: IDOK, another identifier, a control's identifier, and IDOK with
//   the Cancel button's identifier in the high word, each sent during a run
//   that has 5,000,000 bytes to write.
// Expect: the procedure declines each (FALSE) and writes nothing; the run
//   writes all 5,000,000 bytes and ends done.
TEST_F(ProgressDialog, OtherCommandsChangeNothing)
{
    const WPARAM commands[] = {IDOK, 3, IDC_STATUS, (WPARAM)IDC_ABORT << 16 | IDOK};
    for (WPARAM command : commands) {
        SCOPED_TRACE(command);
        SetUp();
        fake::add_volume('d', "NTFS", RESERVE_BYTES + 5000000, GIGABYTE);
        fake::command_after_update(IDC_PROGRESS, 2, command);
        EXPECT_EQ(run_progress_dialog('d'), RUN_DONE);
        expect_ended_by_worker(RUN_DONE);
        std::vector<fake::command_record> handled = fake::commands();
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].returned, FALSE);
        EXPECT_EQ(count_of(fake::texts(IDC_STATUS), FINISHING), 0);
        EXPECT_EQ(bytes_written(NTFS_FILE), 5000000);
    }
}

// Scenario: a run cancelled once, and the same run cancelled three times:
//   during the writing, while the buffer is flushed, while the file is
//   deleted (the last time with Escape).
// Expect: every Cancel is taken and sets the finishing texts again; the run
//   does the same file work, ends cancelled, and the worker alone ends the
//   dialog, once.
TEST_F(ProgressDialog, SeveralCancelsEqualOne)
{
    fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
    fake::command_after_update(IDC_PROGRESS, 3, IDC_ABORT);
    EXPECT_EQ(run_progress_dialog('d'), RUN_CANCELLED);
    std::vector<size_t> once_writes = fake::writes_to(NTFS_FILE);
    size_t once_file_calls = fake::file_calls().size();

    SetUp();
    fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
    fake::command_after_update(IDC_PROGRESS, 3, IDC_ABORT);
    fake::command_on_text(IDC_PROGRESS, "バッファ書込中。お待ち下さい。", IDC_ABORT);
    fake::command_on_text(IDC_PROGRESS, "ファイル削除中。お待ち下さい。", IDCANCEL);
    EXPECT_EQ(run_progress_dialog('d'), RUN_CANCELLED);
    expect_ended_by_worker(RUN_CANCELLED);
    std::vector<fake::command_record> handled = fake::commands();
    ASSERT_EQ(handled.size(), 3u);
    for (const fake::command_record &c : handled)
        EXPECT_EQ(c.returned, TRUE);
    EXPECT_EQ(count_of(fake::texts(IDC_STATUS), FINISHING), 3);
    EXPECT_EQ(fake::writes_to(NTFS_FILE), once_writes);
    EXPECT_EQ(fake::file_calls().size(), once_file_calls);
    EXPECT_FALSE(fake::exists(NTFS_FILE));
}

// Scenario: Cancel handled right after WM_INITDIALOG, before the worker has
//   done anything, on a 1 GB volume.
// Expect: the Cancel holds: the run ends cancelled without creating a file.
TEST_F(ProgressDialog, EarlyCancelIsNeverOverwritten)
{
    fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
    fake::command_after_init(IDC_ABORT);
    EXPECT_EQ(run_progress_dialog('d'), RUN_CANCELLED);
    expect_ended_by_worker(RUN_CANCELLED);
    EXPECT_TRUE(fake::file_calls().empty());
    std::vector<std::string> status = fake::texts(IDC_STATUS);
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status[1], FINISHING);
}

// Scenario: the worker thread cannot be started.
// Expect: a message box owned by the dialog says so, the dialog is ended
//   with RUN_FAILED, and run_progress_dialog returns it; nothing is written.
TEST_F(ProgressDialog, WorkerThatCannotStartEndsTheDialog)
{
    fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
    fake::fail_thread_starts(1);
    EXPECT_EQ(run_progress_dialog('d'), RUN_FAILED);

    std::vector<fake::dialog_record> dialogs = fake::dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].result, RUN_FAILED);
    std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
    ASSERT_EQ(boxes.size(), 1u);
    expect_error_box_of(boxes[0], dialogs[0].window);
    EXPECT_FALSE(boxes[0].text.empty());
    ASSERT_EQ(fake::thread_starts().size(), 1u);
    EXPECT_FALSE(fake::thread_starts()[0].started);
    EXPECT_EQ(g_running.load(), 0);
    EXPECT_TRUE(fake::file_calls().empty());
}

// Scenario: the dialog cannot be created, after an earlier run ended done.
// Expect: no worker, nothing queried or written; the earlier result comes back.
TEST_F(ProgressDialog, DialogThatCannotBeCreated)
{
    fake::add_volume('d', "NTFS", GIGABYTE, 2 * GIGABYTE);
    g_result = RUN_DONE;
    fake::fail_dialogs(1);
    EXPECT_EQ(run_progress_dialog('d'), RUN_DONE);
    EXPECT_TRUE(fake::thread_starts().empty());
    EXPECT_TRUE(fake::file_calls().empty());
    EXPECT_TRUE(fake::space_calls().empty());
    EXPECT_TRUE(fake::text_log().empty());
}

// Scenario: Cancel at the file table step's text for its 32nd file, on an
//   NTFS volume with 200 free records.
// Expect: the step stops within one file; the record files, their folder
//   and the big file are all deleted; RUN_CANCELLED.
TEST_F(ProgressDialog, CancelStopsTheFileTableStep)
{
    fake::add_volume('d', "NTFS", 30000000, 2 * GIGABYTE);
    fake::model_file_table('d', 200, 16384);
    fake::command_on_text(IDC_PROGRESS, "MFT空きレコード書込中 32 (個)", IDC_ABORT);
    EXPECT_EQ(run_progress_dialog('d'), RUN_CANCELLED);
    expect_ended_by_worker(RUN_CANCELLED);
    int record_files = 0;
    for (const fake::file_call &call : fake::file_calls())
        record_files += call.op == fake::OP_CREATE && call.path.find("VOIDFILL-MFT") != std::string::npos;
    EXPECT_GE(record_files, 32);
    EXPECT_LE(record_files, 33);
    EXPECT_TRUE(fake::listing('d').empty());
}

// Scenario: the window's thread held up, as by a slow display, from the
//   run's first text until the worker has written the whole fill of a
//   200 MB volume.
// Expect: the worker gets there while the window is held: it never waits
//   for the window. The held window skips the texts it fell behind on and
//   shows the others in the order of a run whose window is never held,
//   down to the same last text; RUN_DONE.
TEST_F(ProgressDialog, WorkerNeverWaitsForTheWindow)
{
    fake::add_volume('d', "NTFS", 200000000, 2 * GIGABYTE);
    EXPECT_EQ(run_progress_dialog('d'), RUN_DONE);
    std::vector<std::string> unheld = fake::texts(IDC_PROGRESS);

    SetUp();
    fake::add_volume('d', "NTFS", 200000000, 2 * GIGABYTE);
    std::atomic<bool> filled_while_held{false};
    fake::hold_window_after_post([&filled_while_held] {
        filled_while_held = bytes_written(NTFS_FILE) == 200000000 - RESERVE_BYTES;
        return filled_while_held.load();
    });
    EXPECT_EQ(run_progress_dialog('d'), RUN_DONE);
    EXPECT_TRUE(filled_while_held);
    std::vector<std::string> held = fake::texts(IDC_PROGRESS);
    ASSERT_FALSE(held.empty());
    EXPECT_LT(held.size(), unheld.size() / 2);
    EXPECT_EQ(held.back(), unheld.back());
    size_t at = 0;
    for (const std::string &text : held) {
        while (at < unheld.size() && unheld[at] != text)
            at++;
        EXPECT_LT(at, unheld.size()) << "out of order: " << text;
    }
}
