// Temporary file layout and clean-up.
#include "zerofill/temp_files.h"

#include <stdio.h>

#include "console/banner.h"
#include "console/console.h"
#include "zerofill/run_state.h"
#include "volume/volume.h"

void temp_folder_path(char *buffer, size_t size, char letter)
{
    snprintf(buffer, size, "%c:\\VOIDTEMP", letter);
}

void temp_file_path(char *buffer, size_t size, char letter, int fs, int index)
{
    if (is_fat_family(fs))
        snprintf(buffer, size, "%c:\\VOIDTEMP\\V_%6.6d.TMP", letter, index);
    else
        snprintf(buffer, size, "%c:\\V_%6.6d.TMP", letter, 0);
}

int remove_temp_folder(const char *folder, int files_left)
{
    int failed = files_left;
    if (failed == 0 && !sys::RemoveDirectoryA(folder))
        failed = -1;
    if (failed < 0)
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時フォルダ %s の削除に失敗しました。\n"
                      "お手数ですが、上記フォルダを手動削除して下さい。",
                      folder);
    if (failed > 0)
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "%s\\ 下の一時ファイル%d個の削除に失敗しました。\n"
                      "お手数ですが、上記ファイル・フォルダを手動削除して下さい。",
                      folder, failed);
    return failed;
}

// The system deletes a temporary file when the run closes it; one that is
// still there is deleted by name.
static bool delete_if_there(const char *path)
{
    return sys::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES ||
           sys::DeleteFileA(path) == TRUE;
}

static int delete_fat_files(char letter, int count)
{
    char path[PATH_BUFFER_SIZE];
    int failed = 0;
    for (int i = 0; i < count; i++) {
        temp_file_path(path, sizeof path, letter, FS_FAT32, i);
        if (!delete_if_there(path))
            failed++;
    }
    temp_folder_path(path, sizeof path, letter);
    return remove_temp_folder(path, failed);
}

static int delete_ntfs_file(char letter)
{
    char path[PATH_BUFFER_SIZE];
    temp_file_path(path, sizeof path, letter, FS_NTFS, 0);
    if (delete_if_there(path))
        return 0;
    msgbox_printf(g_hDlg, MB_OK, BANNER,
                  "一時ファイル「%s」の削除に失敗しました。\n"
                  "お手数ですが、上記ファイルを手動で削除して下さい。",
                  path);
    return 1;
}

int delete_temp_files(char letter, int count, int fs)
{
    if (is_fat_family(fs))
        return delete_fat_files(letter, count);
    return delete_ntfs_file(letter);
}
