// Console and message boxes of the test double.
#include "fake_win32/fake_console.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <mutex>

namespace fake {
namespace {

const WORD START_ATTRIBUTE = 0x07;

struct Cell {
    char byte;
    WORD attribute;
};

struct ConsoleState {
    Cell screen[SCREEN_ROWS][SCREEN_COLUMNS];
    int x;
    int y;
    WORD attribute;
    HANDLE std_handle;
    bool info_fails;
    std::vector<ConsoleCall> calls;
    std::vector<PHANDLER_ROUTINE> handlers;
    std::deque<int> answers;
    std::vector<MessageBoxCall> boxes;
};

// The worker thread of the program shows message boxes too, so every access
// goes through this lock.
std::mutex g_lock;
ConsoleState g_state;
char g_console_object;
char g_output_object;

void blank_screen(ConsoleState &s)
{
    for (auto &row : s.screen)
        for (auto &cell : row)
            cell = Cell{' ', START_ATTRIBUTE};
}

ConsoleCall make_call(ConsoleOp op, HANDLE handle)
{
    ConsoleCall call{};
    call.op = op;
    call.handle = handle;
    return call;
}

bool is_console(HANDLE handle)
{
    return handle == console_handle();
}

// Past the last row the screen scrolls up one row, as a console buffer
// that is full does.
void next_row(ConsoleState &s)
{
    s.x = 0;
    if (s.y + 1 < SCREEN_ROWS) {
        s.y++;
        return;
    }
    for (int row = 1; row < SCREEN_ROWS; row++)
        std::copy(std::begin(s.screen[row]), std::end(s.screen[row]), s.screen[row - 1]);
    for (auto &cell : s.screen[SCREEN_ROWS - 1])
        cell = Cell{' ', s.attribute};
}

void put_byte(ConsoleState &s, char byte)
{
    if (byte == '\n') {
        next_row(s);
        return;
    }
    if (byte == '\r') {
        s.x = 0;
        return;
    }
    s.screen[s.y][s.x] = Cell{byte, s.attribute};
    if (++s.x == SCREEN_COLUMNS)
        next_row(s);
}

bool on_screen(int x, int y)
{
    return x >= 0 && x < SCREEN_COLUMNS && y >= 0 && y < SCREEN_ROWS;
}

}  // namespace

HANDLE console_handle()
{
    return &g_console_object;
}

HANDLE std_output_handle()
{
    return &g_output_object;
}

bool is_std_stream(HANDLE handle)
{
    return handle == console_handle() || handle == std_output_handle();
}

BOOL write_std_stream(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written)
{
    std::lock_guard<std::mutex> guard(g_lock);
    ConsoleCall call = make_call(ConsoleOp::write_file, handle);
    if (data != NULL)
        call.bytes.assign((const char *)data, size);
    call.result = is_std_stream(handle) && data != NULL;
    if (call.result && is_console(handle))
        for (char byte : call.bytes)
            put_byte(g_state, byte);
    if (written != NULL)
        *written = call.result ? size : 0;
    g_state.calls.push_back(call);
    return call.result;
}

std::vector<std::string> std_stream_writes(DWORD which)
{
    HANDLE handle = which == STD_OUTPUT_HANDLE ? std_output_handle() : console_handle();
    std::vector<std::string> writes;
    for (const ConsoleCall &call : console_calls(ConsoleOp::write_file))
        if (call.handle == handle)
            writes.push_back(call.bytes);
    return writes;
}

void reset_console()
{
    std::lock_guard<std::mutex> guard(g_lock);
    ConsoleState &s = g_state;
    blank_screen(s);
    s.x = 0;
    s.y = 0;
    s.attribute = START_ATTRIBUTE;
    s.std_handle = console_handle();
    s.info_fails = false;
    s.calls.clear();
    s.handlers.clear();
    s.answers.clear();
    s.boxes.clear();
}

void set_std_handle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.std_handle = handle;
}

void set_screen_info_fails(bool fails)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.info_fails = fails;
}

void place_cursor(int x, int y)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (on_screen(x, y)) {
        g_state.x = x;
        g_state.y = y;
    }
}

void push_message_box_answer(int answer)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_state.answers.push_back(answer);
}

std::vector<ConsoleCall> console_calls()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.calls;
}

std::vector<ConsoleCall> console_calls(ConsoleOp op)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<ConsoleCall> found;
    for (const ConsoleCall &call : g_state.calls)
        if (call.op == op)
            found.push_back(call);
    return found;
}

std::vector<DWORD> std_handle_requests()
{
    std::vector<DWORD> which;
    for (const ConsoleCall &call : console_calls(ConsoleOp::get_std_handle))
        which.push_back(call.which);
    return which;
}

std::string console_text()
{
    std::string text;
    for (const ConsoleCall &call : console_calls(ConsoleOp::write))
        text += call.bytes;
    return text;
}

COORD console_cursor()
{
    std::lock_guard<std::mutex> guard(g_lock);
    COORD position;
    position.X = (SHORT)g_state.x;
    position.Y = (SHORT)g_state.y;
    return position;
}

WORD console_attribute()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.attribute;
}

WORD cell_attribute(int x, int y)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return on_screen(x, y) ? g_state.screen[y][x].attribute : 0xFFFF;
}

std::string row_text(int y)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::string text;
    if (y < 0 || y >= SCREEN_ROWS)
        return text;
    for (const Cell &cell : g_state.screen[y])
        text += cell.byte;
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<MessageBoxCall> message_boxes()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.boxes;
}

