// What a run tells the unattended program: lines for a build log.
#include "batch/batch_front.h"

#include <atomic>

#include "batch/notice_line.h"
#include "batch/output.h"
#include "batch/progress_line.h"
#include "volume/format.h"
#include "zerofill/run_front.h"

// Written and read by the thread that runs the fill only.
struct drive_state {
    drive_report report;
    bool records_begun;
    bool checking;
};

// The fill's progress, shared by the fill's thread (at every block) and
// the clock's (in between), under s_progress_lock.
struct progress_state {
    bool filling;   // the first block has been announced, the fill goes on
    bool in_write;  // a block has been handed to the system and not come back
    char letter;
    DWORD write_started_ms;
    int64_t written;
    int64_t to_write;
    read_counts read;
    progress_pace pace;
    rate_window rate;
};

static drive_state s_drive;
static progress_state s_progress;
static CRITICAL_SECTION s_progress_lock;
static std::atomic<bool> s_lock_made{false};

void begin_drive_report(bool checking)
{
    if (!s_lock_made) {
        sys::InitializeCriticalSection(&s_progress_lock);
        s_lock_made = true;
    }
    s_drive = drive_state{};
    s_drive.checking = checking;
    sys::EnterCriticalSection(&s_progress_lock);
    s_progress = progress_state{};
    sys::LeaveCriticalSection(&s_progress_lock);
}

drive_report current_drive_report()
{
    return s_drive.report;
}

void front_notice(const run_notice &notice)
{
    note_notice(s_drive.report.notes, notice.kind);
    char line[LINE_SIZE];
    format_notice_line(line, sizeof line, notice);
    print_error_line("%s", line);
}

// Under the lock: a line when one is due, naming a write that has not
// come back yet.
static void show_if_due(DWORD now_ms)
{
    const progress_state &p = s_progress;
    if (!progress_line_due(s_progress.pace, now_ms, fill_percent(p.written, p.to_write)))
        return;
    char line[LINE_SIZE];
    format_progress_line(line, sizeof line, p.letter, p.written, p.to_write,
                         recent_rate(p.rate, now_ms, p.written),
                         p.in_write && now_ms != p.write_started_ms ? now_ms - p.write_started_ms
                                                                    : 0,
                         p.read);
    print_progress_line("%s", line);
}

// Before each block: the one before it has come back.
static void show_writing(const run_progress &progress)
{
    DWORD now = sys::GetTickCount();
    sys::EnterCriticalSection(&s_progress_lock);
    progress_state &p = s_progress;
    p.letter = progress.letter;
    p.written = progress.bytes_written;
    p.to_write = progress.to_write;
    p.read = read_counts{progress.way == WAY_READ_FIRST ? progress.bytes_with_data : -1,
                         s_drive.checking};
    p.in_write = false;
    if (!p.filling) {
        p.filling = true;
        p.pace = start_progress_pace(now);
        start_rate_window(p.rate, now);
    } else {
        add_rate_sample(p.rate, now, p.written);
        show_if_due(now);
    }
    p.in_write = true;
    p.write_started_ms = now;
    sys::LeaveCriticalSection(&s_progress_lock);
}

// A file switch (the fill goes on), or the fill's end.
static void leave_write(bool fill_ended)
{
    sys::EnterCriticalSection(&s_progress_lock);
    s_progress.in_write = false;
    if (fill_ended)
        s_progress.filling = false;
    sys::LeaveCriticalSection(&s_progress_lock);
}

void progress_tick(DWORD now_ms)
{
    if (!s_lock_made)
        return;
    sys::EnterCriticalSection(&s_progress_lock);
    if (s_progress.filling) {
        add_rate_sample(s_progress.rate, now_ms, s_progress.written);
        show_if_due(now_ms);
    }
    sys::LeaveCriticalSection(&s_progress_lock);
}

// The run's counts only grow; a stage that names none (the sweep of a
// killed run's tree) leaves them as they are.
static void keep_counts(const run_progress &p)
{
    drive_report &r = s_drive.report;
    r.written = p.bytes_written > r.written ? p.bytes_written : r.written;
    r.bytes_read = p.bytes_read > r.bytes_read ? p.bytes_read : r.bytes_read;
    r.bytes_with_data = p.bytes_with_data > r.bytes_with_data ? p.bytes_with_data
                                                              : r.bytes_with_data;
}

void front_progress(const run_progress &p)
{
    switch (p.stage) {
    case STAGE_WRITING:
        keep_counts(p);
        show_writing(p);
        break;
    case STAGE_SWITCHING_FILE:
        keep_counts(p);
        leave_write(false);
        break;
    case STAGE_FLUSHING:
    case STAGE_WRITE_FALSE:
    case STAGE_DELETING:
        keep_counts(p);
        leave_write(true);
        break;
    case STAGE_RECORDS:
        if (!s_drive.records_begun)
            print_line("%c: filling the free records of the file table", p.letter);
        s_drive.records_begun = true;
        break;
    case STAGE_RECORDS_DONE: {
        char count[FORMATTED_BYTES_SIZE];
        print_line("%c: file table step done, %s free records filled", p.letter,
                   format_bytes(count, p.records));
        break;
    }
    case STAGE_WAY: {
        s_drive.report.read_first = p.way == WAY_READ_FIRST;
        char line[LINE_SIZE];
        format_way_line(line, sizeof line, p, s_drive.checking);
        print_line("%s", line);
        break;
    }
    case STAGE_STARTING:
        break;
    }
}
