// The unattended program's verdicts and progress lines.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch/exit_code.h"
#include "batch/progress_line.h"
#include "zerofill/run_state.h"

// Scenario: a run's result with the notices it gave, one case per row.
// Expect: the drive's exit code; a leftover fails the drive whatever else
//   it got.
TEST(BatchExitCode, FromNoticesAndResult)
{
    const struct {
        std::vector<run_notice_kind> notices;
        int result;
        int code;
    } rows[] = {
        {{}, RUN_DONE, EXIT_COMPLETE},
        {{}, RUN_CANCELLED, EXIT_STOPPED},
        {{}, RUN_FAILED, EXIT_FAILED},
        {{NOTICE_NOT_SHRINKING}, RUN_FAILED, EXIT_NOT_POSSIBLE},
        {{NOTICE_FILE_READ_ONLY}, RUN_FAILED, EXIT_NOT_POSSIBLE},
        {{NOTICE_FILE_IN_USE}, RUN_FAILED, EXIT_IN_USE},
        {{NOTICE_FILE_NOT_MADE}, RUN_FAILED, EXIT_FAILED},
        {{NOTICE_FILE_LEFT}, RUN_DONE, EXIT_FAILED},
        {{NOTICE_FOLDER_LEFT}, RUN_CANCELLED, EXIT_FAILED},
        {{NOTICE_NOT_SHRINKING, NOTICE_FILES_LEFT}, RUN_FAILED, EXIT_FAILED},
        {{NOTICE_WRITE_FAILED, NOTICE_FILE_IN_USE}, RUN_FAILED, EXIT_IN_USE},
        {{NOTICE_STEP_SKIPPED}, RUN_DONE, EXIT_NOT_POSSIBLE},
        {{NOTICE_SWEEP_STOPPED}, RUN_CANCELLED, EXIT_STOPPED},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "notices " << r.notices.size() << ", first "
                                        << (r.notices.empty() ? -1 : (int)r.notices[0])
                                        << ", result " << r.result);
        drive_notes notes = {};
        for (run_notice_kind kind : r.notices)
            note_notice(notes, kind);
        EXPECT_EQ(drive_exit_code(notes, r.result), r.code);
    }
}

// Scenario: the codes of two drives, one pair per row.
// Expect: the more serious, whatever the order: 1 > 4 > 5 > 3 > 0, and a
//   usage error above all.
TEST(BatchExitCode, MostSeriousOfTwoDrives)
{
    const int rows[][3] = {
        {1, 3, 1}, {3, 1, 1}, {1, 4, 1}, {4, 5, 4}, {5, 4, 4}, {5, 3, 5},
        {3, 5, 5}, {0, 3, 3}, {0, 0, 0}, {4, 0, 4}, {2, 1, 2}, {1, 2, 2},
    };
    for (const auto &r : rows)
        EXPECT_EQ(more_serious(r[0], r[1]), r[2]) << r[0] << " and " << r[1];
}

// Scenario: blocks reported at these times (ms, across GetTickCount's wrap)
//   and percentages.
// Expect: a line at each new step of 10% and otherwise at most one per
//   10 s, the wait counted from the last line.
TEST(BatchProgress, PaceOfLines)
{
    const DWORD start = 0xFFFFF000u;
    const struct {
        DWORD after_ms;
        int percent;
        bool due;
    } rows[] = {
        {100, 1, false},   {9999, 9, false},   {10000, 9, true},  {12000, 10, true},
        {12001, 19, false}, {13000, 35, true}, {13001, 36, false}, {22999, 39, false},
        {23000, 39, true},  {24000, 40, true}, {24001, 40, false}, {40000, 41, true},
    };
    progress_pace pace = start_progress_pace(start);
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.after_ms << " ms, " << r.percent << "%");
        EXPECT_EQ(progress_line_due(pace, start + r.after_ms, r.percent), r.due);
    }
}

// Scenario: progress figures, one case per row: bytes written (or read)
//   and still to write, the recent rate in bytes per millisecond, how long
//   the write in flight has taken, and reading first what held data.
// Expect: the line a log reader (and the end-to-end test) parses; a write
//   that has taken a second or more named; no time left at no rate.
TEST(BatchProgress, LineText)
{
    const struct {
        int64_t written;
        int64_t to_write;
        double rate;
        DWORD taken_ms;
        const char *line;
        read_counts read = {-1, false};  // reading first: what held data
    } rows[] = {
        {400000000, 600000000, 100000.0, 0,
         "D: 40% filled, 400,000,000 bytes written, 100.0 MB/s, 0:00:06 left"},
        {1, 0, 0.001, 999, "D: 100% filled, 1 bytes written, 0.0 MB/s, 0:00:00 left"},
        {0, 5000, 0.0, 0, "D: 0% filled, 0 bytes written, 0.0 MB/s, unknown left"},
        {2500000000LL, 7500000000LL, 25000.0, 14999,
         "D: 25% filled, 2,500,000,000 bytes written, 25.0 MB/s, 0:05:00 left "
         "(a write has taken 14 s so far)"},
        {1000000, 999000000000LL, 1000.0, 0,
         "D: 0% filled, 1,000,000 bytes written, 1.0 MB/s, 277:30:00 left"},
        {1, 1000000000000000LL, 1e-9, 0,
         "D: 0% filled, 1 bytes written, 0.0 MB/s, unknown left"},
        {400000000, 600000000, 100000.0, 0,
         "D: 40% filled, 400,000,000 bytes read, 1,048,576 of them zeroed, 100.0 MB/s, "
         "0:00:06 left",
         {1048576, false}},
        {400000000, 600000000, 100000.0, 0,
         "D: 40% read, 400,000,000 bytes read, 0 of them hold data, 100.0 MB/s, 0:00:06 left",
         {0, true}},
    };
    for (const auto &r : rows) {
        char line[256];
        format_progress_line(line, sizeof line, 'D', r.written, r.to_write, r.rate, r.taken_ms,
                             r.read);
        EXPECT_STREQ(line, r.line);
    }
}

// Scenario: a fill at 10 MB/s for 60 s, sampled every second, then a
//   write that hangs for 20 s while the clock goes on sampling (across
//   GetTickCount's wrap).
// Expect: the rate of the last 30 s, not the average since the start:
//   10 MB/s at 60 s, 3.3 MB/s at 80 s (100 MB in the last 30 s), where the
//   average would say 7.5.
TEST(BatchProgress, RateOfTheLastThirtySeconds)
{
    const DWORD start = 0xFFFF0000u;
    rate_window window;
    start_rate_window(window, start);
    for (DWORD s = 1; s <= 60; s++)
        add_rate_sample(window, start + 1000 * s, 10000000LL * s);
    EXPECT_NEAR(recent_rate(window, start + 60000, 600000000), 10000.0, 1.0);
    for (DWORD s = 61; s <= 80; s++)
        add_rate_sample(window, start + 1000 * s, 600000000);
    EXPECT_NEAR(recent_rate(window, start + 80000, 600000000), 100000000.0 / 30000, 1.0);
}
