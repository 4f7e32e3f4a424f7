// Opening a temporary file.
#include "zerofill/open_temp_file.h"

#include <string.h>

#include "console/banner.h"
#include "console/console.h"
#include "volume/kernel32_function.h"
#include "volume/volume.h"
#include "zerofill/run_state.h"

typedef DWORD(WINAPI *get_final_path_fn)(HANDLE, LPSTR, DWORD, DWORD);

// Why a name in the way of the temporary file is not the run's own file.
static temp_open_result kind_of(DWORD attributes, DWORD links)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return TEMP_IS_LINK;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return TEMP_IS_FOLDER;
    if (links != 1)
        return TEMP_HAS_LINKS;
    // Checked here too, not left to the system: whoever runs the program
    // (an administrator, or root under Wine) may be allowed to write it.
    return attributes & FILE_ATTRIBUTE_READONLY ? TEMP_READ_ONLY : TEMP_OPENED;
}

static const char *last_component(const char *path)
{
    const char *slash = strrchr(path, '\\');
    return slash != NULL ? slash + 1 : path;
}

// Some systems show a symbolic link as the plain file it points at (Wine
// does so for a link of the host's file system); the open file's own name
// then differs from the temporary file's. Where the name cannot be asked
// (before Vista), the attributes alone decide.
static bool opened_under_own_name(HANDLE handle, const char *path)
{
    static const get_final_path_fn final_path =
        kernel32_function<get_final_path_fn>("GetFinalPathNameByHandleA");
    if (final_path == NULL)
        return true;
    char name[2 * MAX_PATH];
    DWORD length = final_path(handle, name, sizeof name, 0);
    if (length == 0 || length >= sizeof name)
        return true;
    return ascii_equal_ignoring_case(last_component(name), last_component(path));
}

static temp_open_result why_not_opened(const char *path, DWORD error)
{
    DWORD attributes = sys::GetFileAttributesA(path);
    temp_open_result kind =
        attributes != INVALID_FILE_ATTRIBUTES ? kind_of(attributes, 1) : TEMP_OPENED;
    if (kind != TEMP_OPENED)
        return kind;
    return error == ERROR_SHARING_VIOLATION ? TEMP_IN_USE : TEMP_CREATE_FAILED;
}

// CREATE_NEW: whatever stands at the name, a link included, is never
// opened here, so that closing the handle can only ever delete this file.
static HANDLE create_new(const char *path)
{
    // Readers may share the file, writers may not.
    return sys::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
}

// Something already has the name. A plain file of one name, which only an
// interrupted run leaves, is deleted; anything else is left untouched.
// TEMP_OPENED when the name is free again.
static temp_open_result remove_leftover(const char *path)
{
    // A link is opened as itself, never followed to what it points at.
    HANDLE handle = sys::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return why_not_opened(path, sys::GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    temp_open_result kind = sys::GetFileInformationByHandle(handle, &info)
                                ? kind_of(info.dwFileAttributes, info.nNumberOfLinks)
                                : TEMP_CREATE_FAILED;
    if (kind == TEMP_OPENED && !opened_under_own_name(handle, path))
        kind = TEMP_IS_LINK;
    sys::CloseHandle(handle);
    if (kind == TEMP_OPENED && !sys::DeleteFileA(path))
        return why_not_opened(path, sys::GetLastError());
    return kind;
}

// Keeps a second handle, turns compression off (a file system without
// compression refuses the request, which is fine) and puts a stream on the
// first handle, which the stream then owns. Both are closed on failure.
static temp_open_result attach_stream(HANDLE handle, sys::FILE **stream, HANDLE *hold)
{
    HANDLE process = sys::GetCurrentProcess();
    if (!sys::DuplicateHandle(process, handle, process, hold, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        *hold = NULL;
        sys::CloseHandle(handle);
        return TEMP_CREATE_FAILED;
    }
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0;
    sys::DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, NULL, 0,
                         &returned, NULL);
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

temp_open_result open_temp_file(const char *path, sys::FILE **stream, HANDLE *hold)
{
    *stream = NULL;
    *hold = NULL;
    HANDLE handle = create_new(path);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = sys::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return why_not_opened(path, error);
        temp_open_result leftover = remove_leftover(path);
        if (leftover != TEMP_OPENED)
            return leftover;
        handle = create_new(path);
        if (handle == INVALID_HANDLE_VALUE)
            return why_not_opened(path, sys::GetLastError());
    }
    return attach_stream(handle, stream, hold);
}

void show_open_failure(const char *path, temp_open_result why)
{
    static const char NOT_OURS[] = "\n本プログラムの一時ファイルではないため、処理を中止しました。";
    switch (why) {
    case TEMP_IN_USE:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時ファイル「%s」は他のプログラムが使用中です。\n"
                      "同じドライブのゼロクリヤが実行中でないか確認して下さい。",
                      path);
        break;
    case TEMP_IS_FOLDER:
        msgbox_printf(g_hDlg, MB_OK, BANNER, "一時ファイル「%s」はフォルダです。%s", path,
                      NOT_OURS);
        break;
    case TEMP_IS_LINK:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時ファイル「%s」はリンク（リパースポイント）です。%s", path, NOT_OURS);
        break;
    case TEMP_HAS_LINKS:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時ファイル「%s」は他のファイルとハードリンクで共有されています。%s", path,
                      NOT_OURS);
        break;
    case TEMP_READ_ONLY:
        msgbox_printf(g_hDlg, MB_OK, BANNER, "一時ファイル「%s」は読み取り専用です。%s", path,
                      NOT_OURS);
        break;
    default:
        msgbox_printf(g_hDlg, MB_OK, BANNER, "一時ファイル「%s」の作成に失敗しました。", path);
        break;
    }
}
