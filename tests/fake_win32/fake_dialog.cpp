// Dialogs, threads and volume devices of the test double.
#include "fake_win32/fake_dialog.h"
#include "fake_win32/fake_system.h"
#include "fake_win32/fake_volume.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace fake {
namespace {

enum request_kind { SET_ITEM_TEXT, SET_CAPTION, END_DIALOG, POSTED };

// A call handed from another thread to the loop; the caller waits for done,
// unless it posted the message to a busy loop, which then frees it.
struct request {
    request_kind kind;
    HWND window;
    int control;
    std::string text;
    INT_PTR value;
    caller from;
    bool done;
    INT_PTR result;
    UINT message = 0;  // POSTED only
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    bool freed_by_loop = false;
};

struct action {
    bool is_command;
    WPARAM command;
    std::function<void()> run;
    bool is_posted = false;  // a message the loop thread posted to itself
    UINT message = 0;
    LPARAM lparam = 0;
};

enum trigger_kind { AFTER_INIT, AFTER_UPDATE, ON_TEXT };

struct script {
    trigger_kind trigger;
    int control;
    int n;
    std::string text;
    int dialog;
    action what;
};

enum device_behaviour {
    DEVICE_MISSING,
    DEVICE_EXTENTS,
    DEVICE_QUERY_FAILS,
    DEVICE_OVERREPORTS,
    DEVICE_NO_MEDIUM,
    DEVICE_NEEDS_ADMIN,
};

struct device {
    device_behaviour behaviour;
    std::vector<extent> extents;
};

// Everything reset_dialog() forgets.
struct data {
    // The open dialog, if any.
    bool loop_active = false;
    std::thread::id loop_thread;
    HWND window = nullptr;
    bool ended = false;
    INT_PTR end_result = 0;
    bool gate_open = true;
    bool busy = false;  // the loop thread is in the procedure or an action
    int dialog_number = 0;
    std::map<int, int> updates;
    std::deque<request *> queue;
    std::deque<action> pending;
    std::function<bool()> hold_until;  // after the next posted message

    int dialog_failures = 0;
    int thread_failures = 0;
    std::vector<script> scripts;

    std::vector<dialog_record> dialogs;
    std::vector<text_record> texts;
    std::vector<command_record> commands;
    std::vector<end_record> ends;
    std::vector<post_record> posts;
    std::map<HWND, DLGPROC> procedures;  // of windows that are no open dialog
    std::vector<thread_record> thread_starts;
    int endthread_calls = 0;
    DWORD ticks = 0xFFFFF000u;  // near the wrap, which callers must survive
    DWORD tick_step = 1000;
    std::vector<UINT> exits;
    UINT error_mode = 0;
    std::vector<char> critical_error_boxes;  // the drives they asked for

    std::map<char, device> devices;
    std::map<HANDLE, char> open_devices;
    uintptr_t next_handle = 0x4000;
    std::vector<create_file_record> create_files;
    std::vector<device_io_record> device_ios;
    std::vector<HANDLE> opened;
    std::vector<HANDLE> closed;
};

struct started_thread {
    int dialog;  // joined when this dialog ends; 0: at the reset
    std::thread thread;
};

struct state {
    std::mutex mutex;
    std::condition_variable changed;
    data d;
    std::vector<started_thread> threads;

