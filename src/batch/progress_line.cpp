// Progress lines of the unattended program.
#include "batch/progress_line.h"

#include <stdio.h>

#include "volume/format.h"

// A write that has taken this long is named in the line.
static const DWORD LONG_WRITE_MS = 1000;
// A time left beyond this many milliseconds (about eleven years) says
// nothing but that the volume is stalled.
static const double LONGEST_LEFT_MS = 3.6e11;
static const DWORD SAMPLE_SPACING_MS = 1000;

progress_pace start_progress_pace(DWORD now_ms)
{
    return progress_pace{now_ms, 0};
}

bool progress_line_due(progress_pace &pace, DWORD now_ms, int percent)
{
    int step = percent / 10;
    // Unsigned: right across GetTickCount's wrap after 49 days.
    bool due = step > pace.last_step || now_ms - pace.last_line_ms >= PROGRESS_LINE_INTERVAL_MS;
    if (due) {
        pace.last_line_ms = now_ms;
        if (step > pace.last_step)
            pace.last_step = step;
    }
    return due;
}

void start_rate_window(rate_window &window, DWORD now_ms)
{
    window = rate_window{};
    window.at_ms[0] = now_ms;
    window.count = 1;
    window.next = 1;
}

void add_rate_sample(rate_window &window, DWORD now_ms, int64_t written)
{
    int newest = (window.next + RATE_SAMPLES - 1) % RATE_SAMPLES;
    if (window.count > 0 && now_ms - window.at_ms[newest] < SAMPLE_SPACING_MS)
        return;
    window.at_ms[window.next] = now_ms;
    window.written[window.next] = written;
    window.next = (window.next + 1) % RATE_SAMPLES;
    if (window.count < RATE_SAMPLES)
        window.count++;
}

double recent_rate(const rate_window &window, DWORD now_ms, int64_t written)
{
    if (window.count == 0)
        return 0.0;
    // Newest first; the last one still within the window is the oldest
    // there, and the newest stands in when none is.
    int base = (window.next + RATE_SAMPLES - 1) % RATE_SAMPLES;
    for (int k = 1; k < window.count; k++) {
        int older = (window.next + RATE_SAMPLES - 1 - k) % RATE_SAMPLES;
        if (now_ms - window.at_ms[older] > RATE_WINDOW_MS)
            break;
        base = older;
    }
    DWORD span = now_ms - window.at_ms[base];
    return span > 0 ? (double)(written - window.written[base]) / (double)span : 0.0;
}

int fill_percent(int64_t written, int64_t to_write)
{
    if (to_write < 0)
        to_write = 0;
    if (written <= 0)
        return 0;
    return (int)((double)written * 100.0 / ((double)written + (double)to_write));
}

void format_duration(char *text, size_t size, int64_t milliseconds)
{
    int64_t seconds = milliseconds / 1000;
    snprintf(text, size, "%d:%02d:%02d", (int)(seconds / 3600), (int)(seconds / 60 % 60),
             (int)(seconds % 60));
}

void format_progress_line(char *line, size_t size, char letter, int64_t written,
                          int64_t to_write, double bytes_per_ms, DWORD write_taken_ms,
                          read_counts read)
{
    char number[FORMATTED_BYTES_SIZE];
    char with_data[FORMATTED_BYTES_SIZE];
    char done[2 * FORMATTED_BYTES_SIZE + 32];
    format_bytes(number, written);
    if (read.with_data < 0)
        snprintf(done, sizeof done, "%s bytes written", number);
    else
        snprintf(done, sizeof done, "%s bytes read, %s of them %s", number,
                 format_bytes(with_data, read.with_data), read.checking ? "hold data" : "zeroed");
    char left[32] = "unknown";
    double left_ms = bytes_per_ms > 0.0 ? (double)(to_write > 0 ? to_write : 0) / bytes_per_ms
                                        : LONGEST_LEFT_MS;
    if (left_ms < LONGEST_LEFT_MS)
        format_duration(left, sizeof left, (int64_t)left_ms);
    char taken[48] = "";
    if (write_taken_ms >= LONG_WRITE_MS)
        snprintf(taken, sizeof taken, " (a write has taken %lu s so far)",
                 (unsigned long)(write_taken_ms / 1000));
    snprintf(line, size, "%c: %d%% %s, %s, %.1f MB/s, %s left%s", letter,
             fill_percent(written, to_write), read.checking ? "read" : "filled", done,
             bytes_per_ms / 1000.0, left, taken);
}
