// Temporary file layout and clean-up.
#include "zerofill/temp_files.h"

#include <stdio.h>

#include "volume/volume.h"
#include "zerofill/own_entry.h"
#include "zerofill/run_front.h"

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
    if (failed == 0 && remove_own_entry(folder, true) != ENTRY_GONE)
        failed = -1;
    run_notice notice = {NOTICE_FOLDER_LEFT, folder[0], folder, NULL, failed, 0};
    if (failed > 0)
        notice.kind = NOTICE_FILES_LEFT;
    if (failed != 0)
        front_notice(notice);
    return failed;
}

// The system deletes a temporary file when the run closes it; one that is
// still there is deleted through a handle that shows it is the run's.
static bool delete_if_there(const char *path)
{
    return remove_own_entry(path, false) == ENTRY_GONE;
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
    run_notice notice = {NOTICE_FILE_LEFT, letter, path, NULL, 1, 0};
    front_notice(notice);
    return 1;
}

int delete_temp_files(char letter, int count, int fs)
{
    if (is_fat_family(fs))
        return delete_fat_files(letter, count);
    return delete_ntfs_file(letter);
}
