// Opening a temporary file.
#include "zerofill/open_temp_file.h"

#include "zerofill/own_entry.h"
#include "zerofill/run_front.h"

static temp_open_result result_for(entry_kind kind)
{
    switch (kind) {
    case ENTRY_FOLDER:
        return TEMP_IS_FOLDER;
    case ENTRY_LINK:
        return TEMP_IS_LINK;
    case ENTRY_HARD_LINKED:
        return TEMP_HAS_LINKS;
    case ENTRY_READ_ONLY:
        return TEMP_READ_ONLY;
    case ENTRY_IN_USE:
        return TEMP_IN_USE;
    default:
        return TEMP_CREATE_FAILED;
    }
}

// Why the file could not be made: something in the way that is not ours is
// named as what it is.
static temp_open_result why_not_opened(entry_kind found, DWORD error)
{
    if (found != ENTRY_FILE && found != ENTRY_GONE && found != ENTRY_UNREADABLE)
        return result_for(found);
    return error == ERROR_SHARING_VIOLATION ? TEMP_IN_USE : TEMP_CREATE_FAILED;
}

// CREATE_NEW: whatever stands at the name is never opened here, so that
// closing the handle can only ever delete this file; and a link planted at
// the name is not followed to create its target elsewhere. Read access
// too: the system turns compression off only for a handle that may read
// and write the data.
static HANDLE create_new(const char *path, bool unbuffered)
{
    // Readers may share the file, writers may not; nobody, where it may
    // show old data.
    return sys::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, unbuffered ? 0 : FILE_SHARE_READ,
                            NULL, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE |
                                FILE_FLAG_OPEN_REPARSE_POINT |
                                (unbuffered ? FILE_FLAG_NO_BUFFERING : 0),
                            NULL);
}

// A file system without compression refuses the request, which is fine.
static void turn_compression_off(HANDLE handle)
{
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0;
    sys::DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, NULL, 0,
                         &returned, NULL);
}

// Keeps a second handle, turns compression off and puts a stream on the
// first handle, which the stream then owns. Both are closed on failure.
static temp_open_result attach_stream(HANDLE handle, sys::FILE **stream, HANDLE *hold)
{
    HANDLE process = sys::GetCurrentProcess();
    if (!sys::DuplicateHandle(process, handle, process, hold, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        *hold = NULL;
        sys::CloseHandle(handle);
        return TEMP_CREATE_FAILED;
    }
    turn_compression_off(handle);
    int fd = sys::_open_osfhandle((intptr_t)handle, _O_WRONLY | _O_BINARY);
    if (fd == -1)
        sys::CloseHandle(handle);
    else if ((*stream = sys::_fdopen(fd, "wb")) == NULL)
        sys::_close(fd);
    if (*stream != NULL)
        return TEMP_OPENED;
    sys::CloseHandle(*hold);
    *hold = NULL;
    return TEMP_CREATE_FAILED;
}

static temp_open_result create_temp_file(const char *path, bool unbuffered, HANDLE *handle)
{
    // A file that the run could not reach again from the drive's root, to
    // check and remove it, is not made at all.
    *handle = INVALID_HANDLE_VALUE;
    if (drive_root_entry().handle == NULL)
        return TEMP_CREATE_FAILED;
    *handle = create_new(path, unbuffered);
    DWORD error = *handle == INVALID_HANDLE_VALUE ? sys::GetLastError() : 0;
    entry_kind found = ENTRY_GONE;
    if (*handle == INVALID_HANDLE_VALUE) {
        // Something has the name. A plain file of one name, which only an
        // interrupted run leaves, is reached from the root, and deleted
        // through the handle that checked it; anything else is left
        // untouched, and named.
        bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        found = taken ? remove_own_entry(path, false) : entry_at(path);
        if (taken && found == ENTRY_GONE) {
            *handle = create_new(path, unbuffered);
            error = *handle == INVALID_HANDLE_VALUE ? sys::GetLastError() : 0;
        }
    }
    return *handle != INVALID_HANDLE_VALUE ? TEMP_OPENED : why_not_opened(found, error);
}

temp_open_result open_temp_file(const char *path, sys::FILE **stream, HANDLE *hold)
{
    *stream = NULL;
    *hold = NULL;
    HANDLE handle;
    temp_open_result result = create_temp_file(path, false, &handle);
    return result == TEMP_OPENED ? attach_stream(handle, stream, hold) : result;
}

temp_open_result open_unbuffered_temp_file(const char *path, HANDLE *file)
{
    temp_open_result result = create_temp_file(path, true, file);
    if (result == TEMP_OPENED)
        turn_compression_off(*file);
    else
        *file = NULL;
    return result;
}

bool empty_temp_file(HANDLE hold)
{
    return empty_file(hold);
}

void show_open_failure(char letter, const char *path, temp_open_result why)
{
    static const run_notice_kind notices[] = {
        NOTICE_FILE_NOT_MADE,   // TEMP_OPENED: not a failure, never shown
        NOTICE_FILE_NOT_MADE,   NOTICE_FILE_IN_USE,    NOTICE_FILE_IS_FOLDER,
        NOTICE_FILE_IS_LINK,    NOTICE_FILE_HAS_LINKS, NOTICE_FILE_READ_ONLY,
    };
    run_notice notice = {notices[why], letter, path, NULL, 0, 0};
    front_notice(notice);
}
