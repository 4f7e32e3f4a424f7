// The zero-fill run: temporary files of zeros on one drive until only the
// reserve is free, then removed again.
#pragma once

#include <stdint.h>

#include "zerofill/run_state.h"

// Free bytes that a run never writes.
enum { RESERVE_BYTES = 10485760 };

// How a run fills the free space.
enum fill_way {
    // Zeros over every free block (voidfill.exe; voidfill-batch --write-all).
    FILL_WRITE_ALL,
    // Where the system lets the run read the free space through its own
    // file: zeros only over the blocks that are not zero already, so that a
    // thin virtual disk does not grow. Elsewhere, as FILL_WRITE_ALL.
    FILL_WHERE_DATA,
    // Reads the free space as FILL_WHERE_DATA does and writes nothing.
    FILL_CHECK_ONLY,
};

struct fill_options {
    int64_t reserve_bytes;  // what stays free; never less than RESERVE_BYTES
    fill_way way;
    // The blocks start at 64 KiB; one that took less than a quarter of a
    // second doubles the next, up to the usual 4 MiB, and one that took
    // more than a second halves it: on a slow volume a stop then waits for
    // a short block at most, where the system cannot cancel a write in
    // flight (Wine). voidfill.exe keeps its 4 MiB blocks.
    bool blocks_follow_pace;
};

// Runs on the worker thread and stops when g_running falls to 0. What the
// user must hear of goes to the front (run_front.h).
int zero_fill_drive(char letter);
// The same, as `options` say.
int zero_fill_drive_with(char letter, const fill_options &options);
