// Writing lines to standard output and standard error.
#include "batch/output.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static bool s_quiet = false;

void set_quiet_output(bool quiet)
{
    s_quiet = quiet;
}

// A line cut at the buffer still ends with its line break. No C run-time
// stream in between: nothing waits in a buffer when the program is killed.
static void write_line(DWORD which, const char *format, va_list arguments)
{
    char line[LINE_SIZE];
    int length = vsnprintf(line, sizeof line - 2, format, arguments);
    if (length < 0)
        return;
    size_t size = (size_t)length < sizeof line - 3 ? (size_t)length : sizeof line - 3;
    line[size++] = '\r';
    line[size++] = '\n';
    DWORD written = 0;
    sys::WriteFile(sys::GetStdHandle(which), line, (DWORD)size, &written, NULL);
}

void print_line(const char *format, ...)
{
    if (s_quiet)
        return;
    va_list arguments;
    va_start(arguments, format);
    write_line(STD_OUTPUT_HANDLE, format, arguments);
    va_end(arguments);
}

void print_error_line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_line(STD_ERROR_HANDLE, format, arguments);
    va_end(arguments);
}