    ~state()
    {
        for (started_thread &t : threads)
            if (t.thread.joinable())
                t.thread.join();
    }
};

state &st()
{
    static state s;
    return s;
}

thread_local bool t_started_thread = false;

caller who_calls(const data &d)
{
    if (t_started_thread)
        return STARTED_THREAD;
    if (d.loop_active && std::this_thread::get_id() == d.loop_thread)
        return LOOP_THREAD;
    return OTHER_THREAD;
}

bool script_matches(const script &s, const data &d, int control, int count,
                    const std::string &text)
{
    if (s.dialog != 0 && s.dialog != d.dialog_number)
        return false;
    if (s.trigger == AFTER_UPDATE)
        return s.control == control && s.n == count;
    if (s.trigger == ON_TEXT)
        return s.control == control && s.text == text;
    return false;
}

// Scripts fire once: the matching ones leave the list.
void take_matching(data &d, int control, int count, const std::string &text,
                   std::vector<action> &fired)
{
    auto it = d.scripts.begin();
    while (it != d.scripts.end()) {
        if (script_matches(*it, d, control, count, text)) {
            fired.push_back(std::move(it->what));
            it = d.scripts.erase(it);
        } else {
            ++it;
        }
    }
}

void take_after_init(data &d)
{
    auto it = d.scripts.begin();
    while (it != d.scripts.end()) {
        if (it->trigger == AFTER_INIT && (it->dialog == 0 || it->dialog == d.dialog_number)) {
            d.pending.push_back(std::move(it->what));
            it = d.scripts.erase(it);
        } else {
            ++it;
        }
    }
}

// Carries out one call with the lock held. `in_dialog`: the call reaches the
// open dialog, so it counts for the scripts.
INT_PTR serve_locked(data &d, request_kind kind, HWND window, int control,
                     const std::string &text, INT_PTR value, caller from, bool in_dialog,
                     std::vector<action> &fired)
{
    if (kind == END_DIALOG) {
        d.ends.push_back({window, value, from, in_dialog});
        if (!in_dialog)
            return FALSE;
        d.ended = true;
        d.end_result = value;
        return TRUE;
    }
    d.texts.push_back({window, control, text, from});
    if (in_dialog) {
        int count = ++d.updates[control];
        take_matching(d, control, count, text, fired);
    }
    return TRUE;
}

INT_PTR deliver(request_kind kind, HWND window, int control, const char *text, INT_PTR value)
{
    state &s = st();
    std::unique_lock<std::mutex> lock(s.mutex);
    data &d = s.d;
    caller from = who_calls(d);
    bool in_dialog = d.loop_active && window != nullptr && window == d.window;
    if (in_dialog && from != LOOP_THREAD) {
        request r{kind, window, control, text != nullptr ? text : "", value, from, false, 0};
        d.queue.push_back(&r);
        s.changed.notify_all();
        s.changed.wait(lock, [&r] { return r.done; });
        return r.result;
    }
    // On the loop thread, or with no dialog to hand it to: served here. What
    // it sets off reaches the procedure once the loop has control again.
    std::vector<action> fired;
    INT_PTR result = serve_locked(d, kind, window, control, text != nullptr ? text : "", value,
                                  from, in_dialog, fired);
    for (action &a : fired)
        d.pending.push_back(std::move(a));
    if (kind == END_DIALOG)
        s.changed.notify_all();
    return result;
}

void run_action(action &a, DLGPROC procedure, HWND window)
{
    if (a.is_posted) {
        procedure(window, a.message, a.command, a.lparam);
        return;
    }
    if (!a.is_command) {
        a.run();
        return;
    }
    INT_PTR returned = procedure(window, WM_COMMAND, a.command, 0);
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.commands.push_back({s.d.dialog_number, a.command, returned});
}

// Runs the actions waiting for the loop thread, the lock released meanwhile.
void run_pending(std::unique_lock<std::mutex> &lock, data &d, DLGPROC procedure, HWND window)
{
    while (!d.ended && !d.pending.empty()) {
        action a = std::move(d.pending.front());
        d.pending.pop_front();
        d.busy = true;
        lock.unlock();
        run_action(a, procedure, window);
        lock.lock();
        d.busy = false;
    }
}

// The loop thread stuck outside the procedure, as when it waits on the
// display: until the condition holds, or ten seconds at the most.
void hold_loop(std::unique_lock<std::mutex> &lock, data &d)
{
    std::function<bool()> until = std::move(d.hold_until);
    d.hold_until = nullptr;
    d.busy = true;
    lock.unlock();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!until() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
    d.busy = false;
}

void finish_request(request *r)
{
    if (r->freed_by_loop)
        delete r;
    else
        r->done = true;
}

void add_script(script sc)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.scripts.push_back(std::move(sc));
}

action command_action(WPARAM command)
{
    return action{true, command, nullptr};
}

template <typename T> std::vector<T> copy_of(std::vector<T> data::*member)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.d.*member;
}

// "\\.\X:" names the device of drive X; the result is the upper-case letter,
// or 0 for any other path.
char device_letter(const char *path)
{
    if (path == nullptr || strlen(path) != 6 || strncmp(path, "\\\\.\\", 4) != 0 ||
        path[5] != ':')
        return 0;
    char c = path[4];
    if (c >= 'a' && c <= 'z')
        return (char)(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z')
        return c;
    return 0;
}

char upper(char letter)
{
    return (letter >= 'a' && letter <= 'z') ? (char)(letter - 'a' + 'A') : letter;
}

void set_device(char letter, device_behaviour behaviour, const std::vector<extent> &extents)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.devices[upper(letter)] = device{behaviour, extents};
}

void put_u32(std::vector<unsigned char> &bytes, size_t at, uint32_t value)
{
    memcpy(&bytes[at], &value, sizeof value);
}

void put_i64(std::vector<unsigned char> &bytes, size_t at, int64_t value)
{
    memcpy(&bytes[at], &value, sizeof value);
}

