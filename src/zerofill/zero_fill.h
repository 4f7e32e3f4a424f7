// The zero-fill run: temporary files of zeros on one drive until only the
// reserve is free, then removed again.
#pragma once

#include <stdint.h>

enum {
    ZERO_BUFFER_SIZE = 4194304,
    RESERVE_BYTES = 10485760,
    FULL_CHUNK_THRESHOLD = 14680064,
    MEGABYTE_DIVISOR = 1000000,
};

static const int64_t FILE_ROLLOVER_BYTES = 2000000000;

enum { RUN_DONE = 1, RUN_CANCELLED = 0, RUN_FAILED = -1 };

int zero_fill_drive(char letter);

// 1 for a bare root or an existing folder, else 0.
int is_directory(const char *path);
