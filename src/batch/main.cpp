// voidfill-batch: the unattended companion of voidfill, for image builds
// and scripts. Lines for a log instead of windows; the exit status says
// how it went.
#include <stdio.h>

#include "batch/batch_front.h"
#include "batch/clock.h"
#include "batch/exit_code.h"
#include "batch/help_text.h"
#include "batch/options.h"
#include "batch/output.h"
#include "batch/progress_line.h"
#include "batch/summary.h"
#include "batch/targets.h"
#include "volume/format.h"
#include "volume/volume.h"
#include "zerofill/interrupt.h"
#include "zerofill/run_state.h"
#include "zerofill/zero_fill.h"

static const char PROGRAM[] = "voidfill-batch";

// Ctrl+C between two drives finds no run to wait for; the interrupt
// handler then leaves the event to the next handler, this one, so that
// the program ends with its own lines and status instead of the system's.
// A logoff goes on to the system's handler, which keeps a service's
// console program running.
static BOOL WINAPI stop_between_drives(DWORD event)
{
    return event == CTRL_LOGOFF_EVENT ? FALSE : TRUE;
}

static void print_help()
{
    for (const char *line : HELP_LINES)
        print_line("%s", line);
}

// What stays free: the bytes given, or a percentage of the volume's exact
// size, rounded up to whole clusters: the last block of the fill takes
// whole clusters, and would otherwise leave less than the reserve free.
static int64_t reserve_of(const batch_options &options, int64_t total, int64_t cluster)
{
    int64_t percent = options.reserve_percent;
    int64_t reserve = percent == 0 ? options.reserve_bytes
                                   : total / 100 * percent + (total % 100 * percent + 99) / 100;
    if (reserve < RESERVE_BYTES)
        reserve = RESERVE_BYTES;
    if (cluster > 0 && reserve % cluster != 0 && reserve <= INT64_MAX - cluster)
        reserve += cluster - reserve % cluster;
    return reserve;
}

// The drive as it is before the run, and its start line.
static drive_summary survey_drive(char letter, const batch_options &options)
{
    drive_summary drive = unknown_drive(letter);
    char root[ROOT_TEXT_SIZE];
    drive_root(root, letter);
    if (get_fs_type(root) == FS_ERROR) {
        print_line("%c: no volume that can be read", letter);
        return drive;
    }
    snprintf(drive.fs, sizeof drive.fs, "%s", g_fs_name);
    drive.size = get_total_bytes(root);
    drive.free_before = get_free_bytes(root);
    drive.reserve = reserve_of(options, drive.size, get_cluster_bytes(root));
    char name[4 * FS_NAME_SIZE];
    char total[FORMATTED_BYTES_SIZE];
    char free_bytes[FORMATTED_BYTES_SIZE];
    escape_text(name, sizeof name, drive.fs);
    format_bytes(total, drive.size);
    format_bytes(free_bytes, drive.free_before);
    print_line("%c: %s, size %s bytes, free %s bytes", letter, name, total, free_bytes);
    return drive;
}

