// Ctrl+C, Ctrl+Break and closing the console stop the current run like
// Cancel, wait for its clean-up, and keep further drives from starting, so
// that no temporary file is left to hold the volume full. A second Ctrl+C
// during the wait ends the program at once. Both programs install it; it
// opens no window.
#pragma once

#include "platform/os.h"

// What a logoff means to the program. Windows sends CTRL_LOGOFF_EVENT to
// console programs only when they run as a service, and then for the logoff
// of any user: the window's program stops as on a close, the unattended one
// goes on.
enum logoff_rule { LOGOFF_STOPS, LOGOFF_IGNORED };

// `forced_exit_status`: the process's status when a second Ctrl+C ends it
// at once.
void install_interrupt_handler(UINT forced_exit_status = 0, logoff_rule logoff = LOGOFF_STOPS);
BOOL WINAPI interrupt_handler(DWORD event);

bool stop_requested();

// Brackets one drive's run; begin_run is false once a stop was requested.
bool begin_run();
void end_run();
