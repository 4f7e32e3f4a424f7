// The exit status of the unattended program: one code per drive, the most
// serious of them for the whole command.
#pragma once

#include "zerofill/run_front.h"

enum batch_exit_code {
    EXIT_COMPLETE = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_NOT_POSSIBLE = 3,
    EXIT_STOPPED = 4,
    EXIT_IN_USE = 5,
};

// What one drive's run told its front.
struct drive_notes {
    int worst;      // the highest code of its notices; EXIT_COMPLETE for none
    bool left;      // something of the run's own could not be removed
};

void note_notice(drive_notes &notes, run_notice_kind kind);

// The more serious of two codes: 1 > 4 > 5 > 3 > 0, so that a failure is
// never hidden behind a stop, a drive in use or one that is not possible,
// whatever their numbers. A usage error (2) comes before any drive, and
// outranks them all.
int more_serious(int a, int b);

// The code of one drive, from its notices and the run's result (RUN_DONE,
// RUN_CANCELLED or RUN_FAILED). A file or folder left behind fails the
// drive whatever else happened: it holds space the user must free.
int drive_exit_code(const drive_notes &notes, int run_result);
