// --time-limit: a watchdog thread that stops the run, as Ctrl+C would,
// once the time is up.
#pragma once

#include "platform/os.h"

// False when the thread could not be started.
bool start_time_limit(DWORD milliseconds);
// True from the moment the time is up; stays true.
bool time_limit_reached();
