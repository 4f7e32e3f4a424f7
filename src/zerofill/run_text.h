// The lines a run shows in the progress window, named by number so that the
// worker can hand one to the window's thread without waiting for it: the
// thread that serves the window also waits on the display, and a writer
// held there once per block runs far below the disk's speed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/os.h"

// The message that carries a run text: the word parameter is the text, the
// long parameter its number.
#define WM_RUN_TEXT (WM_APP + 1)

enum run_text {
    TEXT_WRITING_DRIVE,        // number: the drive letter
    TEXT_REMAINING,            // number: megabytes still to write
    TEXT_REMAINING_SWITCHING,  // the same, while the next file is begun
    TEXT_FLUSHING,
    TEXT_WRITE_FALSE,
    TEXT_DELETING,
    TEXT_RECORDS,  // number: record files made so far
    RUN_TEXT_COUNT
};

// IDC_STATUS or IDC_PROGRESS; 0 for a number that names no text.
int run_text_line(int text);
void format_run_text(char *buffer, size_t size, int text, int64_t number);

// Posts the text to the progress window and returns at once. The window
// shows the texts in the order they were posted.
void show_run_text(int text, int64_t number = 0);
