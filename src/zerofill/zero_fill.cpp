// The zero-fill run.
#include "zerofill/zero_fill.h"

#include <stdio.h>
#include <stdlib.h>

#include "console/banner.h"
#include "console/console.h"
#include "volume/kernel32_function.h"
#include "volume/volume.h"
#include "zerofill/free_records.h"
#include "zerofill/open_temp_file.h"
#include "zerofill/run_text.h"
#include "zerofill/temp_files.h"

enum {
    ROOT_SIZE = 64,
    TEXT_SIZE = 1024,
    // A FAT file holds 2 GB: room for a FAT32 volume of 16 TiB.
    MOST_TEMP_FILES = 8192,
};

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
// Within this of the reserve it is asked before every block again, so that
// another program taking space near the end cannot push the fill more than
// one block into the reserve.
static const int64_t NEAR_RESERVE_BYTES = 64 * 1048576;

// Why the write loop ended.
enum fill_end {
    RESERVE_REACHED,  // only the reserve is free
    STOPPED,          // Cancel, Escape or an interrupt
    SHORT_WRITE,      // a block was not written whole
    COMMIT_FAILED,    // a file could not be committed to the medium
    CREATE_FAILED,    // the next temporary file could not be created
    NOT_SHRINKING,    // the zeros written take no space
    QUERY_FAILED,     // the free space could not be asked
};

