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
