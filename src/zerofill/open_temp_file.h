// Opening a temporary file so that it is only ever the run's own file.
#pragma once

#include "platform/os.h"

enum temp_open_result {
    TEMP_OPENED,
    TEMP_CREATE_FAILED,  // the system refused the file
    TEMP_IN_USE,         // another program, say a second run, writes it
    TEMP_IS_FOLDER,
    TEMP_IS_LINK,        // a symbolic link, junction or other reparse point
    TEMP_HAS_LINKS,      // a hard link: its data belongs to another name too
};

// Opens `path` for writing, creating it when absent; a plain file left by
// an interrupted run is emptied and reused. Whatever else is found there is
// left untouched. No other program can write the file while it is open,
// and it is never compressed, so that every zero written takes space.
temp_open_result open_temp_file(const char *path, sys::FILE **file);

// The message box for a file that could not be opened.
void show_open_failure(const char *path, temp_open_result why);
