// The fill's progress as build-log lines: their pace, the recent rate and
// their text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/os.h"

// A line at most this often, and one more at each step of 10%; a line
// comes this often too while a write hangs.
static const DWORD PROGRESS_LINE_INTERVAL_MS = 10000;
// The rate, and the time left from it, count the bytes of about this long:
// a volume whose pace changes is judged by what it does now.
static const DWORD RATE_WINDOW_MS = 30000;

struct progress_pace {
    DWORD last_line_ms;  // GetTickCount of the last line, or of the fill's start
    int last_step;       // tens of percent already shown
};

// Starts the pace at the fill's first block.
progress_pace start_progress_pace(DWORD now_ms);
// True when a line is due now; the pace then counts it as written.
bool progress_line_due(progress_pace &pace, DWORD now_ms, int percent);

// The bytes written at moments at least a second apart: the last ones,
// enough to span the window.
enum { RATE_SAMPLES = 32 };
struct rate_window {
    DWORD at_ms[RATE_SAMPLES];
    int64_t written[RATE_SAMPLES];
    int count;
    int next;
};

// No bytes at `now_ms`, the fill's start.
void start_rate_window(rate_window &window, DWORD now_ms);
void add_rate_sample(rate_window &window, DWORD now_ms, int64_t written);
// Bytes per millisecond, from the oldest sample within the window to now.
double recent_rate(const rate_window &window, DWORD now_ms, int64_t written);

// Whole percent of the fill written: written / (written + to_write).
int fill_percent(int64_t written, int64_t to_write);

// Reading first: of the bytes read, those that held data (zeroed, or only
// counted when checking). A negative count: every block is written.
struct read_counts {
    int64_t with_data;
    bool checking;
};

// "D: 40% filled, 858,993,459 bytes written, 95.3 MB/s, 0:00:12 left"
// (megabytes of 1,000,000 bytes; "unknown" left at no rate), and while a
// write has taken a second or more, " (a write has taken 14 s so far)".
// Reading first, "858,993,459 bytes read, 1,048,576 of them zeroed"
// (checking: "D: 40% read, ... of them hold data") in place of the bytes
// written.
void format_progress_line(char *line, size_t size, char letter, int64_t written,
                          int64_t to_write, double bytes_per_ms, DWORD write_taken_ms,
                          read_counts read = read_counts{-1, false});

// "h:mm:ss".
void format_duration(char *text, size_t size, int64_t milliseconds);