// VOLUME_DISK_EXTENTS: a 32-bit count, padding to 8, then 24-byte DISK_EXTENT
// records (32-bit disk number, padding, 64-bit offset, 64-bit length).
std::vector<unsigned char> disk_extents_record(const std::vector<extent> &extents)
{
    std::vector<unsigned char> bytes(8 + 24 * extents.size(), 0);
    put_u32(bytes, 0, (uint32_t)extents.size());
    for (size_t i = 0; i < extents.size(); i++) {
        size_t at = 8 + 24 * i;
        put_u32(bytes, at, extents[i].disk);
        put_i64(bytes, at + 8, extents[i].offset);
        put_i64(bytes, at + 16, extents[i].length);
    }
    return bytes;
}

}  // namespace

void reset_dialog()
{
    state &s = st();
    std::vector<started_thread> threads;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        threads.swap(s.threads);
    }
    for (started_thread &t : threads)
        if (t.thread.joinable())
            t.thread.join();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d = data{};
}

void fail_dialogs(int count)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.dialog_failures = count;
}

void command_after_init(WPARAM command, int dialog)
{
    add_script({AFTER_INIT, 0, 0, "", dialog, command_action(command)});
}

void command_after_update(int control, int n, WPARAM command, int dialog)
{
    add_script({AFTER_UPDATE, control, n, "", dialog, command_action(command)});
}

void command_on_text(int control, const std::string &text, WPARAM command, int dialog)
{
    add_script({ON_TEXT, control, 0, text, dialog, command_action(command)});
}

void action_after_update(int control, int n, std::function<void()> run, int dialog)
{
    add_script({AFTER_UPDATE, control, n, "", dialog, action{false, 0, std::move(run)}});
}

void tick_step(DWORD milliseconds)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.tick_step = milliseconds;
}

void window_procedure(HWND window, DLGPROC procedure)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.procedures[window] = procedure;
}

void hold_window_after_post(std::function<bool()> until)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.hold_until = std::move(until);
}

std::vector<dialog_record> dialogs()
{
    return copy_of(&data::dialogs);
}

std::vector<text_record> text_log()
{
    return copy_of(&data::texts);
}

std::vector<std::string> texts(int control)
{
    std::vector<std::string> found;
    for (const text_record &r : text_log())
        if (r.control == control)
            found.push_back(r.text);
    return found;
}

std::vector<command_record> commands()
{
    return copy_of(&data::commands);
}

std::vector<end_record> end_calls()
{
    return copy_of(&data::ends);
}

std::vector<post_record> posted_messages()
{
    return copy_of(&data::posts);
}

bool dialog_open()
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.d.loop_active;
}

void fail_thread_starts(int count)
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.thread_failures = count;
}

std::vector<thread_record> thread_starts()
{
    return copy_of(&data::thread_starts);
}

std::vector<UINT> exit_calls()
{
    return copy_of(&data::exits);
}

int endthread_calls()
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.d.endthread_calls;
}

void device_missing(char letter)
{
    set_device(letter, DEVICE_MISSING, {});
}

void device_without_medium(char letter)
{
    set_device(letter, DEVICE_NO_MEDIUM, {});
}

void device_needs_admin(char letter, DWORD disk)
{
    set_device(letter, DEVICE_NEEDS_ADMIN, {{disk, 0, 1048576}});
}

std::vector<char> critical_error_boxes()
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.d.critical_error_boxes;
}

UINT error_mode()
{
    state &s = st();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.d.error_mode;
}

void device_extents(char letter, const std::vector<extent> &extents)
{
    set_device(letter, DEVICE_EXTENTS, extents);
}

void device_query_fails(char letter)
{
    set_device(letter, DEVICE_QUERY_FAILS, {});
}

void device_overreports(char letter, DWORD disk)
{
    set_device(letter, DEVICE_OVERREPORTS, {{disk, 0, 1048576}});
}

std::vector<create_file_record> create_file_calls()
{
    return copy_of(&data::create_files);
}

std::vector<device_io_record> device_io_calls()
{
    return copy_of(&data::device_ios);
}

std::vector<HANDLE> opened_handles()
{
    return copy_of(&data::opened);
}

std::vector<HANDLE> closed_handles()
{
    return copy_of(&data::closed);
}

}  // namespace fake

