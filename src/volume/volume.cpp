// File-system kind and space queries.
#include "volume/volume.h"

#include "platform/os.h"
#include "platform/kernel32_function.h"

char g_fs_name[FS_NAME_SIZE] = FS_NAME_UNKNOWN;

typedef BOOL(WINAPI *get_disk_free_space_ex_fn)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                                PULARGE_INTEGER);

static char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

bool ascii_equal_ignoring_case(const char *a, const char *b)
{
    while (*a != '\0' && ascii_lower(*a) == ascii_lower(*b)) {
        a++;
        b++;
    }
    return ascii_lower(*a) == ascii_lower(*b);
}

int get_fs_type(const char *root)
{
    if (sys::GetVolumeInformationA(root, NULL, 0, NULL, NULL, NULL, g_fs_name,
                                   sizeof g_fs_name) != 1)
        return FS_ERROR;
    if (ascii_equal_ignoring_case(g_fs_name, "NTFS"))
        return FS_NTFS;
    if (ascii_equal_ignoring_case(g_fs_name, "FAT"))
        return FS_FAT;
    if (ascii_equal_ignoring_case(g_fs_name, "FAT32"))
        return FS_FAT32;
    return FS_OTHER;
}

void drive_root(char root[ROOT_TEXT_SIZE], char letter)
{
    root[0] = letter;
    root[1] = ':';
    root[2] = '\\';
    root[3] = '\0';
}

// "d:", "d:\" and "d:\any\folder" all name the root "d:\"; other paths
// (a network share) go to the system unchanged.
static const char *root_of(const char *path, char root[ROOT_TEXT_SIZE])
{
    if (path[0] == '\0' || path[1] != ':')
        return path;
    drive_root(root, path[0]);
    return root;
}

enum space_count { FREE_TO_CALLER, FREE_ON_VOLUME, TOTAL };

// Each space function owns one of these: the entry point is looked up once,
// at its first call, and the outcome kept for the life of the process.
struct free_space_ex_lookup {
    int looked_up;
    get_disk_free_space_ex_fn function;
};

static int64_t query_space(const char *path, space_count which, free_space_ex_lookup &lookup)
{
    char root_buffer[ROOT_TEXT_SIZE];
    const char *root = root_of(path, root_buffer);
    if (!lookup.looked_up) {
        lookup.function = kernel32_function<get_disk_free_space_ex_fn>("GetDiskFreeSpaceExA");
        lookup.looked_up = 1;
    }
    if (lookup.function != NULL) {
        ULARGE_INTEGER available, total, total_free;
        if (lookup.function(root, &available, &total, &total_free) == 0)
            return -1;
        return (int64_t)(which == TOTAL            ? total.QuadPart
                         : which == FREE_ON_VOLUME ? total_free.QuadPart
                                                   : available.QuadPart);
    }
    DWORD sectors_per_cluster, bytes_per_sector, free_clusters, total_clusters;
    if (sys::GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                               &total_clusters) == 0)
        return -1;
    uint64_t clusters = which == TOTAL ? total_clusters : free_clusters;
    return (int64_t)(clusters * (uint64_t)sectors_per_cluster * (uint64_t)bytes_per_sector);
}

int64_t get_free_bytes(const char *path)
{
    static free_space_ex_lookup lookup = {0, NULL};
    return query_space(path, FREE_TO_CALLER, lookup);
}

int64_t get_volume_free_bytes(const char *path)
{
    static free_space_ex_lookup lookup = {0, NULL};
    return query_space(path, FREE_ON_VOLUME, lookup);
}

int64_t get_total_bytes(const char *path)
{
    static free_space_ex_lookup lookup = {0, NULL};
    return query_space(path, TOTAL, lookup);
}

int64_t get_cluster_bytes(const char *path)
{
    char root_buffer[ROOT_TEXT_SIZE];
    DWORD sectors_per_cluster, bytes_per_sector, free_clusters, total_clusters;
    if (sys::GetDiskFreeSpaceA(root_of(path, root_buffer), &sectors_per_cluster,
                               &bytes_per_sector, &free_clusters, &total_clusters) == 0)
        return -1;
    return (int64_t)sectors_per_cluster * bytes_per_sector;
}