// Everything one run owns.
struct fill_run {
    char letter;
    int fs;
    char root[ROOT_SIZE];
    char path[PATH_BUFFER_SIZE];
    bool made_folder;  // FAT family: this run made the temporary folder
    int files_created;
    // Each file's second handle: it stays open, and the file with it, until
    // the end of the run, when closing it lets the system delete the file.
    HANDLE holds[MOST_TEMP_FILES];
    int64_t bytes_in_file;
    sys::FILE *file;
    const char *zeros;
    temp_open_result open_failure;
    DWORD error;  // of the last short write, failed commit or failed query
    int64_t bytes_written;  // by the whole run
    // At the start of the current shrink check: the file's bytes (-1: no
    // check begun for this file), the free space and the file's allocation.
    int64_t check_written;
    int64_t check_free;
    int64_t check_allocated;
    int64_t queried_free;     // the free space last asked for (0: not yet)
    int64_t queried_written;  // bytes_written when it was asked
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
// before closing the stream, so that no zeros are still in the system's
// cache when the file is deleted. A stopped run skips the commit: the user
// is waiting. The file itself stays, held by its second handle.
static bool close_file(fill_run &run, bool commit)
{
    sys::fflush(run.file);
    bool committed = !commit || sys::_commit(sys::_fileno(run.file)) == 0;
    if (!committed)
        run.error = sys::GetLastError();
    sys::fclose(run.file);
    run.file = NULL;
    return committed;
}

static bool open_next_file(fill_run &run)
{
    temp_file_path(run.path, sizeof run.path, run.letter, run.fs, run.files_created);
    if (run.files_created == MOST_TEMP_FILES) {
        run.open_failure = TEMP_CREATE_FAILED;
        return false;
    }
    run.open_failure = open_temp_file(run.path, &run.file, &run.holds[run.files_created]);
    if (run.open_failure != TEMP_OPENED)
        return false;
    run.files_created++;
    run.bytes_in_file = 0;
    run.check_written = -1;
    return true;
}

typedef BOOL(WINAPI *get_file_information_fn)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// What the open file's data takes on the volume: less than its length when
// the file is compressed or sparse; -1 where it cannot be asked (before
// Vista).
static int64_t allocated_bytes(HANDLE file)
{
    static const get_file_information_fn file_information =
        kernel32_function<get_file_information_fn>("GetFileInformationByHandleEx");
    FILE_STANDARD_INFO info;
    if (file_information == NULL || !file_information(file, FileStandardInfo, &info, sizeof info))
        return -1;
    return info.AllocationSize.QuadPart;
}

// False once a whole stretch of writes to the file has neither brought the
// free space down nor grown the file's allocation by half as much. Either
// alone can mislead: another program that frees space meanwhile hides the
// fall of the free space, and the allocation cannot always be asked. The
// first call for a file begins its first stretch.
static bool zeros_take_space(fill_run &run, int64_t free_bytes)
{
    int64_t written = run.bytes_in_file - run.check_written;
    bool begun = run.check_written >= 0;
    if (begun && written < SHRINK_CHECK_BYTES)
        return true;
    int64_t allocated = allocated_bytes(run.holds[run.files_created - 1]);
    bool takes = !begun || run.check_free - free_bytes >= written / 2 ||
                 (allocated >= 0 && run.check_allocated >= 0 &&
                  allocated - run.check_allocated >= written / 2);
    run.check_written = run.bytes_in_file;
    run.check_free = free_bytes;
    run.check_allocated = allocated;
    return takes;
}

static bool free_space_due(const fill_run &run)
{
    int64_t unchecked = run.bytes_written - run.queried_written;
    int64_t to_reserve = run.queried_free - RESERVE_BYTES;
    return run.queried_free == 0 || to_reserve <= NEAR_RESERVE_BYTES ||
           unchecked >= QUERY_STRIDE_BYTES || unchecked >= to_reserve / 2;
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
            if (run.queried_free < 0) {
                run.error = sys::GetLastError();
                return QUERY_FAILED;
            }
            if (run.queried_free <= RESERVE_BYTES)
                return RESERVE_REACHED;
        }
        if (!g_running)
            return STOPPED;
        if (due && !zeros_take_space(run, run.queried_free))
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
            run.error = sys::GetLastError();
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
// space unwritten, a commit that failed may have left the zeros short of
// the medium, and without the free space the fill cannot know where to
// stop: the user must hear of it. A write failing at the very end, when
// another program took the last space, is the normal end of a full volume.
static void report_unfinished_fill(fill_run &run, fill_end end)
{
    if (end == SHORT_WRITE && get_free_bytes(run.root) <= FULL_CHUNK_THRESHOLD)
        return;
    char cause[2 * PATH_BUFFER_SIZE];
    if (end == QUERY_FAILED)
        snprintf(cause, sizeof cause, "ドライブ %c: の空き領域を取得できませんでした。", run.letter);
    else
        snprintf(cause, sizeof cause, "一時ファイル「%s」への書込みに失敗しました。", run.path);
    char error[TEXT_SIZE];
    system_error_text(error, sizeof error, run.error);
    msgbox_printf(g_hDlg, MB_OK, BANNER, "%s\n空き領域のゼロクリヤは完了していません。\n%s", cause,
                  error);
}

// On NTFS, with the free space down to the reserve: the free records of the
// file table get their zeros too. False when the step was left out.
static bool fill_records(fill_run &run, fill_end *end)
{
    // Taken before the step's folder is made, whose record may be the one
    // that makes the table grow.
    int64_t free_before = get_free_bytes(run.root);
    records_end step =
        fill_free_records(run.letter, get_total_bytes(run.root), free_before, run.zeros);
    if (step == RECORDS_STOPPED)
        *end = STOPPED;
    return step != RECORDS_LEFT_OUT;
}

// Closing the last handle of a temporary file deletes it.
static void release_temp_files(fill_run &run)
{
    for (int i = 0; i < run.files_created; i++)
        sys::CloseHandle(run.holds[i]);
}

// Every way out of the loop ends here: the file still open is closed, the
// temporary files are deleted, and a clean-up that leaves anything behind
// fails the run whatever it would have returned.
static int end_run(fill_run &run, fill_end end)
{
    if (end == CREATE_FAILED) {
        show_open_failure(run.path, run.open_failure);
        if (run.files_created == 0) {
            // A folder this run made goes again; one it found stays.
            if (run.made_folder) {
                char folder[ROOT_SIZE];
                temp_folder_path(folder, sizeof folder, run.letter);
                remove_temp_folder(folder, 0);
            }
            return RUN_FAILED;
        }
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
    if (end == SHORT_WRITE || end == COMMIT_FAILED || end == QUERY_FAILED)
        report_unfinished_fill(run, end);
    // A Cancel that came with the last block leaves the fill complete and
    // the step not begun.
    bool records = end == RESERVE_REACHED && run.fs == FS_NTFS && g_running &&
                   fill_records(run, &end);
    show_run_text(TEXT_DELETING);
    // The big files' space comes back first: the volume must not stay full
    // while thousands of small files are removed, and a closing console
    // gives the program only seconds.
    release_temp_files(run);
    bool files_left = delete_temp_files(run.letter, run.files_created, run.fs) != 0;
    if ((records && remove_record_folder(run.letter) != 0) || files_left)
        return RUN_FAILED;
    if (end == RESERVE_REACHED)
        return RUN_DONE;
    return end == STOPPED ? RUN_CANCELLED : RUN_FAILED;
}

// The temporary folder, there already (a leftover, reused) or made now; a
// link by that name is not entered.
static bool prepare_folder(fill_run &run)
{
    char folder[ROOT_SIZE];
    temp_folder_path(folder, sizeof folder, run.letter);
    DWORD attributes = sys::GetFileAttributesA(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時フォルダ「%s」はリンク（リパースポイント）です。\n"
                      "本プログラムの一時フォルダではないため、処理を中止しました。",
                      folder);
        return false;
    }
    if (is_directory(folder))
        return true;
    run.made_folder = sys::CreateDirectoryA(folder, NULL) != 0;
    if (run.made_folder)
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
    if (!open_next_file(run))
        return end_run(run, CREATE_FAILED);
    // With the file open no other run on the drive can be going: a tree
    // that a killed run left is removed now, before the step needs its name.
    if (run.fs == FS_NTFS)
        remove_record_folder(run.letter);
    return end_run(run, write_zeros(run));
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