std::vector<PHANDLER_ROUTINE> ctrl_handlers()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state.handlers;
}

BOOL raise_ctrl_event(DWORD event)
{
    // Handlers may block or call back into the double: run them unlocked.
    std::vector<PHANDLER_ROUTINE> handlers = ctrl_handlers();
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if (*it != NULL && (*it)(event))
            return TRUE;
    return FALSE;
}

}  // namespace fake

using fake::ConsoleCall;
using fake::ConsoleOp;

namespace sys {

HANDLE GetStdHandle(DWORD which)
{
    std::lock_guard<std::mutex> guard(fake::g_lock);
    // Only standard error is a console here; standard output is redirected.
    HANDLE handle = which == STD_OUTPUT_HANDLE ? fake::std_output_handle() : fake::g_state.std_handle;
    ConsoleCall call = fake::make_call(ConsoleOp::get_std_handle, handle);
    call.which = which;
    call.result = call.handle != NULL;
    fake::g_state.calls.push_back(call);
    return call.handle;
}

BOOL WriteConsoleA(HANDLE console, const void *buffer, DWORD length, LPDWORD written,
                   LPVOID reserved)
{
    (void)reserved;
    std::lock_guard<std::mutex> guard(fake::g_lock);
    fake::ConsoleState &s = fake::g_state;
    ConsoleCall call = fake::make_call(ConsoleOp::write, console);
    // Copying every byte lets the address sanitizer catch a length that
    // runs past the caller's buffer.
    if (buffer != NULL)
        call.bytes.assign((const char *)buffer, length);
    call.cursor.X = (SHORT)s.x;
    call.cursor.Y = (SHORT)s.y;
    call.attribute = s.attribute;
    call.result = fake::is_console(console) && buffer != NULL;
    if (call.result)
        for (char byte : call.bytes)
            fake::put_byte(s, byte);
    if (written != NULL)
        *written = call.result ? length : 0;
    s.calls.push_back(call);
    return call.result;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO info)
{
    std::lock_guard<std::mutex> guard(fake::g_lock);
    fake::ConsoleState &s = fake::g_state;
    ConsoleCall call = fake::make_call(ConsoleOp::get_info, console);
    call.result = fake::is_console(console) && !s.info_fails;
    CONSOLE_SCREEN_BUFFER_INFO reported{};
    reported.dwSize.X = fake::SCREEN_COLUMNS;
    reported.dwSize.Y = fake::SCREEN_ROWS;
    reported.srWindow.Right = fake::SCREEN_COLUMNS - 1;
    reported.srWindow.Bottom = fake::SCREEN_ROWS - 1;
    reported.dwMaximumWindowSize = reported.dwSize;
    if (call.result) {
        reported.dwCursorPosition.X = (SHORT)s.x;
        reported.dwCursorPosition.Y = (SHORT)s.y;
        reported.wAttributes = s.attribute;
    } else {
        // A caller that uses the answer of a failed call moves from the
        // middle of the screen, which a test sees.
        reported.dwCursorPosition.X = fake::SCREEN_COLUMNS / 2;
        reported.dwCursorPosition.Y = fake::SCREEN_ROWS / 2;
        reported.wAttributes = 0x5A;
    }
    if (info != NULL)
        *info = reported;
    s.calls.push_back(call);
    return call.result;
}

BOOL SetConsoleCursorPosition(HANDLE console, COORD position)
{
    std::lock_guard<std::mutex> guard(fake::g_lock);
    fake::ConsoleState &s = fake::g_state;
    ConsoleCall call = fake::make_call(ConsoleOp::set_cursor, console);
    call.cursor = position;
    call.result = fake::is_console(console) && fake::on_screen(position.X, position.Y);
    if (call.result) {
        s.x = position.X;
        s.y = position.Y;
    }
    s.calls.push_back(call);
    return call.result;
}

BOOL SetConsoleTextAttribute(HANDLE console, WORD attribute)
{
    std::lock_guard<std::mutex> guard(fake::g_lock);
    ConsoleCall call = fake::make_call(ConsoleOp::set_attribute, console);
    call.attribute = attribute;
    call.result = fake::is_console(console);
    if (call.result)
        fake::g_state.attribute = attribute;
    fake::g_state.calls.push_back(call);
    return call.result;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    std::lock_guard<std::mutex> guard(fake::g_lock);
    fake::ConsoleState &s = fake::g_state;
    ConsoleCall call = fake::make_call(ConsoleOp::set_ctrl_handler, NULL);
    call.handler = handler;
    call.add = add;
    call.result = TRUE;
    if (add) {
        s.handlers.push_back(handler);
    } else {
        auto it = std::find(s.handlers.rbegin(), s.handlers.rend(), handler);
        if (it == s.handlers.rend())
            call.result = FALSE;
        else
            s.handlers.erase(std::next(it).base());
    }
    s.calls.push_back(call);
    return call.result;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR title, UINT type)
{
    std::lock_guard<std::mutex> guard(fake::g_lock);
    fake::ConsoleState &s = fake::g_state;
    s.boxes.push_back(fake::MessageBoxCall{owner, text ? text : "", title ? title : "", type});
    if (s.answers.empty())
        return IDOK;
    int answer = s.answers.front();
    s.answers.pop_front();
    return answer;
}

}  // namespace sys
