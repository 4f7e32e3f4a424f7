// voidfill-batch: the unattended companion of voidfill, for image builds
// and scripts. Lines for a log instead of windows; the exit status says
// how it went.
#include <stdio.h>

#include "batch/batch_front.h"
#include "batch/exit_code.h"
#include "batch/help_text.h"
#include "batch/options.h"
#include "batch/output.h"
#include "batch/progress_line.h"
#include "batch/time_limit.h"
#include "ui/interrupt.h"
#include "volume/disk_number.h"
#include "volume/format.h"
#include "volume/volume.h"
#include "zerofill/run_state.h"
#include "zerofill/zero_fill.h"

static const char PROGRAM[] = "voidfill-batch";

// Ctrl+C between two drives finds no run to wait for; the interrupt
// handler then leaves the event to the next handler, this one, so that
// the program ends with its own lines and status instead of the system's.
static BOOL WINAPI stop_between_drives(DWORD event)
{
    (void)event;
    return TRUE;
}

static void print_help()
{
    for (const char *line : HELP_LINES)
        print_line("%s", line);
}

struct drive_list {
    char letters[26];
    int count;
};

static void add_letter(drive_list &drives, char letter)
{
    for (int i = 0; i < drives.count; i++)
        if (drives.letters[i] == letter)
            return;
    drives.letters[drives.count++] = letter;
}

// The drives in the order given, each disk's in letter order. A disk
// without a drive letter is not possible to fill: EXIT_NOT_POSSIBLE.
static int collect_drives(const batch_options &options, drive_list &drives)
{
    int code = EXIT_COMPLETE;
    for (int t = 0; t < options.target_count; t++) {
        const batch_target &target = options.targets[t];
        if (!target.is_disk) {
            add_letter(drives, target.letter);
            continue;
        }
        int before = drives.count;
        for (char letter = 'A'; letter <= 'Z'; letter++)
            if (get_disk_number(letter) == target.disk)
                add_letter(drives, letter);
        if (drives.count == before) {
            print_error_line("disk %d: no drive letter lies on this disk", target.disk);
            code = EXIT_NOT_POSSIBLE;
        }
    }
    return code;
}

static void print_drive_line(char letter)
{
    char root[ROOT_TEXT_SIZE];
    drive_root(root, letter);
    if (get_fs_type(root) == FS_ERROR) {
        print_line("%c: no volume that can be read", letter);
        return;
    }
    char total[FORMATTED_BYTES_SIZE];
    char free_bytes[FORMATTED_BYTES_SIZE];
    format_bytes(total, get_total_bytes(root));
    format_bytes(free_bytes, get_free_bytes(root));
    print_line("%c: %s, size %s bytes, free %s bytes", letter, g_fs_name, total, free_bytes);
}

static int64_t reserve_of(const batch_options &options, char letter)
{
    if (options.reserve_percent == 0)
        return options.reserve_bytes;
    char root[ROOT_TEXT_SIZE];
    drive_root(root, letter);
    int64_t reserve = get_total_bytes(root) / 100 * options.reserve_percent;
    return reserve > RESERVE_BYTES ? reserve : (int64_t)RESERVE_BYTES;
}

// What a look found: how much of the free space holds data.
static void print_checked(char letter, const char *took, const drive_report &report)
{
    char read[FORMATTED_BYTES_SIZE];
    char with_data[FORMATTED_BYTES_SIZE];
    double percent = report.bytes_read > 0
                         ? 100.0 * (double)report.bytes_with_data / (double)report.bytes_read
                         : 0.0;
    print_line("%c: checked in %s: %s bytes of free space read, %s of them (%.1f%%) hold data; "
               "nothing was written",
               letter, took, format_bytes(read, report.bytes_read),
               format_bytes(with_data, report.bytes_with_data), percent);
}

