// Progress lines of the unattended program.
#include "batch/progress_line.h"

#include <stdio.h>

#include "volume/format.h"

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
                          int64_t to_write, DWORD elapsed_ms)
{
    char written_text[FORMATTED_BYTES_SIZE];
    format_bytes(written_text, written);
    double rate = elapsed_ms > 0 ? (double)written / 1000.0 / (double)elapsed_ms : 0.0;
    char left[32] = "unknown";
    if (written > 0 && elapsed_ms > 0)
        format_duration(left, sizeof left,
                        (int64_t)((double)(to_write > 0 ? to_write : 0) / (double)written *
                                  (double)elapsed_ms));
    snprintf(line, size, "%c: %d%% filled, %s bytes written, %.1f MB/s, %s left", letter,
             fill_percent(written, to_write), written_text, rate, left);
}
