// The modal progress window of one drive's zero-fill, and the worker thread
// that runs the fill while the main thread serves the window.
#pragma once

#include <stdint.h>

#include "platform/os.h"
#include "ui/dialog_ids.h"
#include "zerofill/run_state.h"

enum { WORKER_STACK_SIZE = 6194304 };

// Fills the drive under the window, taken from the program's own exe as a
// top-level window; returns the run's result once the window has closed.
int32_t run_progress_dialog(char letter);
INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
void worker_thread(void *argument);