// Before the engine runs: a quota that keeps part of the free space from
// this account would end the fill early and call it complete; a reserve
// that leaves nothing to fill needs no run. The drive's status then, or -1
// to run.
static int check_before_run(char letter, const drive_summary &drive)
{
    char root[ROOT_TEXT_SIZE];
    drive_root(root, letter);
    // The run itself says why a volume cannot be filled at all.
    if (drive.free_before < 0 || get_fs_type(root) <= FS_OTHER)
        return -1;
    int64_t volume_free = get_volume_free_bytes(root);
    char text[2][FORMATTED_BYTES_SIZE];
    if (volume_free > drive.free_before) {
        print_error_line("%c: a disk quota leaves this account %s of the volume's %s free bytes: "
                         "not filled; run it as an account without a quota",
                         letter, format_bytes(text[0], drive.free_before),
                         format_bytes(text[1], volume_free));
        return EXIT_NOT_POSSIBLE;
    }
    if (drive.free_before <= drive.reserve) {
        print_line("%c: nothing to fill: free %s bytes, reserve %s bytes", letter,
                   format_bytes(text[0], drive.free_before), format_bytes(text[1], drive.reserve));
        return EXIT_COMPLETE;
    }
    return -1;
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

// One drive: its status in `drive`.
static void fill_drive(drive_summary &drive, const batch_options &options)
{
    char letter = drive.letter;
    // Raised before the checks: a stop or the time limit that comes later
    // lowers it again, and the run sees that.
    g_running = 1;
    if (time_limit_reached() || !begin_run()) {
        g_running = 0;
        print_error_line("%c: not started: %s", letter,
                         time_limit_reached() ? "the time limit was reached" : "stopped");
        drive.status = EXIT_STOPPED;
        return;
    }
    DWORD started = sys::GetTickCount();
    drive.status = check_before_run(letter, drive);
    if (drive.status < 0) {
        begin_drive_report(options.check_only);
        fill_way way = options.check_only  ? FILL_CHECK_ONLY
                       : options.write_all ? FILL_WRITE_ALL
                                           : FILL_WHERE_DATA;
        int result = zero_fill_drive_with(
            letter, fill_options{drive.reserve > 0 ? drive.reserve : (int64_t)RESERVE_BYTES, way,
                                 true});
        drive_report report = current_drive_report();
        drive.status = drive_exit_code(report.notes, result);
        // Reading first, the zeros went only where data was.
        drive.read = report.bytes_read;
        drive.data = report.read_first ? report.bytes_with_data : -1;
        drive.written = options.check_only ? 0
                        : report.read_first ? report.bytes_with_data
                                            : report.written;
        print_ending(letter, drive.status, report, sys::GetTickCount() - started, options);
    } else {
        drive.written = drive.read = 0;
    }
    end_run();
    g_running = 0;
    drive.seconds = (sys::GetTickCount() - started) / 1000;
}

static int usage_error(const char *reason)
{
    print_error_line("%s: %s", PROGRAM, reason);
    print_error_line("Try '%s --help'.", PROGRAM);
    return EXIT_USAGE;
}

// The summary lines, the closing line, and the status: once every line is
// out.
static int finish(int status, const drive_summary *drives, int count, DWORD started)
{
    char line[LINE_SIZE];
    run_summary run = {status, count, 0, (sys::GetTickCount() - started) / 1000};
    for (int i = 0; i < count; i++) {
        format_drive_summary(line, sizeof line, drives[i]);
        print_summary_line("%s", line);
        run.written += drives[i].written > 0 ? drives[i].written : 0;
    }
    format_run_summary(line, sizeof line, run);
    print_summary_line("%s", line);
    if (status == EXIT_COMPLETE)
        print_line("%s: exit status 0, every drive complete", PROGRAM);
    else
        print_error_line("%s: exit status %d", PROGRAM, status);
    finish_log();
    return status;
}

// The thread that runs the fills, as a handle that a stop can cancel its
// write through; without one a stop waits for the block in flight.
static HANDLE fill_thread_handle()
{
    HANDLE thread = NULL;
    if (!sys::DuplicateHandle(sys::GetCurrentProcess(), sys::GetCurrentThread(),
                              sys::GetCurrentProcess(), &thread, THREAD_TERMINATE, FALSE, 0))
        return NULL;
    return thread;
}

static int fill_drives(const batch_options &options, DWORD started)
{
    drive_list drives;
    int status = collect_drives(options, drives);
    if (status != EXIT_COMPLETE)
        return finish(status, NULL, 0, started);
    if (!start_clock(options.time_limit_ms)) {
        print_error_line("%s: the clock's thread could not be started", PROGRAM);
        return finish(EXIT_FAILED, NULL, 0, started);
    }
    drive_summary summaries[26];
    for (int i = 0; i < drives.count; i++)
        summaries[i] = survey_drive(drives.letters[i], options);
    for (int i = 0; i < drives.count; i++) {
        fill_drive(summaries[i], options);
        status = more_serious(status, summaries[i].status);
    }
    stop_clock();
    return finish(status, summaries, drives.count, started);
}

int main(int argc, char **argv)
{
    DWORD started = sys::GetTickCount();
    set_quiet_output(false);
    start_log_writer();
    batch_options options;
    char error[USAGE_TEXT_SIZE];
    if (!parse_batch_options(argc, argv, options, error, sizeof error))
        return finish(usage_error(error), NULL, 0, started);
    if (options.help) {
        print_help();
        finish_log();
        return EXIT_COMPLETE;
    }
    set_quiet_output(options.quiet);
    // No "insert a disk" box for an empty drive, no crash box: nobody is
    // there to answer.
    sys::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    sys::SetConsoleCtrlHandler(stop_between_drives, TRUE);
    // A second Ctrl+C during a hung write ends the program at once: stopped.
    install_interrupt_handler(EXIT_STOPPED, LOGOFF_IGNORED);
    HANDLE thread = fill_thread_handle();
    set_fill_thread(thread);
    int status = fill_drives(options, started);
    set_fill_thread(NULL);
    if (thread != NULL)
        sys::CloseHandle(thread);
    return status;
}
