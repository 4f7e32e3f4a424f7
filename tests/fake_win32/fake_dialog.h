// Dialogs, threads and volume devices of the test double.
//
// DialogBoxParamA runs a modal loop on the calling thread, as Windows does:
// it sends WM_INITDIALOG to the procedure, then serves requests until the
// dialog is ended. SetDlgItemTextA, SendMessageA and EndDialog called from
// another thread are handed to the loop and return only once it has served
// them, like a message sent across threads; on the loop thread they are
// served at once. Scripted commands (WM_COMMAND) reach the procedure at
// chosen moments; one scripted on a text update from another thread is
// handled before that update returns, so the order is always the same.
//
// PostMessageA to the open dialog from another thread is handled at once,
// before it returns, while the loop is idle; while the loop thread is busy
// in the procedure or in a scripted action it returns at once and the
// message is handled later, in order. Posted from the loop thread, it is
// handled once the loop has control again. Posts to other windows are
// recorded, and handed to a procedure registered for them.
//
// A thread started by the procedure while it initialises the dialog waits
// until WM_INITDIALOG has returned and the commands scripted for that moment
// have been handled, as a new thread on a busy machine may. Threads started
// during a dialog are joined before DialogBoxParamA returns, all others by
// reset_dialog().
//
// Volume devices: CreateFileA on "\\.\X:" opens the device of drive X when
// one is scripted, and DeviceIoControl answers the disk extents query.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"

namespace fake {

// Forgets every script and record; joins the threads still running.
// Must not be called while a dialog is open.
void reset_dialog();

// --- dialogs --------------------------------------------------------------

// Control number under which the texts of the window itself (WM_SETTEXT)
// are recorded.
enum { CAPTION = 0 };

// Which thread made a call.
enum caller { LOOP_THREAD, STARTED_THREAD, OTHER_THREAD };

struct dialog_record {
    std::string template_name;
    HINSTANCE instance;
    HWND owner;
    LPARAM init;
    HWND window;           // null when creation failed
    INT_PTR init_returned; // what the procedure returned for WM_INITDIALOG
    INT_PTR result;        // what DialogBoxParamA returned
};

struct text_record {
    HWND window;
    int control;  // CAPTION for the window's own text
    std::string text;
    caller from;
};

struct post_record {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    caller from;
};

struct command_record {
    int dialog;  // 1 for the first dialog since the reset
    WPARAM command;
    INT_PTR returned;  // what the procedure returned
};

struct end_record {
    HWND window;
    INT_PTR result;
    caller from;
    bool served;  // the window was an open dialog
};

// The next `count` DialogBoxParamA calls return -1 at once, without a window
// and without calling the procedure.
void fail_dialogs(int count = 1);

// Scripted commands: WM_COMMAND with `command` as the word parameter, sent
// once to the procedure of dialog number `dialog` (1 = the first since the
// reset; 0 = whichever dialog meets the condition first).
//  - right after the procedure has returned from WM_INITDIALOG;
void command_after_init(WPARAM command, int dialog = 0);
//  - after the n-th text update (1 = the first) of `control` in that dialog;
void command_after_update(int control, int n, WPARAM command, int dialog = 0);
//  - after `control` has been set to `text`.
void command_on_text(int control, const std::string &text, WPARAM command, int dialog = 0);
// Runs `action` on the loop thread, once, at the same moments. It must not
// wait for the dialog's worker.
void action_after_update(int control, int n, std::function<void()> action, int dialog = 0);

// Messages posted to `window`, which is no open dialog, are handed to
// `procedure` at once, on the posting thread.
void window_procedure(HWND window, DLGPROC procedure);

// After handling the next message posted from another thread, the loop
// thread lets the poster go on and is then held, as when it waits on the
// display, until `until` returns true (or ten seconds pass); messages
// posted meanwhile are handled afterwards, in order.
void hold_window_after_post(std::function<bool()> until);

// Records since the reset, in order.
std::vector<dialog_record> dialogs();
std::vector<text_record> text_log();
std::vector<std::string> texts(int control);  // every text set on `control`
std::vector<command_record> commands();
std::vector<end_record> end_calls();
std::vector<post_record> posted_messages();
// True while a modal loop is running.
bool dialog_open();

// --- threads --------------------------------------------------------------

struct thread_record {
    unsigned stack_size;
    void *argument;
    bool started;
};

// The next `count` _beginthread calls return (uintptr_t)-1 and start nothing.
void fail_thread_starts(int count = 1);

std::vector<thread_record> thread_starts();
int endthread_calls();
std::vector<UINT> exit_calls();  // ExitProcess, recorded only
// GetTickCount advances by this much at every call (default 1,000 ms),
// starting just before the count wraps.
void tick_step(DWORD milliseconds);

// --- volume devices -------------------------------------------------------

struct extent {
    DWORD disk;
    int64_t offset;
    int64_t length;
};

// What the device of a drive letter does (either case names the same drive).
// Without a script the device cannot be opened.
void device_missing(char letter);
// Opens; the extents query succeeds with these extents (none is allowed).
void device_extents(char letter, const std::vector<extent> &extents);
// A removable drive without its medium: opening fails, and unless the
// process has set SEM_FAILCRITICALERRORS the system first shows its own
// box asking for a disk (recorded, never shown).
void device_without_medium(char letter);
std::vector<char> critical_error_boxes();
// Opens only without access rights, as for a user who is not an
// administrator: asking to read fails with ERROR_ACCESS_DENIED. Opened so,
// the extents query answers `disk`.
void device_needs_admin(char letter, DWORD disk);
UINT error_mode();  // as SetErrorMode last set it
// Opens; the extents query fails.
void device_query_fails(char letter);
// Opens; the query writes one extent on `disk` and claims one byte more
// than the output buffer holds.
void device_overreports(char letter, DWORD disk);

struct create_file_record {
    std::string path;
    DWORD access;
    DWORD share;
    bool security;  // security attributes were given
    DWORD disposition;
    DWORD flags;
    bool template_file;  // a template handle was given
    HANDLE result;
};

struct device_io_record {
    HANDLE device;
    DWORD code;
    bool input;  // an input buffer was given
    DWORD input_size;
    DWORD output_size;
    bool returned;    // a count of bytes returned was asked for
    bool overlapped;  // an OVERLAPPED was given
};

std::vector<create_file_record> create_file_calls();
std::vector<device_io_record> device_io_calls();
std::vector<HANDLE> opened_handles();
std::vector<HANDLE> closed_handles();  // every CloseHandle, known handle or not

}  // namespace fake
