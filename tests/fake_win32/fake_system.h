// Drive types, threads' handles, cancelled writes, locks, events and the
// process's end in the test double.
//
// GetDriveTypeA knows a drive wherever a volume is added, as a fixed one,
// unless a script says otherwise; elsewhere there is no drive. A thread's
// real handle comes from DuplicateHandle of GetCurrentThread(); with
// THREAD_TERMINATE, CancelSynchronousIo through it ends an fwrite of that
// thread that hangs (as on a stalled device), and fails with
// ERROR_NOT_FOUND while the thread is in no such write. Critical sections
// and events are real locks and condition variables, so that the program's
// threads meet as on Windows. TerminateProcess, like ExitProcess, is only
// recorded.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace fake {

// Forgets every script and record of this area.
void reset_system();

// The last error of the calling thread, as GetLastError reports it.
extern thread_local DWORD last_error;

// GetDriveTypeA of the letter from now on, whether or not it has a volume.
void set_drive_type(char letter, UINT type);

// From the n-th fwrite or ReadFile on (counted from 0 since the reset),
// each one hangs until CancelSynchronousIo names its thread, then moves
// nothing and fails with ERROR_OPERATION_ABORTED; after ten seconds it goes
// on as usual, so that a test fails instead of hanging.
void hang_writes_from(int n);
// Called by fwrite and ReadFile before they do anything: true when it was
// cancelled.
bool write_hangs();
// Successful CancelSynchronousIo calls since the reset.
int cancelled_writes();
// For the double's DuplicateHandle and CloseHandle.
bool close_thread_handle(HANDLE handle);
BOOL duplicate_thread_handle(HANDLE *target, DWORD access, DWORD options);

// Exit codes given to TerminateProcess, in order.
std::vector<UINT> terminate_calls();

}  // namespace fake
