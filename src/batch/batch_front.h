// The unattended program's front (run_front.h): notices as lines on
// standard error, progress as paced lines on standard output. It keeps
// what one drive's run reported, for the drive's ending line and code.
#pragma once

#include <stdint.h>

#include "batch/exit_code.h"
#include "platform/os.h"

struct drive_report {
    drive_notes notes;
    int64_t written;  // bytes of zeros the run wrote, or, reading first, went over
    bool read_first;  // the free space was read back and zeroed where data was
    int64_t bytes_read;
    int64_t bytes_with_data;
};

// Forgets the last drive's report before the next run; `checking`: the
// run only looks.
void begin_drive_report(bool checking);
drive_report current_drive_report();

// Called by the clock's thread about every quarter of a second while the
// program runs: a progress line when one is due although no block has come
// back since, so that a stalled volume still shows in the log, and the
// rate counts the time that passes.
void progress_tick(DWORD now_ms);
