// The lines a provisioner parses: one per drive and one for the run, each
// "voidfill-batch: " and then space-separated key=value pairs, values
// without spaces, a number or a word, "-" for what is not known. README
// gives the regular expression that reads them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "volume/volume.h"

struct drive_summary {
    char letter;
    int status;
    char fs[FS_NAME_SIZE];  // empty when no file system could be read
    int64_t size;           // -1: not known, as for every count below
    int64_t free_before;
    int64_t reserve;
    int64_t written;
    int64_t read;  // read back first; 0 when every block was written
    int64_t data;  // of those, the bytes that held data
    int64_t seconds;
};

struct run_summary {
    int status;
    int64_t drives;
    int64_t written;
    int64_t seconds;
};

// Nothing known yet of the drive.
drive_summary unknown_drive(char letter);

// "voidfill-batch: drive=X status=0 fs=NTFS size=... free_before=...
// reserve=... written=... read=... data=... seconds=..."
void format_drive_summary(char *line, size_t size, const drive_summary &drive);
// "voidfill-batch: run status=0 drives=2 written=... seconds=..."
void format_run_summary(char *line, size_t size, const run_summary &run);
