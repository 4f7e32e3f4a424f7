// Disk mode: the drives of one physical disk, one after the other.
#include "cli/disk_mode.h"

#include <stdlib.h>

#include "cli/report.h"
#include "console/banner.h"
#include "console/console.h"
#include "zerofill/interrupt.h"
#include "ui/progress_dialog.h"
#include "volume/disk_number.h"

void run_disk_mode(const char *argument)
{
    if (msgbox_printf(NULL, MB_OKCANCEL, BANNER, "ディスク #%c のゼロクリヤ開始します",
                      argument[0]) != IDOK)
        return;
    int disk = atoi(argument);
    char drive_text[4] = "-:";
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        if (stop_requested())
            return;
        if (get_disk_number(letter) != disk)
            continue;
        drive_text[0] = letter;
        print_disk_report_line(disk, drive_text);
        run_progress_dialog(letter);
    }
}
