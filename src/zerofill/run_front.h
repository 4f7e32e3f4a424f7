// What a run tells whoever started it. The engine calls these two; each
// front (the progress window, the unattended console) defines them once,
// in a file of its own that only its program links.
#pragma once

#include <stdint.h>

#include "platform/os.h"

// Situations the user must hear of, and what each one names.
enum run_notice_kind {
    NOTICE_FS_UNSUPPORTED,   // path: the root; name: the file system's name
    NOTICE_NO_MEMORY,
    NOTICE_FOLDER_IS_LINK,   // path: the temporary folder
    NOTICE_FOLDER_NOT_MADE,  // path: the temporary folder
    NOTICE_FILE_NOT_MADE,    // path: the temporary file, as for the rest
    NOTICE_FILE_IN_USE,
    NOTICE_FILE_IS_FOLDER,
    NOTICE_FILE_IS_LINK,
    NOTICE_FILE_HAS_LINKS,
    NOTICE_FILE_READ_ONLY,
    NOTICE_NOT_SHRINKING,  // letter
    NOTICE_WRITE_FAILED,   // path, error: the fill is not complete
    NOTICE_READ_FAILED,    // path, error: reading first, the same
    NOTICE_QUERY_FAILED,   // letter, error: the fill is not complete
    NOTICE_FILES_LEFT,     // path: the folder they are in; count: files; folders
    NOTICE_FOLDER_LEFT,    // path: the folder
    NOTICE_FILE_LEFT,      // path
    // Asked only to look, the run could not read the free space through its
    // file (the progress's way says why): nothing was written.
    NOTICE_CANNOT_LOOK,    // letter
    NOTICE_STEP_SKIPPED,   // path: the file table step's folder, taken by what is not ours
    NOTICE_SWEEP_STOPPED,  // path: the folder an earlier run left, stopped while removed
};

struct run_notice {
    run_notice_kind kind;
    char letter;
    const char *path;
    const char *name;
    int count;
    DWORD error;
    int folders = 0;  // NOTICE_FILES_LEFT: the folders left beside the files
};

// Shown to the user; the run goes on once it returns.
void front_notice(const run_notice &notice);

// How the run fills, or why it cannot read the free space first and
// writes every block instead.
enum run_way {
    WAY_READ_FIRST,          // reads the free space, zeros only where data is
    WAY_WRITE_ALL_ASKED,     // every block, as asked
    WAY_NO_RIGHT,            // the volume-maintenance right is not held
    WAY_FAT,                 // FAT and FAT32 keep no valid data length
    WAY_NETWORK,             // a network drive
    WAY_UNBUFFERED_REFUSED,  // the file could not be opened past the cache
    WAY_COMPRESSED,          // the file came out compressed,
    WAY_SPARSE,              // sparse
    WAY_ENCRYPTED,           // or encrypted
    WAY_VALID_DATA_REFUSED,  // the system refused to expose the space (error)
};

// What the run is doing now.
enum run_stage {
    STAGE_STARTING,
    STAGE_WRITING,         // before each block
    STAGE_SWITCHING_FILE,  // FAT family: the next file is begun
    STAGE_FLUSHING,
    STAGE_WRITE_FALSE,
    STAGE_DELETING,
    STAGE_RECORDS,       // NTFS: files made in the free records so far
    STAGE_RECORDS_DONE,  // the same, once the step has ended
    STAGE_WAY,           // how it fills (way, error), before the first block
};

struct run_progress {
    run_stage stage;
    char letter;
    int64_t to_write;       // bytes still to write before the reserve
    int64_t bytes_written;  // by the run so far; read or written, reading first
    int64_t records;        // record files made
    run_way way = WAY_WRITE_ALL_ASKED;
    DWORD error = 0;              // STAGE_WAY: of the refusal
    int64_t bytes_read = 0;       // of the free space, read back through the file
    int64_t bytes_with_data = 0;  // of those, in blocks that were not zero
};

// Called for every block: a front that shows it keeps its own pace.
void front_progress(const run_progress &progress);