static void print_ending(char letter, int code, const drive_report &report, DWORD elapsed_ms,
                         const batch_options &options)
{
    char took[32];
    char read[FORMATTED_BYTES_SIZE];
    char with_data[FORMATTED_BYTES_SIZE];
    char written[FORMATTED_BYTES_SIZE];
    format_duration(took, sizeof took, elapsed_ms);
    format_bytes(written, report.written);
    switch (code) {
    case EXIT_COMPLETE:
        if (options.check_only)
            print_checked(letter, took, report);
        else if (report.read_first)
            print_line("%c: complete in %s: %s bytes of free space read, %s held data and were "
                       "zeroed, the rest was zero already",
                       letter, took, format_bytes(read, report.bytes_read),
                       format_bytes(with_data, report.bytes_with_data));
        else
            print_line("%c: complete in %s, %s bytes of zeros written and removed again", letter,
                       took, written);
        break;
    case EXIT_STOPPED:
        if (time_limit_reached())
            print_error_line("%c: stopped by the time limit of %lu s after %s, not completely "
                             "filled; its temporary files are removed",
                             letter, (unsigned long)(options.time_limit_ms / 1000), took);
        else
            print_error_line("%c: stopped after %s, not completely filled; its temporary files "
                             "are removed",
                             letter, took);
        break;
    case EXIT_NOT_POSSIBLE:
        print_error_line("%c: not possible on this drive (see above), after %s", letter, took);
        break;
    case EXIT_IN_USE:
        print_error_line("%c: not filled: another run is filling this drive", letter);
        break;
    default:
        print_error_line("%c: FAILED after %s (see above)", letter, took);
        break;
    }
}

static void print_not_started(char letter)
{
    print_error_line("%c: not started: %s", letter,
                     time_limit_reached() ? "the time limit was reached" : "stopped");
}

// One drive; its exit code.
static int fill_drive(char letter, const batch_options &options)
{
    int64_t reserve = reserve_of(options, letter);
    // Raised before the checks: a stop or the time limit that comes later
    // lowers it again, and the run sees that.
    g_running = 1;
    if (time_limit_reached() || !begin_run()) {
        g_running = 0;
        print_not_started(letter);
        return EXIT_STOPPED;
    }
    begin_drive_report(options.check_only);
    DWORD started = sys::GetTickCount();
    fill_way way = options.check_only  ? FILL_CHECK_ONLY
                   : options.write_all ? FILL_WRITE_ALL
                                       : FILL_WHERE_DATA;
    int result = zero_fill_drive_with(letter, fill_options{reserve, way});
    end_run();
    g_running = 0;
    drive_report report = current_drive_report();
    int code = drive_exit_code(report.notes, result);
    print_ending(letter, code, report, sys::GetTickCount() - started, options);
    return code;
}

static int usage_error(const char *reason)
{
    print_error_line("%s: %s", PROGRAM, reason);
    print_error_line("Try '%s --help'.", PROGRAM);
    return EXIT_USAGE;
}

int main(int argc, char **argv)
{
    batch_options options;
    char error[USAGE_TEXT_SIZE];
    if (!parse_batch_options(argc, argv, options, error, sizeof error))
        return usage_error(error);
    if (options.help) {
        print_help();
        return EXIT_COMPLETE;
    }
    set_quiet_output(options.quiet);
    // No "insert a disk" box for an empty drive, no crash box: nobody is
    // there to answer.
    sys::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    sys::SetConsoleCtrlHandler(stop_between_drives, TRUE);
    // A second Ctrl+C during a hung write ends the program at once: stopped.
    install_interrupt_handler(EXIT_STOPPED);
    if (options.time_limit_ms != 0 && !start_time_limit(options.time_limit_ms)) {
        print_error_line("%s: the time limit's thread could not be started", PROGRAM);
        return EXIT_FAILED;
    }
    drive_list drives = {};
    int worst = collect_drives(options, drives);
    for (int i = 0; i < drives.count; i++)
        print_drive_line(drives.letters[i]);
    for (int i = 0; i < drives.count; i++) {
        int code = fill_drive(drives.letters[i], options);
        if (code > worst)
            worst = code;
    }
    if (worst == EXIT_COMPLETE)
        print_line("%s: exit status 0, every drive complete", PROGRAM);
    else
        print_error_line("%s: exit status %d", PROGRAM, worst);
    return worst;
}
