// The modal progress window of one drive's zero-fill, and the worker thread
// that runs the fill while the main thread serves the window.
#pragma once

#include <atomic>
#include <stdint.h>

#include "platform/os.h"
#include "ui/dialog_ids.h"

enum { WORKER_STACK_SIZE = 6194304 };

// Shared by the main thread and the worker; the order of the steps carries
// the rest.
extern std::atomic<HWND> g_hDlg;
extern std::atomic<uint32_t> g_drive_letter;
extern std::atomic<int32_t> g_result;
extern std::atomic<int32_t> g_running;

int32_t run_progress_dialog(char letter, HINSTANCE instance, HWND owner);
INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
void worker_thread(void *argument);
