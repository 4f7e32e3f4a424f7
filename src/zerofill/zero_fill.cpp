// The zero-fill run.
#include "zerofill/zero_fill.h"

#include <stdio.h>
#include <stdlib.h>

#include "console/banner.h"
#include "console/console.h"
#include "volume/volume.h"
#include "zerofill/free_records.h"
#include "zerofill/open_temp_file.h"
#include "zerofill/run_text.h"
#include "zerofill/temp_files.h"

enum { ROOT_SIZE = 64, TEXT_SIZE = 1024 };

// Zeros that take no space (a compressed, deduplicating or thin volume)
// would keep the run going for ever: over each stretch of this many bytes
// written, the free space must fall by at least half of them.
static const int64_t SHRINK_CHECK_BYTES = 256 * 1048576;

// A query of the free space before every block costs a fifth of the time a
// block takes where the disk is fast. Far from the reserve it is asked after
// this many bytes at the most, and after half the distance to the reserve
// last seen at the most, so that near the end every block is measured and
// the end stays exact, even when another program takes space meanwhile.
static const int64_t QUERY_STRIDE_BYTES = 64 * 1048576;

// Why the write loop ended.
enum fill_end {
    RESERVE_REACHED,  // only the reserve is free
    STOPPED,          // Cancel, Escape or an interrupt
    SHORT_WRITE,      // a block was not written whole
    COMMIT_FAILED,    // a file could not be committed to the medium
    CREATE_FAILED,    // the next temporary file could not be created
    NOT_SHRINKING,    // the zeros written take no space
};

// Everything one run owns.
struct fill_run {
    char letter;
    int fs;
    char root[ROOT_SIZE];
    char path[PATH_BUFFER_SIZE];
    int files_created;
    int64_t bytes_in_file;
    sys::FILE *file;
    const char *zeros;
    temp_open_result open_failure;
    DWORD write_error;  // of the last short write or failed commit
    int64_t bytes_written;  // by the whole run
    int64_t check_written;  // bytes_written and the free space at the start
    int64_t check_free;     // of the current shrink check
    int64_t queried_free;     // the free space last asked for (0: not yet)
    int64_t queried_written;  // bytes_written when it was asked
    record_tree records;  // files over the free records of the file table
};

int is_directory(const char *path)
{
    char full[MAX_PATH];
    DWORD length = sys::GetFullPathNameA(path, sizeof full, full, NULL);
    if (length >= 1 && length <= 3)
        return 1;
    struct sys::stat info;
    if (sys::stat(path, &info) != 0)
        return 0;
    return (info.st_mode & S_IFMT) == S_IFDIR ? 1 : 0;
}

static void show_remaining(int text, int64_t free_bytes)
{
    show_run_text(text, (free_bytes - RESERVE_BYTES) / MEGABYTE_DIVISOR);
}

// Flushes the stream and, with `commit`, commits the file to the medium
// before closing it, so that no zeros are still in the system's cache when
// the file is deleted. A stopped run skips the commit: the user is waiting.
static bool close_file(fill_run &run, bool commit)
{
    sys::fflush(run.file);
    bool committed = !commit || sys::_commit(sys::_fileno(run.file)) == 0;
    if (!committed)
        run.write_error = sys::GetLastError();
    sys::fclose(run.file);
    run.file = NULL;
    return committed;
}

static bool open_next_file(fill_run &run)
{
    temp_file_path(run.path, sizeof run.path, run.letter, run.fs, run.files_created);
    run.open_failure = open_temp_file(run.path, &run.file);
    if (run.open_failure != TEMP_OPENED)
        return false;
    run.files_created++;
    run.bytes_in_file = 0;
    return true;
}

