// The zero-fill run: temporary files of zeros on one drive until only the
// reserve is free, then removed again.
#pragma once

#include <stdint.h>

#include "zerofill/run_state.h"

enum {
    ZERO_BUFFER_SIZE = 4194304,
    RESERVE_BYTES = 10485760,
    // Above this a whole block still leaves the reserve free.
    FULL_CHUNK_THRESHOLD = RESERVE_BYTES + ZERO_BUFFER_SIZE,
    MEGABYTE_DIVISOR = 1000000,
};

static const int64_t FILE_ROLLOVER_BYTES = 2000000000;

// Runs on the worker thread: writes the lines of g_hDlg, shows its errors
// in boxes owned by it and stops when g_running falls to 0.
int zero_fill_drive(char letter);

// 1 for a bare root or an existing folder, else 0.
int is_directory(const char *path);
