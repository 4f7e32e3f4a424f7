// The drives that a command line names, found before any drive is touched.
#pragma once

#include "batch/options.h"

struct drive_list {
    char letters[26];
    int count;
};

// The drives in the order given, each once: a disk's, and those of --all,
// in letter order. EXIT_COMPLETE, or the status that ends the program at
// once, with its reasons printed: EXIT_USAGE for a target that does not
// exist (a letter without a drive, a disk without a drive letter), so that
// a typo fails a build; EXIT_FAILED when the disks of the drives cannot be
// read without an administrator; EXIT_NOT_POSSIBLE when --all finds no
// drive to fill. --all names each drive it leaves out, and why.
int collect_drives(const batch_options &options, drive_list &drives);
