// Files and folders reached from the drive's root, checked and removed
// through the handle that reached them.
#include "zerofill/own_entry.h"

#include <string.h>

#include "platform/ntdll_function.h"
#include "volume/volume.h"

typedef NTSTATUS(WINAPI *create_file_fn)(HANDLE *, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                         PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                         ULONG, void *, ULONG);
typedef NTSTATUS(WINAPI *query_volume_fn)(HANDLE, PIO_STATUS_BLOCK, void *, ULONG, ULONG);

enum { NAME_SIZE = 64 };

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What NtCreateFile says where it could not be asked (STATUS_UNSUCCESSFUL).
static const NTSTATUS NOT_ASKED = (NTSTATUS)0xC0000001L;

// The run's drive.
struct drive_state {
    char letter;
    own_entry root;
    // VOLUME_NAME_DOS; VOLUME_NAME_NT where the system knows the volume by
    // no drive name (a file system its mount manager does not know).
    DWORD path_form;
    // The system or the volume knows no POSIX deletion: not asked again.
    bool posix_refused;
};

static drive_state s_drive;

static bool final_path(HANDLE handle, DWORD form, WCHAR *path)
{
    DWORD length = sys::GetFinalPathNameByHandleW(handle, path, ENTRY_PATH_SIZE, form);
    return length > 0 && length < ENTRY_PATH_SIZE;
}

// `folder`'s path, a backslash and `name`, a name of ASCII letters.
static bool join_path(const WCHAR *folder, const char *name, WCHAR *path)
{
    size_t used = 0;
    while (used < ENTRY_PATH_SIZE && folder[used] != 0)
        used++;
    if (used > 0 && folder[used - 1] == '\\')
        used--;
    size_t length = strlen(name);
    if (length == 0 || used + length + 2 > ENTRY_PATH_SIZE)
        return false;
    memmove(path, folder, used * sizeof(WCHAR));
    path[used++] = '\\';
    for (size_t i = 0; i < length; i++) {
        if ((unsigned char)name[i] >= 0x80)
            return false;
        path[used++] = (WCHAR)name[i];
    }
    path[used] = 0;
    return true;
}

static WCHAR upper(WCHAR c)
{
    return c >= 'a' && c <= 'z' ? (WCHAR)(c - 'a' + 'A') : c;
}

static bool same_path(const WCHAR *a, const WCHAR *b)
{
    for (; upper(*a) == upper(*b); a++, b++)
        if (*a == 0)
            return true;
    return false;
}

