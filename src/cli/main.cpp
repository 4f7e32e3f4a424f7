// voidfill: overwrites the free space of a volume with zeros.
//
//   voidfill x:   fill drive x
//   voidfill n:   fill every drive of physical disk n
#include "cli/disk_mode.h"
#include "cli/report.h"
#include "console/banner.h"
#include "console/console.h"
#include "zerofill/interrupt.h"
#include "ui/progress_dialog.h"

static const char USAGE[] = "use  VOIDFILL x: or VODIFILL n:  (x: drive,  n: disk nonver)";

static bool is_ascii_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static void run_drive_mode(char letter)
{
    if (msgbox_printf(NULL, MB_OKCANCEL, BANNER, "ドライブ %c: のゼロクリヤ開始します",
                      letter) != IDOK)
        return;
    char drive_text[4] = "-:";
    drive_text[0] = letter;
    print_drive_report_line(drive_text);
    run_progress_dialog(letter);
}

int main(int argc, char **argv)
{
    con_puts(BANNER);
    const char *argument = argc == 2 ? argv[1] : "";
    if (argument[0] == '\0' || argument[1] != ':')
        return con_puts(USAGE);
    install_interrupt_handler();
    if (argument[0] >= '0' && argument[0] <= '9')
        run_disk_mode(argument);
    else if (is_ascii_letter(argument[0]))
        run_drive_mode(argument[0]);
    else
        return con_puts(USAGE);
    return con_puts("\nEND");
}
