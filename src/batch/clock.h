// The clock's thread: the time limit, which stops the run as Ctrl+C
// would, and the progress lines that are due while a write hangs.
#pragma once

#include "platform/os.h"

// `time_limit_ms` 0: no limit. False when the thread could not be started.
bool start_clock(DWORD time_limit_ms);
// Ends the thread, and waits until it has.
void stop_clock();
// True from the moment the time is up until the clock starts again.
bool time_limit_reached();
