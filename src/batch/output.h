// Lines for a build log: plain ASCII, one whole line per write, written
// through the standard handles at once so that files and pipes get them
// as they happen.
#pragma once

#include "platform/os.h"

enum { LINE_SIZE = 512 };

// --quiet: nothing on standard output; standard error keeps every line.
void set_quiet_output(bool quiet);

void print_line(const char *format, ...) PRINTF_LIKE(1, 2);
void print_error_line(const char *format, ...) PRINTF_LIKE(1, 2);
