// The summary lines.
#include "batch/summary.h"

#include <stdio.h>
#include <string.h>

// The counts of each line, one row per key, in the order they are written.
static const struct {
    const char *key;
    int64_t drive_summary::*count;
} DRIVE_COUNTS[] = {
    {"size", &drive_summary::size},       {"free_before", &drive_summary::free_before},
    {"reserve", &drive_summary::reserve}, {"written", &drive_summary::written},
    {"read", &drive_summary::read},       {"data", &drive_summary::data},
    {"seconds", &drive_summary::seconds},
};

static const struct {
    const char *key;
    int64_t run_summary::*count;
} RUN_COUNTS[] = {
    {"drives", &run_summary::drives},
    {"written", &run_summary::written},
    {"seconds", &run_summary::seconds},
};

drive_summary unknown_drive(char letter)
{
    return drive_summary{letter, 0, "", -1, -1, -1, -1, -1, -1, -1};
}

// Appends " key=value" while it fits; the line is cut, never overrun.
static void append(char *line, size_t size, const char *key, const char *value)
{
    size_t at = strlen(line);
    if (at < size)
        snprintf(line + at, size - at, " %s=%s", key, value);
}

static void append_count(char *line, size_t size, const char *key, int64_t count)
{
    char value[24] = "-";
    if (count >= 0)
        snprintf(value, sizeof value, "%lld", (long long)count);
    append(line, size, key, value);
}

// A file system's name as one word of letters, digits, '.', '-' and '_';
// any other byte as \xHH.
static void fs_word(char *word, size_t size, const char *name)
{
    size_t at = 0;
    for (const unsigned char *c = (const unsigned char *)name; *c != '\0' && at + 5 <= size;
         c++) {
        bool plain = (*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'Z') ||
                     (*c >= 'a' && *c <= 'z') || *c == '.' || *c == '-' || *c == '_';
        at += (size_t)snprintf(word + at, size - at, plain ? "%c" : "\\x%02X", *c);
    }
    if (at == 0)
        snprintf(word, size, "-");
}

void format_drive_summary(char *line, size_t size, const drive_summary &drive)
{
    char fs[4 * FS_NAME_SIZE + 1];
    fs_word(fs, sizeof fs, drive.fs);
    snprintf(line, size, "voidfill-batch: drive=%c status=%d fs=%s", drive.letter, drive.status,
             fs);
    for (const auto &row : DRIVE_COUNTS)
        append_count(line, size, row.key, drive.*row.count);
}

void format_run_summary(char *line, size_t size, const run_summary &run)
{
    snprintf(line, size, "voidfill-batch: run status=%d", run.status);
    for (const auto &row : RUN_COUNTS)
        append_count(line, size, row.key, run.*row.count);
}
