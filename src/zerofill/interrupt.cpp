// Console interrupts during a run.
#include "zerofill/interrupt.h"

#include <atomic>

#include "zerofill/run_state.h"

static std::atomic<int32_t> s_stop_requested{0};
static std::atomic<int32_t> s_run_active{0};
static std::atomic<int32_t> s_waiting{0};
static std::atomic<uint32_t> s_forced_exit_status{0};
static std::atomic<int32_t> s_logoff{LOGOFF_STOPS};

static const DWORD WAIT_STEP_MS = 20;
// The system ends the process about 5 s after a close, logoff or shutdown
// event. A stopped run closes its file without a commit and deletes it in
// far less; a run hung in a write is not waited for beyond this.
static const DWORD CLOSE_WAIT_MS = 3000;

void install_interrupt_handler(UINT forced_exit_status, logoff_rule logoff)
{
    s_forced_exit_status = forced_exit_status;
    s_logoff = logoff;
    sys::SetConsoleCtrlHandler(interrupt_handler, TRUE);
}

bool stop_requested()
{
    return s_stop_requested != 0;
}

// The handler and this function each raise their own flag before they read
// the other's (both sequentially consistent), so either the handler sees the
// run and waits for it, or the run sees the stop and does not begin.
bool begin_run()
{
    s_run_active = 1;
    if (s_stop_requested) {
        s_run_active = 0;
        return false;
    }
    return true;
}

void end_run()
{
    s_run_active = 0;
}

BOOL WINAPI interrupt_handler(DWORD event)
{
    // Another user's logoff: the next handler decides, and for a service's
    // console program the system's own goes on running it.
    if (event == CTRL_LOGOFF_EVENT && s_logoff == LOGOFF_IGNORED)
        return FALSE;
    bool typed = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    // A second Ctrl+C while the first still waits, say for a hung write:
    // the user wants out now. TerminateProcess, not ExitProcess: the
    // libraries' detach code that ExitProcess runs may wait for a lock
    // that the hung write holds.
    if (typed && s_waiting) {
        sys::TerminateProcess(sys::GetCurrentProcess(), s_forced_exit_status);
        return TRUE;
    }
    s_stop_requested = 1;
    // Nothing is being written: let the system end the program as usual.
    if (!s_run_active)
        return FALSE;
    s_waiting++;
    // Stopped again at every step: a write that began just as the first
    // cancel came is cancelled by a later one.
    for (DWORD waited = 0; s_run_active && (typed || waited < CLOSE_WAIT_MS);
         waited += WAIT_STEP_MS) {
        stop_run();
        sys::Sleep(WAIT_STEP_MS);
    }
    s_waiting--;
    return TRUE;
}
