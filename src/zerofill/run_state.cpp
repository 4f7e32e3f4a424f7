// The words shared by the progress window, the worker and the interrupt
// handler.
#include "zerofill/run_state.h"

std::atomic<HWND> g_hDlg{NULL};
std::atomic<uint32_t> g_drive_letter{0};
std::atomic<int32_t> g_result{0};
std::atomic<int32_t> g_running{0};
