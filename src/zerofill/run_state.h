// The words that the main thread (the progress window, the interrupt
// handler) and the worker running the fill share. The order of the steps
// carries the rest: no locks.
#pragma once

#include <atomic>
#include <stdint.h>

#include "platform/os.h"

enum { RUN_DONE = 1, RUN_CANCELLED = 0, RUN_FAILED = -1 };

// The open progress window: target of the run's text lines, owner of its
// message boxes.
extern std::atomic<HWND> g_hDlg;
// The letter of the drive being filled.
extern std::atomic<uint32_t> g_drive_letter;
// The result of the last run.
extern std::atomic<int32_t> g_result;
// 1 while the run may go on; lowered by Cancel and by the interrupt handler.
extern std::atomic<int32_t> g_running;

// A stop that does not wait for the write in flight. The program that
// wants it names the thread that runs the fill (a real handle with
// THREAD_TERMINATE, which CancelSynchronousIo needs); the fill brackets
// each write with begin_write and end_write, and stop_run cancels only
// what lies between them, never the clean-up's own calls that follow.
void set_fill_thread(HANDLE thread);
// Lowers g_running and cancels the write in flight, if any. Called again
// while the run lasts, it catches a write that had not yet reached the
// system the first time.
void stop_run();
// False, and no write, once the run is stopped.
bool begin_write();
void end_write();
