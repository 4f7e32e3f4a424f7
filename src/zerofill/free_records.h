// NTFS keeps a file of a few hundred bytes inside its record of the master
// file table, and a freed record is not free space: no fill of the free
// space reaches what a deleted small file or a deleted name left there.
// Small files of zeros take the free records over, and are removed again.
#pragma once

#include <stdint.h>

enum {
    // Zeros over the part of a record where a small file's data lay, yet
    // few enough to stay inside the record rather than take a cluster.
    RECORD_FILE_BYTES = 640,
    // Names per folder: so few that every folder's index stays inside its
    // own record and takes no cluster either (ntfs-3g moves it out at six).
    FOLDER_ENTRIES = 5,
    MOST_FOLDER_LEVELS = 12,
};

// The files of the step: a tree of folders below the temporary folder,
// FOLDER_ENTRIES wide and `levels` deep, whose last folders ("leaves") hold
// the files. File i lies in leaf i / FOLDER_ENTRIES.
struct record_tree {
    char letter;
    int levels;
    int64_t files;    // files made: 0 .. files - 1
    int64_t leaves;   // leaves begun
    int last_chain;   // folders made on the way to the last leaf begun
};

enum records_end { RECORDS_DONE, RECORDS_STOPPED };

// Makes files of zeros under the temporary folder of `tree->letter` (which
// must exist) until one cannot be made, the free space has dropped at all
// (the table grew: nothing else here takes a cluster), or the run is stopped.
// `zeros` holds at least RECORD_FILE_BYTES zero bytes.
// `start_free` is the free space before the temporary folder was made.
records_end fill_free_records(record_tree *tree, int64_t volume_bytes, int64_t start_free,
                              const char *zeros);

// Removes what the step made, the temporary folder itself left alone: the
// number of files and folders that could not be removed.
int64_t remove_record_tree(const record_tree &tree);
