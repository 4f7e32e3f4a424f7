// The console line that reports a drive's free and total bytes before it is
// filled.
#pragma once

// drive_text: the letter and ':', as in "d:".
void print_drive_report_line(const char *drive_text);
void print_disk_report_line(int disk, const char *drive_text);
