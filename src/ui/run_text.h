// The lines a run shows in the progress window, named by number so that the
// worker can hand one to the window's thread without waiting for it: the
// thread that serves the window also waits on the display, and a writer
// held there once per block runs far below the disk's speed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/os.h"

// The message that tells the window a line has a new text; the word
// parameter names the line for take_run_text.
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

// Hands the text to the progress window and returns at once: it becomes
// the line's latest, and the window is told unless a message for the line
// is still on its way. Texts of a line are shown in order; one that a newer
// overtakes before the window gets to it is skipped. The remaining
// megabytes are passed on at most every 100 ms.
void show_run_text(int text, int64_t number = 0);
// On the window's thread, for WM_RUN_TEXT: the line's latest text, and the
// control it belongs to (0 for no line).
int take_run_text(WPARAM line, char *buffer, size_t size);
// At the start of a run: messages of an earlier window are gone with it.
void reset_run_texts();
