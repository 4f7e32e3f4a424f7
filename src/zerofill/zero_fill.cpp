// The zero-fill run.
#include "zerofill/zero_fill.h"

#include <stdio.h>
#include <stdlib.h>

#include "console/banner.h"
#include "console/console.h"
#include "volume/format.h"
#include "volume/volume.h"
#include "zerofill/progress_lines.h"
#include "zerofill/temp_files.h"

enum { ROOT_SIZE = 64, TEXT_SIZE = 1024 };

static const char WRITE_FALSE_TEXT[] = "バッファ書込中。(Write False)";

// Why the write loop ended.
enum fill_end {
    RESERVE_REACHED,  // only the reserve is free
    STOPPED,          // Cancel, Escape or an interrupt
    SHORT_WRITE,      // a block was not written whole
    COMMIT_FAILED,    // a full file could not be committed at a switch
    CREATE_FAILED,    // the next temporary file could not be created
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

static void show_progress(int id, const char *text)
{
    sys::SetDlgItemTextA(g_hDlg, id, text);
}

static void show_remaining(const char *format, int64_t free_bytes)
{
    char number[TEXT_SIZE];
    char text[TEXT_SIZE];
    format_bytes(number, (free_bytes - RESERVE_BYTES) / MEGABYTE_DIVISOR);
    snprintf(text, sizeof text, format, number);
    show_progress(IDC_PROGRESS, text);
}

// Flushes the stream and commits the file to the medium before closing it,
// so that no zeros are still in the system's cache when the file is deleted.
static bool close_file(fill_run &run)
{
    sys::fflush(run.file);
    bool committed = sys::_commit(sys::_fileno(run.file)) == 0;
    sys::fclose(run.file);
    run.file = NULL;
    return committed;
}

static bool open_next_file(fill_run &run)
{
    temp_file_path(run.path, sizeof run.path, run.letter, run.fs, run.files_created);
    run.file = sys::fopen(run.path, "wb");
    if (run.file == NULL)
        return false;
    run.files_created++;
    run.bytes_in_file = 0;
    return true;
}

// Appends zeros, one block per pass, until the free space that the volume
// reports is down to the reserve or the run cannot go on.
static fill_end write_zeros(fill_run &run)
{
    for (;;) {
        int64_t free_bytes = get_free_bytes(run.root);
        if (free_bytes <= RESERVE_BYTES)
            return RESERVE_REACHED;
        if (!g_running)
            return STOPPED;
        if (is_fat_family(run.fs) && run.bytes_in_file > FILE_ROLLOVER_BYTES) {
            show_remaining("残り %s (MB,バッファ書込中)", free_bytes);
            if (!close_file(run))
                return COMMIT_FAILED;
            if (!g_running)
                return STOPPED;
            if (!open_next_file(run))
                return CREATE_FAILED;
        }
        show_remaining("残り %s (MB)", free_bytes);
        size_t n = free_bytes > FULL_CHUNK_THRESHOLD ? (size_t)ZERO_BUFFER_SIZE
                                                     : (size_t)(free_bytes - RESERVE_BYTES);
        size_t written = sys::fwrite(run.zeros, 1, n, run.file);
        run.bytes_in_file += (int64_t)written;
        if (written != n)
            return SHORT_WRITE;
    }
}

// Every way out of the loop ends here: the file still open is closed, the
// temporary files are deleted, and a clean-up that leaves anything behind
// fails the run whatever it would have returned.
static int end_run(fill_run &run, fill_end end)
{
    if (end == CREATE_FAILED) {
        msgbox_printf(g_hDlg, MB_OK, BANNER, "一時ファイル「%s」の作成に失敗しました。",
                      run.path);
        if (run.files_created == 0)
            return RUN_FAILED;
    }
    if (run.file != NULL) {
        if (end == SHORT_WRITE) {
            // Shown while the stream's buffers are still being written out.
            show_progress(IDC_PROGRESS, WRITE_FALSE_TEXT);
            close_file(run);
        } else {
            show_progress(IDC_PROGRESS, "バッファ書込中。お待ち下さい。");
            if (!close_file(run))
                end = COMMIT_FAILED;
        }
    }
    if (end == COMMIT_FAILED)
        show_progress(IDC_PROGRESS, WRITE_FALSE_TEXT);
    show_progress(IDC_PROGRESS, "ファイル削除中。お待ち下さい。");
    if (delete_temp_files(run.letter, run.files_created, run.fs) != 0)
        return RUN_FAILED;
    if (end == RESERVE_REACHED)
        return RUN_DONE;
    return end == STOPPED ? RUN_CANCELLED : RUN_FAILED;
}

static bool prepare_folder(fill_run &run)
{
    char folder[ROOT_SIZE];
    temp_folder_path(folder, sizeof folder, run.letter);
    if (is_directory(folder) || sys::CreateDirectoryA(folder, NULL))
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
    char status[TEXT_SIZE];
    snprintf(status, sizeof status, "%c: ドライブにゼロを書込中", letter);
    show_progress(IDC_STATUS, status);
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
