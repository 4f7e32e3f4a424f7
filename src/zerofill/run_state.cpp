// The words shared by the progress window, the worker and the interrupt
// handler.
#include "zerofill/run_state.h"

std::atomic<HWND> g_hDlg{NULL};
std::atomic<uint32_t> g_drive_letter{0};
std::atomic<int32_t> g_result{0};
std::atomic<int32_t> g_running{0};

enum { WRITE_IDLE, WRITE_IN_FLIGHT, WRITE_CANCELLING };

static std::atomic<HANDLE> s_fill_thread{NULL};
static std::atomic<int32_t> s_write{WRITE_IDLE};

void set_fill_thread(HANDLE thread)
{
    s_fill_thread = thread;
}

// The write's state is raised before g_running is read, and g_running
// lowered before the state is read (both sequentially consistent): either
// the fill sees the stop and does not write, or the stop sees the write.
bool begin_write()
{
    s_write = WRITE_IN_FLIGHT;
    if (g_running)
        return true;
    s_write = WRITE_IDLE;
    return false;
}

// A cancel under way finishes before the fill goes on, so that it can only
// meet the write it was meant for.
void end_write()
{
    int32_t in_flight = WRITE_IN_FLIGHT;
    while (!s_write.compare_exchange_weak(in_flight, WRITE_IDLE)) {
        in_flight = WRITE_IN_FLIGHT;
        sys::Sleep(0);
    }
}

void stop_run()
{
    g_running = 0;
    HANDLE thread = s_fill_thread;
    int32_t in_flight = WRITE_IN_FLIGHT;
    if (thread == NULL || !s_write.compare_exchange_strong(in_flight, WRITE_CANCELLING))
        return;
    sys::CancelSynchronousIo(thread);
    s_write = WRITE_IN_FLIGHT;
}
