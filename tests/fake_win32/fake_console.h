// The console and message-box area of the test double: an 80 x 25 screen
// with cursor and attribute, a log of every console call in order, a
// scriptable standard handle, the installed Ctrl handlers, and message boxes
// that record what they show and answer from a queue.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace fake {

enum { SCREEN_COLUMNS = 80, SCREEN_ROWS = 25 };

enum class ConsoleOp {
    get_std_handle,
    write,
    get_info,
    set_cursor,
    set_attribute,
    set_ctrl_handler,
    write_file,  // WriteFile on a standard handle
};

// One console call. Only the fields that belong to its kind are filled.
struct ConsoleCall {
    ConsoleOp op;
    HANDLE handle;            // the handle passed, or the one GetStdHandle returned
    DWORD which;              // get_std_handle: the argument
    std::string bytes;        // write: the exact bytes passed
    COORD cursor;             // write: the cursor before it; set_cursor: the position asked for
    WORD attribute;           // write: the attribute in force; set_attribute: the one passed
    PHANDLER_ROUTINE handler; // set_ctrl_handler
    BOOL add;                 // set_ctrl_handler
    BOOL result;              // what the call returned (for get_std_handle: non-null)
};

struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string title;
    UINT type;
};

// The handle of the fake console. Console calls on any other handle fail,
// as they do on a redirected standard error.
HANDLE console_handle();
// What GetStdHandle(STD_OUTPUT_HANDLE) answers: standard output redirected
// to a file or pipe, which WriteFile takes and console calls refuse.
HANDLE std_output_handle();

// Forgets every record and script: blank screen in attribute 0x07, cursor
// (0, 0), GetStdHandle answering console_handle(), no message-box answers.
void reset_console();

// Scripts.
void set_std_handle(HANDLE handle);
void set_screen_info_fails(bool fails);
void place_cursor(int x, int y);           // test setup; not logged
void push_message_box_answer(int answer);  // answers in order; IDOK once empty

// Records.
std::vector<ConsoleCall> console_calls();
std::vector<ConsoleCall> console_calls(ConsoleOp op);
std::vector<DWORD> std_handle_requests();
std::string console_text();  // the bytes of every write, concatenated
COORD console_cursor();
WORD console_attribute();
WORD cell_attribute(int x, int y);
std::string row_text(int y);  // the bytes of row y, trailing blanks dropped
std::vector<MessageBoxCall> message_boxes();
// The bytes of each WriteFile on the handle GetStdHandle gives for `which`
// (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE), in order.
std::vector<std::string> std_stream_writes(DWORD which);

// WriteFile on the console or the standard output handle, as the double's
// WriteFile hands it over; FALSE for any other handle.
bool is_std_stream(HANDLE handle);
BOOL write_std_stream(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written);

// Ctrl handlers installed and not removed, oldest first.
std::vector<PHANDLER_ROUTINE> ctrl_handlers();
// Delivers a console event as the system does: newest handler first, until
// one returns TRUE. FALSE when none handled it.
BOOL raise_ctrl_event(DWORD event);

}  // namespace fake
