// Files and folders removed through the handle that checked them.
#include "zerofill/own_entry.h"

#include <string.h>

#include "platform/kernel32_function.h"
#include "volume/volume.h"

typedef DWORD(WINAPI *get_final_path_fn)(HANDLE, LPSTR, DWORD, DWORD);
typedef BOOL(WINAPI *set_file_information_fn)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

static set_file_information_fn set_file_information()
{
    static const set_file_information_fn function =
        kernel32_function<set_file_information_fn>("SetFileInformationByHandle");
    return function;
}

// Some systems show a symbolic link as the plain file it points at (Wine
// does so for a link of the host's file system): the whole path that the
// open handle has must be the one asked for. Where the system cannot say
// (before Vista, where files have no symbolic links) the attributes decide;
// where it can and does not, the entry is not taken for ours.
static bool opened_under_own_name(HANDLE handle, const char *path)
{
    static const get_final_path_fn final_path =
        kernel32_function<get_final_path_fn>("GetFinalPathNameByHandleA");
    if (final_path == NULL)
        return true;
    char name[2 * MAX_PATH];
    DWORD length = final_path(handle, name, sizeof name, 0);
    if (length == 0 || length >= sizeof name)
        return false;
    const char *local = strncmp(name, "\\\\?\\", 4) == 0 ? name + 4 : name;
    return ascii_equal_ignoring_case(local, path);
}

static entry_kind kind_of_open(HANDLE handle, const char *path)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!sys::GetFileInformationByHandle(handle, &info))
        return ENTRY_UNREADABLE;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ENTRY_LINK;
    bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder && info.nNumberOfLinks != 1)
        return ENTRY_HARD_LINKED;
    if (!opened_under_own_name(handle, path))
        return ENTRY_LINK;
    // Checked here, not left to the system: whoever runs the program (an
    // administrator, or root under Wine) may be allowed to delete it.
    if (!folder && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        return ENTRY_READ_ONLY;
    return folder ? ENTRY_FOLDER : ENTRY_FILE;
}

entry_kind open_entry(const char *path, HANDLE *handle)
{
    // Backup semantics let a folder be opened; opening the reparse point
    // itself keeps a link from leading anywhere.
    *handle = sys::CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (*handle == INVALID_HANDLE_VALUE) {
        DWORD error = sys::GetLastError();
        *handle = NULL;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_DELETE_PENDING)
            return ENTRY_GONE;
        return error == ERROR_SHARING_VIOLATION ? ENTRY_IN_USE : ENTRY_UNREADABLE;
    }
    return kind_of_open(*handle, path);
}

void close_entry(HANDLE handle)
{
    if (handle != NULL)
        sys::CloseHandle(handle);
}

bool delete_entry(HANDLE handle, const char *path, entry_kind kind)
{
    set_file_information_fn set = set_file_information();
    if (set == NULL) {
        // Before Vista: no deletion through a handle, and no symbolic link
        // of a file either; the name is deleted right after the check.
        sys::CloseHandle(handle);
        return kind == ENTRY_FOLDER ? sys::RemoveDirectoryA(path) != 0
                                    : sys::DeleteFileA(path) != 0;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool deleted = set(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
    sys::CloseHandle(handle);
    return deleted;
}

entry_kind remove_own_entry(const char *path, bool folder)
{
    HANDLE handle;
    entry_kind kind = open_entry(path, &handle);
    if (kind == (folder ? ENTRY_FOLDER : ENTRY_FILE))
        return delete_entry(handle, path, kind) ? ENTRY_GONE : ENTRY_UNREADABLE;
    close_entry(handle);
    return kind;
}

entry_kind entry_at(const char *path)
{
    HANDLE handle;
    entry_kind kind = open_entry(path, &handle);
    close_entry(handle);
    return kind;
}

bool empty_file(HANDLE handle)
{
    FILE_END_OF_FILE_INFO end = {};
    set_file_information_fn set = set_file_information();
    return set != NULL && set(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}
