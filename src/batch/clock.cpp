// The clock's thread.
#include "batch/clock.h"

#include <atomic>

#include "batch/batch_front.h"
#include "zerofill/run_state.h"

// A stop by the time limit comes this late at most, and so does a
// progress line that is due.
static const DWORD TICK_MS = 250;

static std::atomic<DWORD> s_limit_ms{0};
static std::atomic<int32_t> s_reached{0};
static std::atomic<int32_t> s_stopping{0};
static std::atomic<int32_t> s_running{0};

// The flag is raised before g_running is lowered: whoever raises g_running
// for the next drive and then reads the flag sees the limit (both
// sequentially consistent), so no drive starts once the time is up. The
// stop is repeated at every tick, which cancels a write that had not yet
// reached the system the first time.
static void clock_thread(void *)
{
    DWORD started = sys::GetTickCount();
    while (!s_stopping) {
        sys::Sleep(TICK_MS);
        DWORD now = sys::GetTickCount();
        if (s_limit_ms != 0 && now - started >= s_limit_ms) {
            s_reached = 1;
            stop_run();
        }
        progress_tick(now);
    }
    s_running = 0;
}

bool start_clock(DWORD time_limit_ms)
{
    s_limit_ms = time_limit_ms;
    s_reached = 0;
    s_stopping = 0;
    s_running = 1;
    if (sys::_beginthread(clock_thread, 0, NULL) != (uintptr_t)-1)
        return true;
    s_running = 0;
    return false;
}

void stop_clock()
{
    s_stopping = 1;
    while (s_running)
        sys::Sleep(10);
}

bool time_limit_reached()
{
    return s_reached != 0;
}
