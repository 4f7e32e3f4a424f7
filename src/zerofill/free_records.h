// NTFS keeps a file of a few hundred bytes inside its record of the master
// file table, and a freed record is not free space: no fill of the free
// space reaches what a deleted small file or a deleted name left there.
// Small files of zeros take the free records over, and are removed again.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum records_end { RECORDS_DONE, RECORDS_STOPPED, RECORDS_LEFT_OUT };

// Makes the step's folder on drive `letter` (the run's drive, whose root
// is open), then files of zeros in a tree of folders below it (so that no
// folder's index leaves its record), each made in the folder before it
// through that folder's handle, until one cannot be made, the free space
// has dropped at all (the table grew: nothing else here takes a cluster),
// or the run is stopped. RECORDS_LEFT_OUT, with nothing made, when the
// folder's name is taken (by what is not the run's: said in a box) or the
// free space cannot be asked.
// `zeros` holds at least the 640 zero bytes that a record file gets.
records_end fill_free_records(char letter, int64_t volume_bytes, const char *zeros);

// Removes the step's folder and what the step can have made in it, reached
// from the root name by name (never following a link), as
// remove_temp_folder does: 0 when all is gone, each failure shown in a
// box. A folder of that name that is not a plain folder is not the step's:
// it is left alone, 0.
int remove_record_folder(char letter);
// The same for a tree that a killed run left, at the start of a run, shown
// as a deletion; false when the run was stopped meanwhile, which is said
// (the rest stays for the next run).
bool sweep_record_folder(char letter);
