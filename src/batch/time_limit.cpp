// The time limit's watchdog.
#include "batch/time_limit.h"

#include <atomic>

#include "zerofill/run_state.h"

static std::atomic<int32_t> s_reached{0};

// Raised before g_running is lowered: whoever raises g_running for the
// next drive and then reads this flag sees the limit (both sequentially
// consistent), so no drive starts once the time is up.
static void watchdog(void *milliseconds)
{
    sys::Sleep((DWORD)(uintptr_t)milliseconds);
    s_reached = 1;
    g_running = 0;
}

bool start_time_limit(DWORD milliseconds)
{
    return sys::_beginthread(watchdog, 0, (void *)(uintptr_t)milliseconds) != (uintptr_t)-1;
}

bool time_limit_reached()
{
    return s_reached != 0;
}
