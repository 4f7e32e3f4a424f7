// NTFS keeps a file of a few hundred bytes inside its record of the master
// file table, and a freed record is not free space: no fill of the free
// space reaches what a deleted small file or a deleted name left there.
// Small files of zeros take the free records over; the caller deletes them.
#pragma once

enum records_end { RECORDS_DONE, RECORDS_STOPPED };

// Makes files of zeros in the temporary folder of `letter` (which must
// exist) until one cannot be made, the table starts to grow, or the run is
// stopped. `*created` counts the files that exist, whatever the outcome.
// `zeros` holds at least RECORD_FILE_BYTES zero bytes.
records_end fill_free_records(char letter, const char *zeros, int *created);

enum {
    // Zeros over the part of a record where a small file's data lay, yet
    // few enough to stay inside the record rather than take a cluster.
    RECORD_FILE_BYTES = 640,
    INDEX_BLOCK_BYTES = 4096,
};
