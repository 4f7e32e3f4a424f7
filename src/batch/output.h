// Lines for a build log: plain ASCII, one whole line per write. A thread
// of their own writes them to the standard handles, so that neither the
// fill nor its clean-up ever waits for a log that nobody reads: while a
// write is blocked the lines queue up, in order, and progress lines
// collapse into the latest one.
#pragma once

#include "platform/os.h"

#include <stddef.h>

enum { LINE_SIZE = 512 };

// `text` with every byte that is not printable ASCII written as \xHH: the
// log stays ASCII whatever a command line or a volume's name holds.
void escape_text(char *escaped, size_t size, const char *text);

// --quiet: no progress and no other line on standard output but the
// summary; standard error keeps every line.
void set_quiet_output(bool quiet);

// Starts the writer thread; before it, and where it cannot start, lines
// are written at once by whoever prints them.
void start_log_writer();
// Waits until every queued line is out (or its stream is gone: a closed
// pipe loses its lines rather than holding the program), then ends the
// writer.
void finish_log();

void print_line(const char *format, ...) PRINTF_LIKE(1, 2);
void print_progress_line(const char *format, ...) PRINTF_LIKE(1, 2);
// Standard output even under --quiet: the lines a provisioner parses.
void print_summary_line(const char *format, ...) PRINTF_LIKE(1, 2);
void print_error_line(const char *format, ...) PRINTF_LIKE(1, 2);
