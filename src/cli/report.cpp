// Report lines of the drive mode and the disk mode.
#include "cli/report.h"

#include "console/console.h"
#include "volume/format.h"
#include "volume/volume.h"

struct space_texts {
    char free_text[TEXT_BUFFER_SIZE];
    char total_text[TEXT_BUFFER_SIZE];
};

// The total is asked first, then the free bytes.
static void format_space(const char *drive_text, space_texts &texts)
{
    int64_t total = get_total_bytes(drive_text);
    int64_t free_bytes = get_free_bytes(drive_text);
    format_bytes(texts.total_text, total);
    format_bytes(texts.free_text, free_bytes);
}

void print_drive_report_line(const char *drive_text)
{
    space_texts texts;
    format_space(drive_text, texts);
    con_printf("Drive[%s]Free/Size = %16s/%16s (B)\n", drive_text, texts.free_text,
               texts.total_text);
}

void print_disk_report_line(int disk, const char *drive_text)
{
    space_texts texts;
    format_space(drive_text, texts);
    con_printf("Disk[%d]:Drive[%s]Free/Size = %16s/%16s (B)\n", disk, drive_text,
               texts.free_text, texts.total_text);
}
