// Ctrl+C and the console's close. A stop lasts for the rest of the process,
// so each story is one test, told in the order it happens, and needs a
// process of its own, as CTest runs them (or --gtest_filter).
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "fake_win32/fake_win32.h"
#include "zerofill/interrupt.h"
#include "ui/progress_dialog.h"
#include "cli/disk_mode.h"
#include "volume/disk_number.h"
#include "zerofill/zero_fill.h"

namespace {

const int64_t VOLUME_FREE = 100000000;
const int64_t VOLUME_SIZE = 1000000000;

void put_drive(char letter)
{
    fake::device_extents(letter, {{0, 1048576, VOLUME_SIZE}});
    fake::add_volume(letter, "NTFS", VOLUME_FREE, VOLUME_SIZE);
}

template <typename Condition> bool wait_until(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

// Scenario: disk mode over C and D of disk 0 with the console handler
//   installed; Ctrl+C arrives on its own thread, as the system delivers it,
//   while C's worker is held in its first progress text; later another run is
//   asked for, and Ctrl+Break comes with no run active.
// Expect: the handler lowers g_running and returns TRUE only once C's run has
//   cleaned up and its dialog has closed; C ends cancelled; D gets no report
//   line and no dialog; begin_run is false from then on; the second event
//   finds no run and is left to the system (FALSE).
TEST(Interrupt, StopsTheRunWaitsForItAndStartsNoOtherDrive)
{
    fake::reset();
    g_result = 0;
    g_running = 0;
    put_drive('C');
    put_drive('D');
    install_interrupt_handler();

    std::thread system_thread;
    std::atomic<BOOL> handled{-1};
    std::atomic<bool> returned{false};
    std::atomic<bool> dialog_open_at_return{true};
    std::atomic<bool> file_left_at_return{true};
    std::atomic<bool> flag_lowered{false};
    std::atomic<bool> returned_while_running{false};
    fake::action_after_update(
        IDC_PROGRESS, 2,
        [&] {
            system_thread = std::thread([&] {
                BOOL result = fake::raise_ctrl_event(CTRL_C_EVENT);
                dialog_open_at_return = fake::dialog_open();
                file_left_at_return = fake::exists("C:\\V_000000.TMP");
                handled = result;
                returned = true;
            });
            // The worker is held in this text update, so only the handler can
            // lower the flag, and the run cannot end before the update returns.
            flag_lowered = wait_until([] { return g_running == 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            returned_while_running = returned.load();
        },
        1);
    run_disk_mode("0:");
    ASSERT_TRUE(system_thread.joinable());
    system_thread.join();

    EXPECT_TRUE(flag_lowered);
    EXPECT_FALSE(returned_while_running);
    EXPECT_EQ(handled.load(), TRUE);
    EXPECT_FALSE(dialog_open_at_return);
    EXPECT_FALSE(file_left_at_return);
    EXPECT_EQ(g_result.load(), RUN_CANCELLED);
    EXPECT_EQ(fake::dialogs().size(), 1u);
    EXPECT_EQ(fake::console_text(),
              "Disk[0]:Drive[C:]Free/Size =      100,000,000/   1,000,000,000 (B)\n");
    EXPECT_TRUE(fake::writes_to("D:\\V_000000.TMP").empty());

    EXPECT_FALSE(begin_run());
    EXPECT_EQ(run_progress_dialog('D'), RUN_CANCELLED);
    EXPECT_EQ(fake::dialogs().size(), 1u);

    EXPECT_EQ(fake::raise_ctrl_event(CTRL_BREAK_EVENT), FALSE);
    fake::reset();
}

// Scenario: a run hangs in a write (its worker held in a progress text);
//   Ctrl+C arrives and waits; a second Ctrl+C follows; then the console is
//   closed while the run still hangs.
// Expect: the second Ctrl+C ends the program at once with status 0, through
//   TerminateProcess (ExitProcess's detach code could wait for a lock the
//   hung write holds); the
//   close event gives up waiting after a few seconds, well within the five
//   that the system allows, and returns TRUE; the first Ctrl+C returns once
//   the run ends.
TEST(Interrupt, SecondCtrlCEndsAtOnceAndCloseWaitsOnlySoLong)
{
    fake::reset();
    g_result = 0;
    g_running = 0;
    put_drive('C');
    install_interrupt_handler();

    std::thread first;
    std::atomic<BOOL> first_result{-1};
    BOOL second_result = -1;
    std::vector<UINT> exits_after_second;
    BOOL close_result = -1;
    double close_seconds = 0;
    fake::action_after_update(
        IDC_PROGRESS, 2,
        [&] {
            first = std::thread([&] { first_result = fake::raise_ctrl_event(CTRL_C_EVENT); });
            wait_until([] { return g_running == 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            second_result = fake::raise_ctrl_event(CTRL_C_EVENT);
            exits_after_second = fake::terminate_calls();
            auto started = std::chrono::steady_clock::now();
            close_result = fake::raise_ctrl_event(CTRL_CLOSE_EVENT);
            close_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                          started).count();
        },
        1);
    EXPECT_EQ(run_progress_dialog('C'), RUN_CANCELLED);
    first.join();

    EXPECT_EQ(second_result, TRUE);
    EXPECT_EQ(exits_after_second, std::vector<UINT>{0});
    EXPECT_TRUE(fake::exit_calls().empty());
    EXPECT_EQ(close_result, TRUE);
    EXPECT_GT(close_seconds, 1.0);
    EXPECT_LT(close_seconds, 4.5);
    EXPECT_EQ(first_result.load(), TRUE);
    EXPECT_FALSE(fake::exists("C:\\V_000000.TMP"));
    fake::reset();
}