// False once a whole stretch of writes has left the free space nearly
// where it was; the first call starts the first stretch.
static bool free_space_shrinks(fill_run &run, int64_t free_bytes)
{
    int64_t written = run.bytes_written - run.check_written;
    bool first = run.bytes_written == 0;
    if (!first && written < SHRINK_CHECK_BYTES)
        return true;
    bool shrinks = first || run.check_free - free_bytes >= written / 2;
    run.check_written = run.bytes_written;
    run.check_free = free_bytes;
    return shrinks;
}

static bool free_space_due(const fill_run &run)
{
    int64_t unchecked = run.bytes_written - run.queried_written;
    return run.queried_free == 0 || unchecked >= QUERY_STRIDE_BYTES ||
           unchecked >= (run.queried_free - RESERVE_BYTES) / 2;
}

// Appends zeros, one block per pass, until the free space that the volume
// reports is down to the reserve or the run cannot go on.
static fill_end write_zeros(fill_run &run)
{
    for (;;) {
        bool due = free_space_due(run);
        if (due) {
            run.queried_free = get_free_bytes(run.root);
            run.queried_written = run.bytes_written;
            if (run.queried_free <= RESERVE_BYTES)
                return RESERVE_REACHED;
        }
        if (!g_running)
            return STOPPED;
        if (due && !free_space_shrinks(run, run.queried_free))
            return NOT_SHRINKING;
        int64_t free_bytes = run.queried_free - (run.bytes_written - run.queried_written);
        if (is_fat_family(run.fs) && run.bytes_in_file > FILE_ROLLOVER_BYTES) {
            show_remaining(TEXT_REMAINING_SWITCHING, free_bytes);
            if (!close_file(run, true))
                return COMMIT_FAILED;
            if (!g_running)
                return STOPPED;
            if (!open_next_file(run))
                return CREATE_FAILED;
        }
        show_remaining(TEXT_REMAINING, free_bytes);
        size_t n = free_bytes > FULL_CHUNK_THRESHOLD ? (size_t)ZERO_BUFFER_SIZE
                                                     : (size_t)(free_bytes - RESERVE_BYTES);
        size_t written = sys::fwrite(run.zeros, 1, n, run.file);
        run.bytes_in_file += (int64_t)written;
        run.bytes_written += (int64_t)written;
        if (written != n) {
            run.write_error = sys::GetLastError();
            return SHORT_WRITE;
        }
    }
}

// The system's own text for an error code, on one line.
static void system_error_text(char *text, size_t size, DWORD error)
{
    char message[TEXT_SIZE] = "";
    DWORD length = sys::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       NULL, error, 0, message, sizeof message, NULL);
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n'))
        message[--length] = '\0';
    snprintf(text, size, "エラー %lu: %s", (unsigned long)error, message);
}

// A write that failed while space was still free leaves part of the free
// space unwritten: the user must hear of it. Failing at the very end, when
// another program took the last space, is the normal end of a full volume.
static void report_unfinished_fill(fill_run &run)
{
    if (get_free_bytes(run.root) <= FULL_CHUNK_THRESHOLD)
        return;
    char error[TEXT_SIZE];
    system_error_text(error, sizeof error, run.write_error);
    msgbox_printf(g_hDlg, MB_OK, BANNER,
                  "一時ファイル「%s」への書込みに失敗しました。\n"
                  "空き領域のゼロクリヤは完了していません。\n%s",
                  run.path, error);
}

// The temporary folder, there already (a leftover, reused) or made now.
static bool have_temp_folder(const fill_run &run, char *folder, size_t size)
{
    temp_folder_path(folder, size, run.letter);
    return is_directory(folder) || sys::CreateDirectoryA(folder, NULL);
}

// On NTFS, with the free space down to the reserve: the free records of the
// file table get their zeros too, from files in the temporary folder.
// False when the folder cannot be had: the step is left out.
static bool fill_records(fill_run &run, fill_end *end)
{
    char folder[ROOT_SIZE];
    // Taken before the folder is made, whose record may be the one that
    // makes the table grow.
    int64_t free_before = get_free_bytes(run.root);
    if (!have_temp_folder(run, folder, sizeof folder))
        return false;
    run.records.letter = run.letter;
    if (fill_free_records(&run.records, get_total_bytes(run.root), free_before, run.zeros) ==
        RECORDS_STOPPED)
        *end = STOPPED;
    return true;
}

