// The command line of the unattended program, parsed into one struct
// before any drive is touched.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/os.h"

enum { MOST_TARGETS = 32, USAGE_TEXT_SIZE = 256 };

// A drive letter as given ("d:"), or a physical disk (--disk 1).
struct batch_target {
    bool is_disk;
    char letter;  // upper case
    int disk;
};

struct batch_options {
    batch_target targets[MOST_TARGETS];
    int target_count;
    bool all;               // every fixed drive instead of targets
    int64_t reserve_bytes;  // what stays free; 0 when given as a percentage
    int reserve_percent;    // of the volume's size; 0 when given in bytes
    DWORD time_limit_ms;    // 0: none
    bool write_all;         // zeros over every block, not only where data is
    bool check_only;        // read the free space, write nothing
    bool quiet;
    bool help;
};

// False on a usage error, with its one-line reason in `error`.
bool parse_batch_options(int argc, char **argv, batch_options &options, char *error,
                         size_t error_size);

// "1048576", "512KiB", "20MiB", "1GiB" (suffixes in any case) into bytes,
// or "5%" into a percentage; false for anything else, and for a size past
// what 64 bits hold.
bool parse_reserve(const char *text, int64_t &bytes, int &percent);
// "90", "90s", "30m", "2h" into milliseconds, more than 0 and less than
// 2^31; false for anything else.
bool parse_duration(const char *text, DWORD &milliseconds);
