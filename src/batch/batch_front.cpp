// What a run tells the unattended program: lines for a build log.
#include "batch/batch_front.h"

#include "batch/notice_line.h"
#include "batch/output.h"
#include "batch/progress_line.h"
#include "volume/format.h"
#include "zerofill/run_front.h"

// Written by the thread that runs the fill, read by it after the run: no
// other thread touches it.
struct front_state {
    drive_report report;
    bool filling;  // the first block has been announced
    DWORD fill_start_ms;
    progress_pace pace;
    bool records_begun;
    bool checking;
};

static front_state s_front;

void begin_drive_report(bool checking)
{
    s_front = front_state{};
    s_front.checking = checking;
}

drive_report current_drive_report()
{
    return s_front.report;
}

void front_notice(const run_notice &notice)
{
    note_notice(s_front.report.notes, notice.kind);
    char line[LINE_SIZE];
    format_notice_line(line, sizeof line, notice);
    print_error_line("%s", line);
}

static void show_writing(const run_progress &p)
{
    DWORD now = sys::GetTickCount();
    if (!s_front.filling) {
        s_front.filling = true;
        s_front.fill_start_ms = now;
        s_front.pace = start_progress_pace(now);
        return;
    }
    if (!progress_line_due(s_front.pace, now, fill_percent(p.bytes_written, p.to_write)))
        return;
    char line[LINE_SIZE];
    format_progress_line(line, sizeof line, p.letter, p.bytes_written, p.to_write,
                         now - s_front.fill_start_ms);
    print_line("%s", line);
}

void front_progress(const run_progress &p)
{
    switch (p.stage) {
    case STAGE_WRITING:
    case STAGE_SWITCHING_FILE:
        s_front.report.written = p.bytes_written;
        s_front.report.bytes_read = p.bytes_read;
        s_front.report.bytes_with_data = p.bytes_with_data;
        show_writing(p);
        break;
    case STAGE_FLUSHING:
    case STAGE_WRITE_FALSE:
    case STAGE_DELETING:
        if (p.bytes_written > s_front.report.written)
            s_front.report.written = p.bytes_written;
        s_front.report.bytes_read = p.bytes_read;
        s_front.report.bytes_with_data = p.bytes_with_data;
        break;
    case STAGE_RECORDS:
        if (!s_front.records_begun)
            print_line("%c: filling the free records of the file table", p.letter);
        s_front.records_begun = true;
        break;
    case STAGE_RECORDS_DONE: {
        char count[FORMATTED_BYTES_SIZE];
        print_line("%c: file table step done, %s free records filled", p.letter,
                   format_bytes(count, p.records));
        break;
    }
    case STAGE_WAY: {
        s_front.report.read_first = p.way == WAY_READ_FIRST;
        char line[LINE_SIZE];
        format_way_line(line, sizeof line, p, s_front.checking);
        print_line("%s", line);
        break;
    }
    case STAGE_STARTING:
        break;
    }
}
