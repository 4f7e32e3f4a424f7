// Drive types, threads' handles, cancelled writes, locks, events and the
// process's end in the test double.
#include "fake_win32/fake_system.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "fake_win32/fake_volume.h"

namespace fake {

namespace {

const DWORD ERROR_OPERATION_ABORTED_CODE = 995;
const DWORD ERROR_NOT_FOUND_CODE = 1168;
const DWORD ERROR_ACCESS_DENIED_CODE = 5;
// Stands for GetCurrentThread()'s pseudo-handle, as on Windows.
HANDLE const CURRENT_THREAD = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct thread_handle {
    std::thread::id thread;
    DWORD access;
};

struct event_object {
    bool manual_reset;
    bool signalled;
};

struct state {
    std::map<char, UINT> drive_types;
    int hang_from = -1;
    int fwrites = 0;
    std::map<std::thread::id, bool> hanging;  // a hanging write's thread: cancelled?
    int cancelled = 0;
    std::map<uintptr_t, thread_handle> threads;
    uintptr_t next_handle = 0x90000;
    std::vector<UINT> terminations;
};

std::mutex m;
std::condition_variable changed;
state s;

// Events live as long as the process, as the program's do.
std::mutex events_mutex;
std::condition_variable events_changed;
std::map<HANDLE, event_object> events;

}  // namespace

void reset_system()
{
    std::lock_guard<std::mutex> lock(m);
    s = state();
}

void set_drive_type(char letter, UINT type)
{
    std::lock_guard<std::mutex> lock(m);
    s.drive_types[(char)(letter & ~0x20)] = type;
}

void hang_writes_from(int n)
{
    std::lock_guard<std::mutex> lock(m);
    s.hang_from = n;
}

bool write_hangs()
{
    std::unique_lock<std::mutex> lock(m);
    if (s.hang_from < 0 || s.fwrites++ < s.hang_from)
        return false;
    std::thread::id me = std::this_thread::get_id();
    s.hanging[me] = false;
    changed.wait_for(lock, std::chrono::seconds(10), [me] { return s.hanging[me]; });
    bool cancelled = s.hanging[me];
    s.hanging.erase(me);
    if (cancelled)
        last_error = ERROR_OPERATION_ABORTED_CODE;
    return cancelled;
}

int cancelled_writes()
{
    std::lock_guard<std::mutex> lock(m);
    return s.cancelled;
}

bool close_thread_handle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m);
    return s.threads.erase((uintptr_t)handle) != 0;
}

BOOL duplicate_thread_handle(HANDLE *target, DWORD access, DWORD options)
{
    if (target == nullptr)
        return FALSE;
    std::lock_guard<std::mutex> lock(m);
    const DWORD all_access = 0x1FFFFF;
    uintptr_t handle = s.next_handle;
    s.next_handle += 4;
    s.threads[handle] = thread_handle{std::this_thread::get_id(),
                                      (options & DUPLICATE_SAME_ACCESS) ? all_access : access};
    *target = reinterpret_cast<HANDLE>(handle);
    return TRUE;
}

std::vector<UINT> terminate_calls()
{
    std::lock_guard<std::mutex> lock(m);
    return s.terminations;
}

}  // namespace fake

namespace sys {

UINT GetDriveTypeA(LPCSTR root)
{
    if (root == nullptr || root[0] == '\0' || root[1] != ':')
        return DRIVE_NO_ROOT_DIR;
    char letter = (char)(root[0] & ~0x20);
    {
        std::lock_guard<std::mutex> lock(fake::m);
        auto scripted = fake::s.drive_types.find(letter);
        if (scripted != fake::s.drive_types.end())
            return scripted->second;
    }
    return fake::has_volume(letter) ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

HANDLE GetCurrentThread()
{
    return fake::CURRENT_THREAD;
}

BOOL CancelSynchronousIo(HANDLE thread)
{
    std::lock_guard<std::mutex> lock(fake::m);
    auto found = fake::s.threads.find((uintptr_t)thread);
    if (found == fake::s.threads.end() || !(found->second.access & THREAD_TERMINATE)) {
        fake::last_error = fake::ERROR_ACCESS_DENIED_CODE;
        return FALSE;
    }
    auto write = fake::s.hanging.find(found->second.thread);
    if (write == fake::s.hanging.end() || write->second) {
        fake::last_error = fake::ERROR_NOT_FOUND_CODE;
        return FALSE;
    }
    write->second = true;
    fake::s.cancelled++;
    fake::changed.notify_all();
    return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exit_code)
{
    (void)process;
    std::lock_guard<std::mutex> lock(fake::m);
    fake::s.terminations.push_back(exit_code);
    return TRUE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    section->lock = new std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION section)
{
    static_cast<std::recursive_mutex *>(section->lock)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    static_cast<std::recursive_mutex *>(section->lock)->unlock();
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name)
{
    (void)security;
    (void)name;
    std::lock_guard<std::mutex> lock(fake::events_mutex);
    static uintptr_t next = 0xA0000;
    HANDLE event = reinterpret_cast<HANDLE>(next += 4);
    fake::events[event] = fake::event_object{manual_reset != FALSE, initial_state != FALSE};
    return event;
}

BOOL SetEvent(HANDLE event)
{
    std::lock_guard<std::mutex> lock(fake::events_mutex);
    auto found = fake::events.find(event);
    if (found == fake::events.end())
        return FALSE;
    found->second.signalled = true;
    fake::events_changed.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(fake::events_mutex);
    auto found = fake::events.find(object);
    if (found == fake::events.end())
        return WAIT_TIMEOUT;
    fake::event_object &event = found->second;
    auto signalled = [&event] { return event.signalled; };
    if (milliseconds == INFINITE)
        fake::events_changed.wait(lock, signalled);
    else if (!fake::events_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                            signalled))
        return WAIT_TIMEOUT;
    if (!event.manual_reset)
        event.signalled = false;
    return WAIT_OBJECT_0;
}

}  // namespace sys