static NTSTATUS open_relative(HANDLE folder, const char *name, ACCESS_MASK access, DWORD share,
                              ULONG disposition, ULONG options, HANDLE *handle)
{
    static const create_file_fn create = ntdll_function<create_file_fn>("NtCreateFile");
    *handle = NULL;
    WCHAR wide[NAME_SIZE];
    size_t length = strlen(name);
    if (create == NULL || length >= NAME_SIZE)
        return NOT_ASKED;
    for (size_t i = 0; i <= length; i++)
        wide[i] = (WCHAR)(unsigned char)name[i];
    UNICODE_STRING text;
    text.Length = text.MaximumLength = (USHORT)(length * sizeof(WCHAR));
    text.Buffer = wide;
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = folder;
    attributes.ObjectName = &text;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = create(handle, access | SYNCHRONIZE, &attributes, &io, NULL,
                             FILE_ATTRIBUTE_NORMAL, share, disposition,
                             options | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (status < 0)
        *handle = NULL;
    return status;
}

bool open_drive_root(char letter)
{
    close_drive_root();
    char root[ROOT_TEXT_SIZE];
    drive_root(root, letter);
    HANDLE handle = sys::CreateFileA(root, FILE_READ_ATTRIBUTES, SHARE_ALL, NULL, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    s_drive.letter = letter;
    s_drive.root.handle = handle;
    s_drive.root.kind = ENTRY_FOLDER;
    s_drive.path_form = VOLUME_NAME_DOS;
    if (final_path(handle, VOLUME_NAME_DOS, s_drive.root.path))
        return true;
    s_drive.path_form = VOLUME_NAME_NT;
    if (final_path(handle, VOLUME_NAME_NT, s_drive.root.path))
        return true;
    close_drive_root();
    return false;
}

void close_drive_root()
{
    close_entry(&s_drive.root);
    s_drive = drive_state{};
}

const own_entry &drive_root_entry()
{
    return s_drive.root;
}

int64_t drive_free_bytes()
{
    static const query_volume_fn query =
        ntdll_function<query_volume_fn>("NtQueryVolumeInformationFile");
    sys::FILE_FS_FULL_SIZE_INFORMATION size;
    IO_STATUS_BLOCK io = {};
    if (query == NULL || s_drive.root.handle == NULL ||
        query(s_drive.root.handle, &io, &size, sizeof size, sys::FileFsFullSizeInformation) < 0)
        return -1;
    return size.CallerAvailableAllocationUnits.QuadPart * size.SectorsPerAllocationUnit *
           size.BytesPerSector;
}

// Some systems show a symbolic link as the plain file or folder it points
// at (Wine does so for a link of the host's file system), and open its
// target: the path the system gives the handle, which names the volume
// too, must be the root's joined with the names walked. A drive name of
// the run's own never enters it, so another name of the same volume (a
// second letter, subst, a mapped share) passes, and a link never does.
static bool reached_as_walked(const own_entry &entry)
{
    WCHAR found[ENTRY_PATH_SIZE];
    return final_path(entry.handle, s_drive.path_form, found) && same_path(found, entry.path);
}

static entry_kind kind_of_open(const own_entry &entry)
{
    FILE_STANDARD_INFO standard;
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!sys::GetFileInformationByHandleEx(entry.handle, FileStandardInfo, &standard,
                                           sizeof standard) ||
        !sys::GetFileInformationByHandleEx(entry.handle, FileAttributeTagInfo, &tag, sizeof tag))
        return ENTRY_UNREADABLE;
    if (standard.DeletePending)
        return ENTRY_GONE;
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ENTRY_LINK;
    bool folder = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder && standard.NumberOfLinks != 1)
        return ENTRY_HARD_LINKED;
    if (!reached_as_walked(entry))
        return ENTRY_LINK;
    // Checked here, not left to the system: whoever runs the program (an
    // administrator, or root under Wine) may be allowed to delete it.
    if (!folder && (tag.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return ENTRY_READ_ONLY;
    return folder ? ENTRY_FOLDER : ENTRY_FILE;
}

// Windows gives a file whose deletion is pending this status (CreateFile
// makes it ERROR_ACCESS_DENIED): it goes once the program that holds it lets go.
static entry_kind kind_of_failure(NTSTATUS status)
{
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND ||
        status == STATUS_DELETE_PENDING)
        return ENTRY_GONE;
    return status == STATUS_SHARING_VIOLATION ? ENTRY_IN_USE : ENTRY_UNREADABLE;
}

entry_kind open_below(const own_entry &folder, const char *name, own_entry *entry)
{
    entry->handle = NULL;
    entry->kind = ENTRY_UNREADABLE;
    if (folder.handle == NULL || !join_path(folder.path, name, entry->path))
        return ENTRY_UNREADABLE;
    // Opening the reparse point itself keeps a link from leading anywhere.
    NTSTATUS status = open_relative(folder.handle, name, DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                                    FILE_OPEN,
                                    FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT,
                                    &entry->handle);
    entry->kind = status < 0 ? kind_of_failure(status) : kind_of_open(*entry);
    if (entry->kind == ENTRY_GONE)
        close_entry(entry);
    return entry->kind;
}

entry_kind open_entry(const char *path, own_entry *entry)
{
    entry->handle = NULL;
    entry->kind = ENTRY_UNREADABLE;
    char root[ROOT_TEXT_SIZE];
    drive_root(root, s_drive.letter);
    if (s_drive.root.handle == NULL || strlen(path) <= 3 || upper(path[0]) != upper(root[0]) ||
        strncmp(path + 1, root + 1, 2) != 0)
        return ENTRY_UNREADABLE;
    const own_entry *folder = &s_drive.root;
    own_entry on_the_way;
    char name[NAME_SIZE];
    for (const char *rest = path + 3;;) {
        const char *end = strchr(rest, '\\');
        size_t length = end != NULL ? (size_t)(end - rest) : strlen(rest);
        entry_kind kind = ENTRY_UNREADABLE;
        if (length > 0 && length < sizeof name) {
            memcpy(name, rest, length);
            name[length] = '\0';
            kind = open_below(*folder, name, entry);
        }
        if (folder != &s_drive.root)
            close_entry(&on_the_way);
        if (end == NULL || kind != ENTRY_FOLDER) {
            if (end != NULL)
                close_entry(entry);
            return entry->kind = kind;
        }
        on_the_way = *entry;
        entry->handle = NULL;
        folder = &on_the_way;
        rest = end + 1;
    }
}

void close_entry(own_entry *entry)
{
    if (entry->handle != NULL)
        sys::CloseHandle(entry->handle);
    entry->handle = NULL;
}

// With POSIX semantics the name goes as this handle closes, even while
// another program (a virus scanner, an indexer, a backup agent) still holds
// the file sharing its deletion; without them the name stays until that
// program lets go. Windows 10 has them on NTFS; other systems and volumes
// refuse the class, which is then not asked again on this drive.
static bool mark_deleted(HANDLE handle)
{
    if (!s_drive.posix_refused) {
        FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE |
                                          FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
        if (sys::SetFileInformationByHandle(handle, sys::FileDispositionInfoEx, &posix,
                                            sizeof posix))
            return true;
    }
    FILE_DISPOSITION_INFO plain = {TRUE};
    if (!sys::SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain))
        return false;
    s_drive.posix_refused = true;
    return true;
}

bool delete_entry(own_entry *entry)
{
    bool deleted = entry->handle != NULL && mark_deleted(entry->handle);
    close_entry(entry);
    return deleted;
}

bool make_folder_below(const own_entry &folder, const char *name, own_entry *made)
{
    made->handle = NULL;
    made->kind = ENTRY_FOLDER;
    return folder.handle != NULL && join_path(folder.path, name, made->path) &&
           open_relative(folder.handle, name, FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_CREATE,
                         FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, &made->handle) >= 0;
}

HANDLE make_file_below(const own_entry &folder, const char *name)
{
    HANDLE file;
    if (folder.handle == NULL ||
        open_relative(folder.handle, name, GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
                      &file) < 0)
        return INVALID_HANDLE_VALUE;
    return file;
}

entry_kind remove_own_entry(const char *path, bool folder)
{
    own_entry entry;
    entry_kind kind = open_entry(path, &entry);
    if (kind == (folder ? ENTRY_FOLDER : ENTRY_FILE))
        return delete_entry(&entry) ? ENTRY_GONE : ENTRY_UNREADABLE;
    close_entry(&entry);
    return kind;
}

entry_kind entry_at(const char *path)
{
    own_entry entry;
    entry_kind kind = open_entry(path, &entry);
    close_entry(&entry);
    return kind;
}

bool empty_file(HANDLE handle)
{
    FILE_END_OF_FILE_INFO end = {};
    return sys::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}
