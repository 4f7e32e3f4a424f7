// The fill's progress as build-log lines: their pace and their text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/os.h"

// A line at most this often, and one more at each step of 10%.
static const DWORD PROGRESS_LINE_INTERVAL_MS = 10000;

struct progress_pace {
    DWORD last_line_ms;  // GetTickCount of the last line, or of the fill's start
    int last_step;       // tens of percent already shown
};

// Starts the pace at the fill's first block.
progress_pace start_progress_pace(DWORD now_ms);
// True when a line is due now; the pace then counts it as written.
bool progress_line_due(progress_pace &pace, DWORD now_ms, int percent);

// Whole percent of the fill written: written / (written + to_write).
int fill_percent(int64_t written, int64_t to_write);

// "D: 40% filled, 858,993,459 bytes written, 95.3 MB/s, 0:00:12 left"
// (megabytes of 1,000,000 bytes; "unknown" left before any byte is written).
void format_progress_line(char *line, size_t size, char letter, int64_t written,
                          int64_t to_write, DWORD elapsed_ms);

// "h:mm:ss".
void format_duration(char *text, size_t size, int64_t milliseconds);