// Every way out of the loop ends here: the file still open is closed, the
// temporary files are deleted, and a clean-up that leaves anything behind
// fails the run whatever it would have returned.
static int end_run(fill_run &run, fill_end end)
{
    if (end == CREATE_FAILED) {
        show_open_failure(run.path, run.open_failure);
        if (run.files_created == 0)
            return RUN_FAILED;
    }
    if (end == NOT_SHRINKING)
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "ドライブ %c: の空き領域が減りません。\n"
                      "ゼロを書き込んでも領域を消費しないドライブ（圧縮・重複除去など）のため、"
                      "処理を中止しました。",
                      run.letter);
    if (run.file != NULL) {
        // Shown while the stream's buffers are still being written out.
        show_run_text(end == SHORT_WRITE ? TEXT_WRITE_FALSE : TEXT_FLUSHING);
        if (!close_file(run, end == RESERVE_REACHED))
            end = COMMIT_FAILED;
    }
    if (end == COMMIT_FAILED)
        show_run_text(TEXT_WRITE_FALSE);
    if (end == SHORT_WRITE || end == COMMIT_FAILED)
        report_unfinished_fill(run);
    // A Cancel that came with the last block leaves the fill complete and
    // the step not begun.
    bool records = end == RESERVE_REACHED && run.fs == FS_NTFS && g_running &&
                   fill_records(run, &end);
    show_run_text(TEXT_DELETING);
    // The record files go first, as they were made last.
    bool records_left = false;
    if (records) {
        int64_t left = remove_record_tree(run.records);
        records_left = remove_temp_folder(run.letter, left > INT32_MAX ? INT32_MAX : (int)left) != 0;
    }
    if (delete_temp_files(run.letter, run.files_created, run.fs) != 0 || records_left)
        return RUN_FAILED;
    if (end == RESERVE_REACHED)
        return RUN_DONE;
    return end == STOPPED ? RUN_CANCELLED : RUN_FAILED;
}

static bool prepare_folder(fill_run &run)
{
    char folder[ROOT_SIZE];
    if (have_temp_folder(run, folder, sizeof folder))
        return true;
    msgbox_printf(g_hDlg, MB_OK, BANNER,
                  "一時ファイル保管用フォルダの作成に失敗しました。\n[%s]", folder);
    return false;
}

static int fill_with_zeros(fill_run &run)
{
    run.fs = get_fs_type(run.root);
    if (run.fs <= FS_OTHER) {
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "ファイルシステムが異常です。\n"
                      "本プログラムは、NTFS,FAT,FAT32 のみ対応です。\n"
                      "ファイルシステム = %s  (%s)",
                      g_fs_name, run.root);
        return RUN_FAILED;
    }
    if (is_fat_family(run.fs) && !prepare_folder(run))
        return RUN_FAILED;
    fill_end end = open_next_file(run) ? write_zeros(run) : CREATE_FAILED;
    return end_run(run, end);
}

int zero_fill_drive(char letter)
{
    reset_run_texts();
    show_run_text(TEXT_WRITING_DRIVE, (unsigned char)letter);
    if (!g_running)
        return RUN_CANCELLED;

    // On the heap, prepared once: safe whatever stack the calling thread has.
    char *zeros = (char *)calloc(1, ZERO_BUFFER_SIZE);
    if (zeros == NULL) {
        msgbox_printf(g_hDlg, MB_OK, BANNER, "メモリが不足しています。");
        return RUN_FAILED;
    }
    fill_run run = {};
    run.letter = letter;
    run.zeros = zeros;
    snprintf(run.root, sizeof run.root, "%c:\\", letter);
    int result = fill_with_zeros(run);
    free(zeros);
    return result;
}
