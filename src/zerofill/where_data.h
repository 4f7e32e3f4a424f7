// Zeros only where the free space holds data. The run's file grows one
// stretch at a time without being written: the volume-maintenance right
// lets the system hand it the clusters as they are (SetFileValidData). The
// stretch is read back past the system's cache, and zeros go only over the
// blocks that are not zero already, so a thin virtual disk grows only where
// old data lay. What is read is never shown or kept beyond its block.
#pragma once

#include <stdint.h>

#include "platform/os.h"
#include "zerofill/block_pace.h"
#include "zerofill/run_front.h"

// The granule of every read and write past the cache: whole sectors, and
// never less than 4 KiB, the cluster of most volumes.
enum { MOST_IO_UNIT = 65536 };
// What one read takes in, and one write of zeros at most.
enum { READ_BLOCK_BYTES = 4194304 };

// Enables the volume-maintenance right in the process's token, which it
// must be before the file is opened. False when the account lacks it.
bool enable_volume_right();

// WAY_READ_FIRST when the drive's free space can be read through the run's
// file, else why not (file system, network drive, right).
run_way read_first_refusal(const char *root, int fs);
// The same for the file as it came out (compressed, sparse, encrypted).
run_way file_refusal(HANDLE file);
// Sectors of the volume, rounded up to 4 KiB.
int64_t io_unit(const char *root);

struct read_first_fill {
    HANDLE file;
    char letter;
    int64_t unit;
    bool check_only;  // read, never write
    bool reading;     // false once the system would not expose a stretch
    const char *zeros;  // READ_BLOCK_BYTES of zeros, aligned to the unit
    char *data;         // as large, aligned: one block read back
    block_pace pace;    // of the blocks read
    int64_t file_bytes;  // the file's length: the free space it took
    int64_t bytes_read;
    int64_t bytes_with_data;
    DWORD error;       // of the last failure
    bool read_failed;  // it was a read
};

enum stretch_end {
    STRETCH_DONE,
    STRETCH_STOPPED,       // g_running fell
    STRETCH_NOT_GROWN,     // no room for it after all
    STRETCH_FAILED,        // a read or a write failed
    STRETCH_NOT_EXPOSED,   // only looking, and the system would not expose it
};

// Grows the file by `bytes` (whole units) and fills that stretch: read and
// zeroed where data is, or, once the system refused to expose a stretch,
// written whole (the refusal is told as STAGE_WAY). `to_write` is the free
// space above the reserve when the stretch began, for the progress.
stretch_end fill_stretch(read_first_fill &fill, int64_t bytes, int64_t to_write);
