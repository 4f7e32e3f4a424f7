// Writing lines to standard output and standard error through a queue.
#include "batch/output.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

enum line_kind { LINE_OUT, LINE_PROGRESS, LINE_SUMMARY, LINE_ERROR };

// Room for every line of a run over all 26 drives many times over; only
// progress lines, which collapse, come without bound.
enum { QUEUE_LINES = 512 };

struct log_line {
    line_kind kind;
    DWORD length;
    char text[LINE_SIZE];
};

// Everything below is guarded by s_lock; no write happens under it.
static CRITICAL_SECTION s_lock;
static HANDLE s_wake;  // auto-reset: a line was queued, or the log is to finish
static bool s_made;
static log_line s_queue[QUEUE_LINES];
static int s_first;
static int s_count;
static int s_lost;  // lines that found the queue full, said once there is room
static bool s_writer_running;
static bool s_finishing;
static std::atomic<bool> s_gone[2];  // standard output, standard error: their pipe is closed
static bool s_quiet = false;

static int stream_of(line_kind kind)
{
    return kind == LINE_ERROR ? 1 : 0;
}

// One whole line to its handle; a stream that fails once (a closed pipe,
// no handle at all) is not written again.
static void write_out(const log_line &line)
{
    int stream = stream_of(line.kind);
    if (s_gone[stream])
        return;
    HANDLE handle = sys::GetStdHandle(stream == 1 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (!sys::WriteFile(handle, line.text, line.length, &written, NULL))
        s_gone[stream] = true;
}

// The oldest line, or the count of lost ones as a line of its own; false
// when there is none. Under the lock.
static bool take_line(log_line &line)
{
    if (s_lost > 0) {
        int length = snprintf(line.text, sizeof line.text,
                              "voidfill-batch: %d lines were lost while the log was not read\r\n",
                              s_lost);
        line.kind = LINE_ERROR;
        line.length = (DWORD)length;
        s_lost = 0;
        return true;
    }
    if (s_count == 0)
        return false;
    line = s_queue[s_first];
    s_first = (s_first + 1) % QUEUE_LINES;
    s_count--;
    return true;
}

static void writer(void *)
{
    static log_line line;  // only this thread's, and large for a stack
    for (;;) {
        sys::EnterCriticalSection(&s_lock);
        bool took = take_line(line);
        bool done = !took && s_finishing;
        if (done)
            s_writer_running = false;
        sys::LeaveCriticalSection(&s_lock);
        if (done)
            return;
        if (took)
            write_out(line);
        else
            sys::WaitForSingleObject(s_wake, INFINITE);
    }
}

void set_quiet_output(bool quiet)
{
    s_quiet = quiet;
}

void start_log_writer()
{
    if (!s_made) {
        sys::InitializeCriticalSection(&s_lock);
        s_wake = sys::CreateEventA(NULL, FALSE, FALSE, NULL);
        s_made = true;
    }
    if (s_wake == NULL)
        return;
    sys::EnterCriticalSection(&s_lock);
    s_finishing = false;
    s_gone[0] = false;
    s_gone[1] = false;
    s_writer_running = sys::_beginthread(writer, 0, NULL) != (uintptr_t)-1;
    sys::LeaveCriticalSection(&s_lock);
}

void finish_log()
{
    if (!s_made)
        return;
    sys::EnterCriticalSection(&s_lock);
    s_finishing = true;
    sys::LeaveCriticalSection(&s_lock);
    sys::SetEvent(s_wake);
    for (;;) {
        sys::EnterCriticalSection(&s_lock);
        bool running = s_writer_running;
        sys::LeaveCriticalSection(&s_lock);
        if (!running)
            return;
        sys::Sleep(10);
    }
}

void escape_text(char *escaped, size_t size, const char *text)
{
    size_t at = 0;
    escaped[0] = '\0';
    for (const unsigned char *c = (const unsigned char *)text; *c != '\0'; c++) {
        char piece[5];
        snprintf(piece, sizeof piece, *c >= 0x20 && *c < 0x7F ? "%c" : "\\x%02X", *c);
        size_t length = strlen(piece);
        if (at + length >= size)
            break;
        memcpy(escaped + at, piece, length + 1);
        at += length;
    }
}

// Queued for the writer, a progress line in place of one still waiting
// right before it; written at once when no writer runs.
static void put(const log_line &line)
{
    bool queued = false;
    if (s_made) {
        sys::EnterCriticalSection(&s_lock);
        queued = s_writer_running;
        if (queued) {
            log_line *last =
                s_count > 0 ? &s_queue[(s_first + s_count - 1) % QUEUE_LINES] : NULL;
            if (line.kind == LINE_PROGRESS && last != NULL && last->kind == LINE_PROGRESS)
                *last = line;
            else if (s_count < QUEUE_LINES)
                s_queue[(s_first + s_count++) % QUEUE_LINES] = line;
            else if (line.kind != LINE_PROGRESS)
                s_lost++;
        }
        sys::LeaveCriticalSection(&s_lock);
    }
    if (queued)
        sys::SetEvent(s_wake);
    else
        write_out(line);
}

// A line cut at the buffer still ends with its line break.
static void print_kind(line_kind kind, const char *format, va_list arguments)
{
    if (s_quiet && (kind == LINE_OUT || kind == LINE_PROGRESS))
        return;
    log_line line;
    line.kind = kind;
    int length = vsnprintf(line.text, sizeof line.text - 2, format, arguments);
    if (length < 0)
        return;
    size_t size =
        (size_t)length < sizeof line.text - 3 ? (size_t)length : sizeof line.text - 3;
    line.text[size++] = '\r';
    line.text[size++] = '\n';
    line.length = (DWORD)size;
    put(line);
}

void print_line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    print_kind(LINE_OUT, format, arguments);
    va_end(arguments);
}

void print_progress_line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    print_kind(LINE_PROGRESS, format, arguments);
    va_end(arguments);
}

void print_summary_line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    print_kind(LINE_SUMMARY, format, arguments);
    va_end(arguments);
}

void print_error_line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    print_kind(LINE_ERROR, format, arguments);
    va_end(arguments);
}