namespace sys {

using fake::action;
using fake::data;
using fake::state;

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC proc,
                        LPARAM init)
{
    state &s = fake::st();
    std::unique_lock<std::mutex> lock(s.mutex);
    data &d = s.d;
    fake::dialog_record record{template_name != nullptr ? template_name : "",
                               instance, owner, init, nullptr, 0, -1};
    // A second modal loop on top of an open one is not modelled.
    if (d.dialog_failures > 0 || d.loop_active) {
        if (d.dialog_failures > 0)
            d.dialog_failures--;
        d.dialogs.push_back(record);
        return -1;
    }
    int number = ++d.dialog_number;
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10000 + 0x100 * number));
    record.window = window;
    size_t index = d.dialogs.size();
    d.dialogs.push_back(record);
    d.loop_active = true;
    d.loop_thread = std::this_thread::get_id();
    d.window = window;
    d.ended = false;
    d.end_result = 0;
    d.gate_open = false;
    d.updates.clear();
    d.pending.clear();
    lock.unlock();

    INT_PTR init_returned = proc(window, WM_INITDIALOG, 0, init);

    lock.lock();
    d.dialogs[index].init_returned = init_returned;
    fake::take_after_init(d);
    for (;;) {
        fake::run_pending(lock, d, proc, window);
        if (d.ended)
            break;
        if (!d.gate_open) {
            d.gate_open = true;
            s.changed.notify_all();
        }
        s.changed.wait(lock, [&d] { return d.ended || !d.queue.empty() || !d.pending.empty(); });
        if (d.ended || d.queue.empty())
            continue;
        fake::request *r = d.queue.front();
        d.queue.pop_front();
        if (r->kind == fake::POSTED) {
            d.busy = true;
            lock.unlock();
            r->result = proc(window, r->message, r->wparam, r->lparam);
            lock.lock();
            d.busy = false;
            // What the message sets off is handled before a waiting poster goes on.
            fake::run_pending(lock, d, proc, window);
            if (d.hold_until) {
                fake::finish_request(r);
                s.changed.notify_all();
                fake::hold_loop(lock, d);
                continue;
            }
        } else {
            std::vector<action> fired;
            r->result = fake::serve_locked(d, r->kind, r->window, r->control, r->text, r->value,
                                           r->from, true, fired);
            // What the update sets off is handled before the caller goes on.
            for (action &a : fired) {
                if (d.ended)
                    break;
                d.busy = true;
                lock.unlock();
                fake::run_action(a, proc, window);
                lock.lock();
                d.busy = false;
            }
        }
        fake::finish_request(r);
        s.changed.notify_all();
    }

    // The window is gone: calls that raced with its end fail.
    d.loop_active = false;
    d.gate_open = true;
    d.window = nullptr;
    d.pending.clear();
    while (!d.queue.empty()) {
        fake::request *r = d.queue.front();
        d.queue.pop_front();
        r->result = FALSE;
        fake::finish_request(r);
    }
    s.changed.notify_all();
    INT_PTR result = d.end_result;
    d.dialogs[index].result = result;

    std::vector<std::thread> finished;
    for (fake::started_thread &t : s.threads)
        if (t.dialog == number)
            finished.push_back(std::move(t.thread));
    s.threads.erase(std::remove_if(s.threads.begin(), s.threads.end(),
                                   [](const fake::started_thread &t) {
                                       return !t.thread.joinable();
                                   }),
                    s.threads.end());
    lock.unlock();
    for (std::thread &t : finished)
        t.join();
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    return (BOOL)fake::deliver(fake::END_DIALOG, dialog, 0, nullptr, result);
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    return (BOOL)fake::deliver(fake::SET_ITEM_TEXT, dialog, id, text, 0);
}

// An idle loop handles the message before PostMessageA returns, a busy one
// (the loop thread in an action or the procedure) once it is free again:
// either way every message is handled, in the order posted.
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    state &s = fake::st();
    std::unique_lock<std::mutex> lock(s.mutex);
    data &d = s.d;
    fake::caller from = fake::who_calls(d);
    d.posts.push_back({window, message, wparam, lparam, from});
    if (!d.loop_active || window == nullptr || window != d.window) {
        auto procedure = d.procedures.find(window);
        if (procedure != d.procedures.end()) {
            DLGPROC handler = procedure->second;
            lock.unlock();
            handler(window, message, wparam, lparam);
        }
        return TRUE;
    }
    if (from == fake::LOOP_THREAD) {
        action a{false, wparam, nullptr, true, message, lparam};
        d.pending.push_back(std::move(a));
        return TRUE;
    }
    fake::request *r = new fake::request{fake::POSTED, window, 0, "", 0, from, false, 0};
    r->message = message;
    r->wparam = wparam;
    r->lparam = lparam;
    r->freed_by_loop = d.busy;
    d.queue.push_back(r);
    s.changed.notify_all();
    if (r->freed_by_loop)
        return TRUE;
    s.changed.wait(lock, [r] { return r->done; });
    delete r;
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)wparam;
    if (message != WM_SETTEXT)
        return 0;
    return fake::deliver(fake::SET_CAPTION, window, fake::CAPTION,
                         reinterpret_cast<const char *>(lparam), 0);
}

uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *argument)
{
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    data &d = s.d;
    if (d.thread_failures > 0) {
        d.thread_failures--;
        d.thread_starts.push_back({stack_size, argument, false});
        return (uintptr_t)-1;
    }
    d.thread_starts.push_back({stack_size, argument, true});
    bool from_procedure = fake::who_calls(d) == fake::LOOP_THREAD;
    int dialog = from_procedure ? d.dialog_number : 0;
    bool gated = from_procedure && !d.gate_open;
    s.threads.push_back({dialog, std::thread([start, argument, gated, dialog] {
                             fake::t_started_thread = true;
                             if (gated) {
                                 state &s = fake::st();
                                 std::unique_lock<std::mutex> lock(s.mutex);
                                 s.changed.wait(lock, [&s, dialog] {
                                     return s.d.gate_open || !s.d.loop_active ||
                                            s.d.dialog_number != dialog;
                                 });
                             }
                             start(argument);
                         })});
    return 0x2000 + 4 * (uintptr_t)d.thread_starts.size();
}

void _endthread()
{
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.endthread_calls++;
}

// Recorded only: the test process goes on, as if the exit had not happened.
void ExitProcess(UINT exit_code)
{
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.exits.push_back(exit_code);
}

DWORD GetTickCount()
{
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.d.ticks += s.d.tick_step;
    return s.d.ticks;
}

UINT SetErrorMode(UINT mode)
{
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    UINT previous = s.d.error_mode;
    s.d.error_mode = mode;
    return previous;
}

void Sleep(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    if (name != nullptr && strncmp(name, "\\\\.\\", 4) != 0)
        return fake::create_volume_file(name, access, share, disposition, flags);
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    data &d = s.d;
    HANDLE result = INVALID_HANDLE_VALUE;
    char letter = fake::device_letter(name);
    auto found = d.devices.find(letter);
    bool no_medium = found != d.devices.end() && found->second.behaviour == fake::DEVICE_NO_MEDIUM;
    // The system asks the user to insert a disk unless the process said it
    // handles such errors itself.
    if (no_medium && !(d.error_mode & SEM_FAILCRITICALERRORS))
        d.critical_error_boxes.push_back(letter);
    // Reading a volume is for administrators; the program runs as a user.
    bool refused = found != d.devices.end() &&
                   found->second.behaviour == fake::DEVICE_NEEDS_ADMIN && access != 0;
    const DWORD not_ready = 21;
    fake::last_error = refused ? ERROR_ACCESS_DENIED : no_medium ? not_ready : ERROR_FILE_NOT_FOUND;
    if (letter != 0 && found != d.devices.end() && !no_medium && !refused &&
        found->second.behaviour != fake::DEVICE_MISSING) {
        result = reinterpret_cast<HANDLE>(d.next_handle);
        d.next_handle += 4;
        d.open_devices[result] = letter;
        d.opened.push_back(result);
    }
    d.create_files.push_back({name != nullptr ? name : "", access, share, security != nullptr,
                              disposition, flags, template_file != nullptr, result});
    return result;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (fake::is_file_handle(device))
        return fake::compression_control(device, code, in, in_size);
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    data &d = s.d;
    d.device_ios.push_back({device, code, in != nullptr, in_size, out_size, returned != nullptr,
                            overlapped != nullptr});
    auto open = d.open_devices.find(device);
    if (open == d.open_devices.end() || code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)
        return FALSE;
    const fake::device &dev = d.devices[open->second];
    if (dev.behaviour == fake::DEVICE_QUERY_FAILS) {
        if (returned != nullptr)
            *returned = 0;
        return FALSE;
    }
    std::vector<unsigned char> record = fake::disk_extents_record(dev.extents);
    size_t n = std::min(record.size(), (size_t)out_size);
    if (out != nullptr && n > 0)
        memcpy(out, record.data(), n);
    if (returned != nullptr)
        *returned = dev.behaviour == fake::DEVICE_OVERREPORTS ? out_size + 1 : (DWORD)n;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    if (fake::close_file_handle(handle) || fake::close_thread_handle(handle))
        return TRUE;
    state &s = fake::st();
    std::lock_guard<std::mutex> lock(s.mutex);
    data &d = s.d;
    d.closed.push_back(handle);
    return d.open_devices.erase(handle) > 0 ? TRUE : FALSE;
}

}  // namespace sys
