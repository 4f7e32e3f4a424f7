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

int remove_temp_folder(own_entry *folder, const char *path, entries_left left)
{
    bool removed = left.files == 0 && left.folders == 0 && delete_entry(folder);
    close_entry(folder);
    if (removed)
        return 0;
    run_notice notice = {NOTICE_FOLDER_LEFT, path[0], path, NULL, left.files, 0, left.folders};
    if (left.files > 0)
        notice.kind = NOTICE_FILES_LEFT;
    front_notice(notice);
    return left.files > 0 ? left.files : -1;
}

// The system deletes a temporary file when the run closes it; one that is
// still there is deleted through a handle that shows it is the run's.
static int delete_fat_files(char letter, int count)
{
    char path[PATH_BUFFER_SIZE];
    temp_folder_path(path, sizeof path, letter);
    own_entry folder;
    entry_kind kind = open_entry(path, &folder);
    if (kind == ENTRY_GONE)
        return 0;
    entries_left left = {0, 0};
    for (int i = 0; kind == ENTRY_FOLDER && i < count; i++) {
        char name[24];
        snprintf(name, sizeof name, "V_%6.6d.TMP", i);
        own_entry file;
        entry_kind found = open_below(folder, name, &file);
        if (found != ENTRY_GONE && !(found == ENTRY_FILE && delete_entry(&file))) {
            close_entry(&file);
            left.files++;
        }
    }
    // A folder that is not the run's is not entered: it stays, and is named.
    if (kind != ENTRY_FOLDER)
        left.folders = 1;
    return remove_temp_folder(&folder, path, left);
}

static int delete_ntfs_file(char letter)
{
    char path[PATH_BUFFER_SIZE];
    temp_file_path(path, sizeof path, letter, FS_NTFS, 0);
    if (remove_own_entry(path, false) == ENTRY_GONE)
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
