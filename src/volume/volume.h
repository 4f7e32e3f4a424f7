// Read-only questions about a mounted volume: its file-system kind, the
// bytes the user may still write and its size. Nothing is shown here.
#pragma once

#include <stdint.h>

enum {
    FS_ERROR = -1,
    FS_OTHER = 0,
    FS_NTFS = 1,
    FS_FAT = 2,
    FS_FAT32 = 3,
};

// FAT and FAT32 keep the temporary files in a folder and switch files
// before they grow too large for the file system.
inline bool is_fat_family(int fs)
{
    return fs == FS_FAT || fs == FS_FAT32;
}

enum { FS_NAME_SIZE = 16, ROOT_TEXT_SIZE = 4 };

// "d:\" for the letter d, in either case as given.
void drive_root(char root[ROOT_TEXT_SIZE], char letter);

// The file-system name the system last reported; FS_NAME_UNKNOWN until then.
extern char g_fs_name[FS_NAME_SIZE];
#define FS_NAME_UNKNOWN "Error"

int get_fs_type(const char *root);
// The bytes this user may still write: under a disk quota, fewer than the
// volume has free.
int64_t get_free_bytes(const char *path);
// The volume's own free bytes, whoever may write them.
int64_t get_volume_free_bytes(const char *path);
int64_t get_total_bytes(const char *path);
// The bytes of one cluster, the least a file takes of the free space; -1
// where the system does not say.
int64_t get_cluster_bytes(const char *path);

// Equality of two texts with only the ASCII letters folded.
bool ascii_equal_ignoring_case(const char *a, const char *b);
