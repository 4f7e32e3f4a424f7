// The zero-fill run: temporary files of zeros on one drive until only the
// reserve is free, then removed again.
#pragma once

#include <stdint.h>

#include "zerofill/run_state.h"

// Free bytes that a run never writes.
enum { RESERVE_BYTES = 10485760 };

// Runs on the worker thread and stops when g_running falls to 0. What the
// user must hear of goes to the front (run_front.h).
int zero_fill_drive(char letter);
// The same, leaving `reserve_bytes` free (never less than RESERVE_BYTES).
int zero_fill_drive_leaving(char letter, int64_t reserve_bytes);
