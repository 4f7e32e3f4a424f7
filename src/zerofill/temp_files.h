// Where a run keeps its temporary files, and their removal.
#pragma once

#include <stddef.h>

struct own_entry;

enum { PATH_BUFFER_SIZE = 1024 };

// NTFS: one file in the root. FAT family: numbered files in a folder.
void temp_folder_path(char *buffer, size_t size, char letter);
void temp_file_path(char *buffer, size_t size, char letter, int fs, int index);

// Deletes the temporary files that are still there (closing its last handle
// already deleted each one): 0 when everything is gone; FAT family: the
// number of files left, or -1 for the folder; NTFS: 1 for the file.
// Failures are shown in a message box.
int delete_temp_files(char letter, int count, int fs);

// What could not be removed of a folder's contents.
struct entries_left {
    int files;    // and whatever else is not a folder: links
    int folders;
};

// Removes the open, emptied `folder` (at `path`), or, with entries left in
// it, says so: 0, the files left, or -1 for the folder, each failure shown
// in a box. Closes `folder`.
int remove_temp_folder(own_entry *folder, const char *path, entries_left left);
