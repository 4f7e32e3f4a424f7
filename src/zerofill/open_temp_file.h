// Opening a temporary file so that it is only ever the run's own file, and
// so that the system deletes it whatever ends the process.
#pragma once

#include "platform/os.h"

enum temp_open_result {
    TEMP_OPENED,
    TEMP_CREATE_FAILED,  // the system refused the file
    TEMP_IN_USE,         // another program, say a second run, writes it
    TEMP_IS_FOLDER,
    TEMP_IS_LINK,        // a symbolic link, junction or other reparse point
    TEMP_HAS_LINKS,      // a hard link: its data belongs to another name too
    TEMP_READ_ONLY,      // someone marked it so: it is not ours to write
};

// Creates `path` for writing, delete-on-close: the system removes the file
// once the last handle to it is closed, also when the process is killed.
// A plain file left by an interrupted run is deleted first and the file
// made anew; whatever else is found there is left untouched. No other
// program can write the file while it is open, and it is never compressed,
// so that every zero written takes space.
// `stream` is what the run writes through; `hold` is a second handle on the
// same open file, which keeps it (and its space) after the stream is
// closed, until the run closes `hold` too.
temp_open_result open_temp_file(const char *path, sys::FILE **stream, HANDLE *hold);
// The same, for reading and writing past the system's cache through `file`
// alone: aligned reads and writes only, and no other program may even read
// it, since it may show the volume's old data.
temp_open_result open_unbuffered_temp_file(const char *path, HANDLE *file);

// Tells the user why the file on drive `letter` could not be opened.
void show_open_failure(char letter, const char *path, temp_open_result why);

// Gives the file's space back while `hold` still keeps its name, so that
// no second run takes the drive meanwhile. False where the system cannot.
bool empty_temp_file(HANDLE hold);
