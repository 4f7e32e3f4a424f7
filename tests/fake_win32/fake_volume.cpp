// Volumes, files and folders of the test double.
#include "fake_win32/fake_volume.h"

#include "fake_win32/fake_console.h"
#include "fake_win32/fake_system.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

// A stream of the double: which file it writes and under which descriptor.
namespace sys {
struct FILE {
    int fd;
    std::string key;
    std::string path;
};
}  // namespace sys

// Error codes of the system that the double reports.
static const DWORD ERROR_INVALID_FUNCTION_CODE = 1;
static const DWORD ERROR_FILE_NOT_FOUND_CODE = 2;
static const DWORD ERROR_PATH_NOT_FOUND_CODE = 3;
static const DWORD ERROR_ACCESS_DENIED_CODE = 5;
static const DWORD ERROR_NOT_READY_CODE = 21;
static const DWORD ERROR_WRITE_FAULT_CODE = 29;
static const DWORD ERROR_FILE_EXISTS_CODE = 80;
static const DWORD ERROR_INVALID_PARAMETER_CODE = 87;
static const DWORD ERROR_DISK_FULL_CODE = 112;
static const DWORD ERROR_DIR_NOT_EMPTY_CODE = 145;
static const DWORD ERROR_IO_DEVICE_CODE = 1117;
static const DWORD ERROR_PRIVILEGE_NOT_HELD_CODE = 1314;

namespace fake {

thread_local DWORD last_error = 0;

namespace {

const DWORD DEFAULT_SECTORS_PER_CLUSTER = 8;
const DWORD DEFAULT_BYTES_PER_SECTOR = 512;
const size_t ZERO_CHUNK = 65536;
const unsigned char ZERO_BYTES[ZERO_CHUNK] = {};
const int64_t RECORD_BYTES = 1024;
const int64_t RESIDENT_BYTES = 700;  // of a file's data, kept in its record
const int64_t INDEX_BLOCK = 4096;
const int INDEX_NAMES_IN_RECORD = 7;  // a folder's first names stay in its record
const int INDEX_NAMES_PER_BLOCK = 32;
const DWORD VOLUME_RIGHT_LUID = 28;

// Stand for the module handles of kernel32.dll and ntdll.dll; never
// dereferenced.
char kernel32_module;
char ntdll_module;

struct volume {
    bool readable;
    std::string fs_name;
    int64_t free_bytes;  // to the caller
    int64_t total_bytes;
    int64_t quota_withheld;  // free to others only
    DWORD sectors_per_cluster;
    DWORD bytes_per_sector;
    int space_queries;  // since fail_from was scripted
    int fail_from;      // 0: never
    bool compresses_new_files = false;   // its root is marked compressed
    bool refuses_compression_change = false;  // as FAT does, or thin storage
    bool has_file_table = false;  // files take records of a modelled table
    std::string final_root = "";  // what final paths begin with; "" for "\\?\X:"
    bool no_drive_name = false;   // the mount manager does not know it
    bool refuses_posix = false;   // an older system: no POSIX deletion
    int64_t free_records = 0;
    int64_t table_growth = 0;  // bytes the table takes when it has no record left
    int table_growths = 0;
    bool network = false;
    bool refuses_valid_data = false;
    DWORD new_file_attributes = 0;  // sparse, encrypted
    // Free space that holds old data, by the offset at which the big file
    // takes it: [offset, end) pairs, in order, not touching.
    std::vector<std::pair<int64_t, int64_t>> old_data = {};
};

struct entry {
    std::string path;  // as created
    bool folder;
    int64_t size;
    int open_streams;    // handles of the program, with or without a stream
    int64_t allocated = 0;  // of its bytes, those that took space
    int links = 1;       // names of its data
    bool reparse = false;      // a symbolic link or another reparse point
    bool held_elsewhere = false;  // another program writes it
    bool compressed = false;   // zeros written to it take no space
    bool read_only = false;
    bool delete_on_close = false;  // gone when the program's last handle closes
    std::string shown_target = "";  // a link shown as the plain file it points at
    std::string link_target = "";   // a symbolic link's target, followed without
                                    // FILE_FLAG_OPEN_REPARSE_POINT
    bool has_record = false;   // holds a record of the volume's file table
    int index_names = 0;       // a folder: names added to its index
    DWORD attributes = 0;      // sparse, encrypted
    int64_t valid_length = 0;  // past it the file reads zeros
    bool takes_free_space = false;  // opened for reading too: the run's big file
    bool scanned = false;      // another program holds it, sharing its deletion
    bool posix_delete = false;   // its deletion takes the name at once
    bool delete_pending = false;  // deleted while scanned: the name stays
};

// A handle of the program on a file, and the descriptor put on it.
struct file_handle {
    std::string key;
    std::string path;
    int fd;  // -1 until _open_osfhandle
    DWORD access = GENERIC_WRITE;
    DWORD share = 0;
    bool recorded = true;  // made by its open, whose close is recorded too
    bool unbuffered = false;     // FILE_FLAG_NO_BUFFERING: aligned I/O only
    bool right_at_open = false;  // the volume-maintenance right was enabled
    int64_t position = 0;        // of the file pointer
};

struct state {
    std::map<char, volume> volumes;
    std::map<std::string, entry> entries;  // by folded path
    std::set<std::string> locked;
    std::set<std::string> failing_creates;
    std::set<std::string> failing_mkdirs;
    std::set<std::string> denied;
    std::map<int, size_t> short_writes;
    std::set<sys::FILE *> streams;
    std::function<void(int)> write_hook;
    std::function<void(const std::string &)> close_hook;
    bool ex_hidden = false;
    bool right_held = true;
    bool right_enabled = false;
    std::map<uintptr_t, file_handle> handles;
    uintptr_t next_handle = 0x70000;
    int fail_create_index = -1;
    int fail_commit_index = -1;
    int fopens = 0;
    int fwrites = 0;
    int commits = 0;
    int next_fd = 3;
    int nonzero_writes = 0;
    std::vector<std::string> module_calls;
    std::vector<std::string> proc_calls;
    std::vector<space_call> space_calls;
    std::vector<std::string> volume_info_calls;
    std::vector<file_call> file_calls;
    std::map<char, std::string> aliases;  // a drive letter and the folder it stands for
};

std::mutex &lock()
{
    static std::mutex m;
    return m;
}

state &st()
{
    static state s;
    return s;
}

char fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

// `path` with a drive that stands for another's folder (a second letter,
// subst) replaced by that folder: "s:\x" -> "d:\work\x".
std::string canonical(const char *path)
{
    std::string result = path;
    auto alias = result.size() >= 2 && result[1] == ':' ? st().aliases.find(fold(result[0]))
                                                        : st().aliases.end();
    if (alias == st().aliases.end())
        return result;
    std::string target = alias->second;
    if (target.back() == '\\')
        target.pop_back();
    result = target + result.substr(2);
    return result.size() == 2 ? result + '\\' : result;
}

std::string folded(const char *path)
{
    std::string key;
    for (char c : canonical(path))
        key += fold(c);
    // "x:\VOIDTEMP\" names the same folder as "x:\VOIDTEMP"; a root keeps it.
    if (key.size() > 3 && key.back() == '\\')
        key.pop_back();
    return key;
}

bool has_drive(const std::string &key)
{
    return key.size() >= 2 && key[0] >= 'a' && key[0] <= 'z' && key[1] == ':';
}

volume *volume_of(const std::string &key)
{
    if (!has_drive(key))
        return nullptr;
    auto it = st().volumes.find(key[0]);
    return it == st().volumes.end() ? nullptr : &it->second;
}

// Exactly "x:\", as the volume functions of the system want their root.
volume *volume_at_root(const char *root)
{
    if (root == nullptr || strlen(root) != 3 || root[2] != '\\')
        return nullptr;
    return volume_of(folded(root));
}

bool is_root(const std::string &key)
{
    return key.size() == 3 && has_drive(key) && key[2] == '\\';
}

// The folder holding `key` exists: the root of a present volume or a folder.
bool parent_exists(const std::string &key)
{
    size_t slash = key.rfind('\\');
    if (slash == std::string::npos || volume_of(key) == nullptr)
        return false;
    if (slash == 2)
        return true;
    auto it = st().entries.find(key.substr(0, slash));
    return it != st().entries.end() && it->second.folder;
}

bool is_empty_folder(const std::string &key)
{
    std::string prefix = key + '\\';
    auto it = st().entries.lower_bound(prefix);
    return it == st().entries.end() || it->first.compare(0, prefix.size(), prefix) != 0;
}

// A space query of `v`, or false when it is scripted to fail.
bool space_query_allowed(volume *v)
{
    if (v == nullptr)
        return false;
    v->space_queries++;
    bool allowed = v->fail_from == 0 || v->space_queries < v->fail_from;
    if (!allowed)
        last_error = ERROR_NOT_READY_CODE;
    return allowed;
}

void record(file_op op, const std::string &path, bool ok, size_t requested = 0,
            size_t written = 0, int64_t offset = 0)
{
    st().file_calls.push_back(file_call{op, path, ok, requested, written, offset});
}

// The old data of `v` that [from, to) of the big file covers, clipped.
std::vector<std::pair<int64_t, int64_t>> old_data_in(const volume &v, int64_t from, int64_t to)
{
    std::vector<std::pair<int64_t, int64_t>> found;
    for (const auto &range : v.old_data)
        if (range.first < to && range.second > from)
            found.push_back({std::max(range.first, from), std::min(range.second, to)});
    return found;
}

// Zeros written over [from, to) of the big file: no old data is left there.
void clear_old_data(volume &v, int64_t from, int64_t to)
{
    std::vector<std::pair<int64_t, int64_t>> left;
    for (const auto &range : v.old_data) {
        if (range.first < from)
            left.push_back({range.first, std::min(range.second, from)});
        if (range.second > to)
            left.push_back({std::max(range.first, to), range.second});
    }
    v.old_data = left;
}

bool all_zero(const void *data, size_t size)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        size_t n = std::min(size, ZERO_CHUNK);
        if (memcmp(p, ZERO_BYTES, n) != 0)
            return false;
        p += n;
        size -= n;
    }
    return true;
}

// A handle of the program's, with its entry and volume; `h` null when the
// handle is not one.
struct open_file {
    file_handle *h;
    entry *e;
    volume *v;
};

open_file find_open(HANDLE file)
{
    auto it = st().handles.find((uintptr_t)file);
    if (it == st().handles.end())
        return open_file{nullptr, nullptr, nullptr};
    return open_file{&it->second, &st().entries[it->second.key], volume_of(it->second.key)};
}

int64_t start_of(const file_handle &h, const OVERLAPPED *overlapped)
{
    if (overlapped == nullptr)
        return h.position;
    return (int64_t)(((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset);
}

// Without the system's cache, offsets, sizes and buffers are whole sectors.
bool aligned_for(const file_handle &h, const volume *v, int64_t at, DWORD size, const void *buffer)
{
    if (!h.unbuffered || v == nullptr)
        return true;
    int64_t sector = v->bytes_per_sector;
    return at % sector == 0 && size % sector == 0 && (uintptr_t)buffer % sector == 0;
}

void make_folders_above(const std::string &path)
{
    for (size_t slash = path.find('\\', 3); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
        std::string folder = path.substr(0, slash);
        std::string key = folded(folder.c_str());
        if (st().entries.count(key) == 0)
            st().entries[key] = entry{folder, true, 0, 0};
    }
}

}  // namespace

// --- scripting and records ------------------------------------------------

void reset_volumes()
{
    std::lock_guard<std::mutex> guard(lock());
    for (sys::FILE *stream : st().streams)
        delete stream;
    st() = state();
}

void add_volume(char letter, const char *fs_name, int64_t free_bytes, int64_t total_bytes)
{
    std::lock_guard<std::mutex> guard(lock());
    volume v{fs_name != nullptr, fs_name != nullptr ? fs_name : "",
             free_bytes, total_bytes, 0, DEFAULT_SECTORS_PER_CLUSTER,
             DEFAULT_BYTES_PER_SECTOR, 0, 0};
    v.refuses_compression_change = v.fs_name != "NTFS";

    st().volumes[fold(letter)] = v;
}

bool has_volume(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    return st().volumes.count(fold(letter)) != 0;
}

// Changes the volume of `letter`, when there is one, under the double's
// lock.
void change_volume(char letter, const std::function<void(volume &)> &change)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    if (it != st().volumes.end())
        change(it->second);
}

void set_quota_withheld(char letter, int64_t withheld)
{
    change_volume(letter, [&](volume &v) { v.quota_withheld = withheld; });
}

void model_file_table(char letter, int64_t free_records, int64_t growth_bytes)
{
    change_volume(letter, [&](volume &v) {
        v.has_file_table = true;
        v.free_records = free_records;
        v.table_growth = growth_bytes;
    });
}

int table_growths(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    return it == st().volumes.end() ? 0 : it->second.table_growths;
}

void set_free_bytes(char letter, int64_t free_bytes)
{
    change_volume(letter, [&](volume &v) { v.free_bytes = free_bytes; });
}

int64_t free_bytes(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    return it == st().volumes.end() ? -1 : it->second.free_bytes;
}

void set_cluster_geometry(char letter, DWORD sectors_per_cluster, DWORD bytes_per_sector)
{
    change_volume(letter, [&](volume &v) {
        v.sectors_per_cluster = sectors_per_cluster;
        v.bytes_per_sector = bytes_per_sector;
    });
}

void fail_space_queries_from(char letter, int k)
{
    change_volume(letter, [&](volume &v) {
        v.space_queries = 0;
        v.fail_from = k;
    });
}

void hide_free_space_ex(bool hidden)
{
    std::lock_guard<std::mutex> guard(lock());
    st().ex_hidden = hidden;
}

void compress_new_files(char letter)
{
    change_volume(letter, [](volume &v) { v.compresses_new_files = true; });
}

void refuse_compression_change(char letter)
{
    change_volume(letter, [](volume &v) { v.refuses_compression_change = true; });
}

void mark_new_files(char letter, DWORD attributes)
{
    change_volume(letter, [&](volume &v) { v.new_file_attributes = attributes; });
}

void make_network_drive(char letter)
{
    change_volume(letter, [](volume &v) { v.network = true; });
    set_drive_type(letter, DRIVE_REMOTE);
}

void refuse_valid_data(char letter)
{
    change_volume(letter, [](volume &v) { v.refuses_valid_data = true; });
}

void old_data(char letter, int64_t offset, int64_t length)
{
    change_volume(letter, [&](volume &v) {
        clear_old_data(v, offset, offset + length);
        v.old_data.push_back({offset, offset + length});
        std::sort(v.old_data.begin(), v.old_data.end());
    });
}

std::vector<std::pair<int64_t, int64_t>> old_data_left(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    return it == st().volumes.end() ? std::vector<std::pair<int64_t, int64_t>>()
                                    : it->second.old_data;
}

void hold_volume_right(bool held)
{
    std::lock_guard<std::mutex> guard(lock());
    st().right_held = held;
}

std::vector<std::string> module_handle_calls()
{
    std::lock_guard<std::mutex> guard(lock());
    return st().module_calls;
}

std::vector<std::string> proc_address_calls()
{
    std::lock_guard<std::mutex> guard(lock());
    return st().proc_calls;
}

std::vector<space_call> space_calls()
{
    std::lock_guard<std::mutex> guard(lock());
    return st().space_calls;
}

std::vector<std::string> volume_information_calls()
{
    std::lock_guard<std::mutex> guard(lock());
    return st().volume_info_calls;
}

void add_folder(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    std::string key = folded(path);
    make_folders_above(path);
    st().entries[key] = entry{path, true, 0, 0};
}

void add_file(const char *path, int64_t size)
{
    std::lock_guard<std::mutex> guard(lock());
    make_folders_above(path);
    st().entries[folded(path)] = entry{path, false, size, 0, size};
}

void lock_file(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    st().locked.insert(folded(path));
}

// Changes the entry at `path`, made as an empty file when it is missing,
// under the double's lock.
static void change_file(const char *path, const std::function<void(entry &)> &change)
{
    std::lock_guard<std::mutex> guard(lock());
    std::string key = folded(path);
    if (st().entries.count(key) == 0) {
        make_folders_above(path);
        st().entries[key] = entry{path, false, 0, 0};
    }
    change(st().entries[key]);
}

void link_elsewhere(const char *path)
{
    change_file(path, [&](entry &e) { e.links = 2; });
}

void make_symbolic_link(const char *path)
{
    change_file(path, [&](entry &e) { e.reparse = true; });
}

void make_symbolic_link_to(const char *path, const char *target)
{
    change_file(path, [&](entry &e) {
        e.reparse = true;
        e.link_target = target;
    });
}

void link_shown_as_file(const char *path, const char *target)
{
    change_file(path, [&](entry &e) { e.shown_target = target; });
}

// A drive's root has no entry of its own: a folder stands for it.
entry &entry_of(const file_handle &h)
{
    static entry root;
    auto found = st().entries.find(h.key);
    if (found != st().entries.end())
        return found->second;
    root = entry{h.path, true, 0, 0};
    return root;
}

BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                         LPVOID buffer, DWORD size)
{
    std::lock_guard<std::mutex> guard(lock());
    auto h = st().handles.find((uintptr_t)file);
    if (h == st().handles.end())
        return FALSE;
    const entry &e = entry_of(h->second);
    if (kind == FileStandardInfo && size == sizeof(FILE_STANDARD_INFO)) {
        FILE_STANDARD_INFO *info = static_cast<FILE_STANDARD_INFO *>(buffer);
        *info = FILE_STANDARD_INFO();
        info->AllocationSize.QuadPart = e.allocated;
        info->EndOfFile.QuadPart = e.size;
        info->NumberOfLinks = (DWORD)e.links;
        info->Directory = e.folder;
        return TRUE;
    }
    if (kind != FileAttributeTagInfo || size != sizeof(FILE_ATTRIBUTE_TAG_INFO))
        return FALSE;
    FILE_ATTRIBUTE_TAG_INFO *info = static_cast<FILE_ATTRIBUTE_TAG_INFO *>(buffer);
    *info = FILE_ATTRIBUTE_TAG_INFO();
    info->FileAttributes = (e.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL) |
                           (e.reparse ? FILE_ATTRIBUTE_REPARSE_POINT : 0) |
                           (e.read_only ? FILE_ATTRIBUTE_READONLY : 0) |
                           (e.compressed ? FILE_ATTRIBUTE_COMPRESSED : 0) | e.attributes;
    return TRUE;
}

// Deletion through a handle that may delete (the entry goes once its last
// handle closes), or a file cut to no bytes through one that may write.
BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                                       DWORD size)
{
    std::lock_guard<std::mutex> guard(lock());
    auto h = st().handles.find((uintptr_t)file);
    if (h == st().handles.end())
        return FALSE;
    entry &e = entry_of(h->second);
    volume *v = volume_of(h->second.key);
    DWORD error = 0;
    // POSIX semantics: NTFS of Windows 10; other volumes and systems refuse the class.
    bool posix = kind == sys::FileDispositionInfoEx && size == sizeof(FILE_DISPOSITION_INFO_EX);
    if (posix && (v == nullptr || v->fs_name != "NTFS" || v->refuses_posix)) {
        error = ERROR_INVALID_PARAMETER_CODE;
    } else if (posix || (kind == FileDispositionInfo && size == sizeof(FILE_DISPOSITION_INFO))) {
        if (!(h->second.access & DELETE) || e.read_only || st().locked.count(h->second.key) != 0)
            error = ERROR_ACCESS_DENIED_CODE;
        else if (e.folder && !is_empty_folder(h->second.key))
            error = ERROR_DIR_NOT_EMPTY_CODE;
        record(e.folder ? OP_RMDIR : OP_DELETE, h->second.path, error == 0);
        DWORD flags = posix ? static_cast<FILE_DISPOSITION_INFO_EX *>(buffer)->Flags
                            : static_cast<FILE_DISPOSITION_INFO *>(buffer)->DeleteFile;
        if (error == 0)
            e.delete_on_close = (flags & FILE_DISPOSITION_FLAG_DELETE) != 0;
        e.posix_delete = error == 0 && posix && (flags & FILE_DISPOSITION_FLAG_POSIX_SEMANTICS);
    } else if (kind == FileEndOfFileInfo && size == sizeof(FILE_END_OF_FILE_INFO) &&
               (h->second.access & GENERIC_WRITE) && !e.folder) {
        if (v != nullptr)
            v->free_bytes += e.allocated;
        e.size = e.allocated = 0;
        record(OP_EMPTY, h->second.path, true);
    } else {
        error = ERROR_INVALID_FUNCTION_CODE;
    }
    last_error = error;
    return error == 0;
}

// As Windows gives it: the name the mount manager has for the volume
// (another letter of it, the drive a subst folder lies on, a share), or
// none, and then only the device's path.
DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags)
{
    std::lock_guard<std::mutex> guard(lock());
    auto h = st().handles.find((uintptr_t)file);
    if (h == st().handles.end() || (flags != VOLUME_NAME_DOS && flags != VOLUME_NAME_NT))
        return 0;
    const entry &e = entry_of(h->second);
    std::string path = e.shown_target.empty() ? e.path : e.shown_target;
    volume *v = volume_of(folded(path.c_str()));
    if (v == nullptr || (flags == VOLUME_NAME_DOS && v->no_drive_name)) {
        last_error = ERROR_PATH_NOT_FOUND_CODE;
        return 0;
    }
    char letter = fold(path[0]);
    std::string name = flags == VOLUME_NAME_NT
                           ? "\\Device\\HarddiskVolume" + std::to_string(letter - 'a' + 1)
                       : v->final_root.empty() ? std::string("\\\\?\\") + (char)(letter - 'a' + 'A') + ":"
                                               : v->final_root;
    name += path.size() > 2 ? path.substr(2) : "\\";
    if (name.size() + 1 > size)
        return (DWORD)(name.size() + 1);
    for (size_t i = 0; i <= name.size(); i++)
        buffer[i] = (WCHAR)(unsigned char)name.c_str()[i];
    return (DWORD)name.size();
}

void deny_access(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    st().denied.insert(folded(path));
}

void make_read_only(const char *path)
{
    change_file(path, [&](entry &e) { e.read_only = true; });
}

std::vector<std::string> remains_after_kill(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    std::vector<std::string> paths;
    for (const auto &item : st().entries)
        if (item.first[0] == fold(letter) &&
            !(item.second.delete_on_close && item.second.open_streams > 0))
            paths.push_back(item.second.path);
    return paths;
}

void hold_open(const char *path)
{
    change_file(path, [&](entry &e) { e.held_elsewhere = true; });
}

void scan(const char *path)
{
    change_file(path, [&](entry &e) { e.scanned = true; });
}

void add_drive_alias(char letter, const char *target)
{
    std::lock_guard<std::mutex> guard(lock());
    st().aliases[fold(letter)] = target;
}

void map_network_drive(char letter, const char *share)
{
    change_volume(letter, [&](volume &v) { v.final_root = std::string("\\\\?\\UNC") + (share + 1); });
}

void hide_drive_name(char letter)
{
    change_volume(letter, [](volume &v) { v.no_drive_name = true; });
}

void refuse_posix_deletion(char letter)
{
    change_volume(letter, [](volume &v) { v.refuses_posix = true; });
}

void fail_create_at(int index)
{
    std::lock_guard<std::mutex> guard(lock());
    st().fail_create_index = index;
}

void fail_create_path(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    st().failing_creates.insert(folded(path));
}

void fail_commit_at(int index)
{
    std::lock_guard<std::mutex> guard(lock());
    st().fail_commit_index = index;
}

void short_write_at(int block, size_t accepted)
{
    std::lock_guard<std::mutex> guard(lock());
    st().short_writes[block] = accepted;
}

void fail_create_folder(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    st().failing_mkdirs.insert(folded(path));
}

void on_fwrite(std::function<void(int block)> hook)
{
    std::lock_guard<std::mutex> guard(lock());
    st().write_hook = std::move(hook);
}

void on_fclose(std::function<void(const std::string &path)> hook)
{
    std::lock_guard<std::mutex> guard(lock());
    st().close_hook = std::move(hook);
}

std::vector<file_call> file_calls()
{
    std::lock_guard<std::mutex> guard(lock());
    return st().file_calls;
}

std::vector<size_t> writes_to(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    std::string key = folded(path);
    std::vector<size_t> sizes;
    for (const file_call &call : st().file_calls)
        if ((call.op == OP_FWRITE || call.op == OP_WRITE) && folded(call.path.c_str()) == key)
            sizes.push_back(call.requested);
    return sizes;
}

int nonzero_writes()
{
    std::lock_guard<std::mutex> guard(lock());
    return st().nonzero_writes;
}

int open_streams()
{
    std::lock_guard<std::mutex> guard(lock());
    return (int)st().streams.size();
}

std::vector<std::string> listing(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    std::vector<std::string> paths;
    for (const auto &item : st().entries)
        if (item.first[0] == fold(letter))
            paths.push_back(item.second.path);
    return paths;
}

bool exists(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    return st().entries.count(folded(path)) != 0;
}

// --- the system's space functions -----------------------------------------

BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR root, PULARGE_INTEGER available_to_caller,
                                PULARGE_INTEGER total, PULARGE_INTEGER total_free)
{
    std::lock_guard<std::mutex> guard(lock());
    st().space_calls.push_back(space_call{SPACE_EX, root != nullptr ? root : ""});
    volume *v = volume_at_root(root);
    if (!space_query_allowed(v))
        return FALSE;
    if (available_to_caller != nullptr)
        available_to_caller->QuadPart = (uint64_t)v->free_bytes;
    if (total != nullptr)
        total->QuadPart = (uint64_t)v->total_bytes;
    if (total_free != nullptr)
        total_free->QuadPart = (uint64_t)(v->free_bytes + v->quota_withheld);
    return TRUE;
}


// A new file of a modelled table takes a free record, or the table grows;
// its name goes into the index of its folder. False: no space for either.
bool take_record(volume *v, const std::string &key)
{
    if (v == nullptr || !v->has_file_table)
        return true;
    if (v->free_records == 0) {
        if (v->free_bytes < v->table_growth)
            return false;
        v->free_bytes -= v->table_growth;
        v->free_records += v->table_growth / RECORD_BYTES;
        v->table_growths++;
    }
    v->free_records--;
    size_t slash = key.rfind('\\');
    auto folder = st().entries.find(key.substr(0, slash));
    if (slash > 2 && folder != st().entries.end() &&
        ++folder->second.index_names > INDEX_NAMES_IN_RECORD &&
        (folder->second.index_names - INDEX_NAMES_IN_RECORD - 1) % INDEX_NAMES_PER_BLOCK == 0 &&
        v->free_bytes >= INDEX_BLOCK) {
        v->free_bytes -= INDEX_BLOCK;
        folder->second.allocated += INDEX_BLOCK;
    }
    return true;
}

// A file or folder gone: its space and its record are free again.
void remove_entry(std::map<std::string, entry>::iterator it)
{
    volume *v = volume_of(it->first);
    if (v != nullptr) {
        v->free_bytes += it->second.allocated;
        if (it->second.has_record)
            v->free_records++;
    }
    st().entries.erase(it);
}

bool is_file_handle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(lock());
    return st().handles.count((uintptr_t)handle) != 0;
}

// Whether an open with `access` and `share` may join the program's own
// handles on the entry, as the system checks each handle's sharing both
// ways: reading, writing and deleting.
bool shares_with_open_handles(const std::string &key, DWORD access, DWORD share)
{
    const DWORD READS = GENERIC_READ, WRITES = GENERIC_WRITE;
    for (const auto &h : st().handles) {
        if (h.second.key != key)
            continue;
        const file_handle &other = h.second;
        if (((access & READS) && !(other.share & FILE_SHARE_READ)) ||
            ((access & WRITES) && !(other.share & FILE_SHARE_WRITE)) ||
            ((access & DELETE) && !(other.share & FILE_SHARE_DELETE)) ||
            ((other.access & READS) && !(share & FILE_SHARE_READ)) ||
            ((other.access & WRITES) && !(share & FILE_SHARE_WRITE)) ||
            ((other.access & DELETE) && !(share & FILE_SHARE_DELETE)))
            return false;
    }
    return true;
}

bool known_access(DWORD access)
{
    return access == GENERIC_WRITE || access == (GENERIC_READ | GENERIC_WRITE) ||
           access == (DELETE | FILE_READ_ATTRIBUTES) || access == FILE_READ_ATTRIBUTES;
}

// What CreateFileA and NtCreateFile share: opens `path`, or makes it (a
// folder with `make_folder`); STATUS_SUCCESS or why not, as ntdll says it.
NTSTATUS open_in_volume(const char *path, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags, bool make_folder, HANDLE *handle)
{
    state &s = st();
    *handle = INVALID_HANDLE_VALUE;
    // Scripted creation faults count and hit creations only, not opens of
    // what is there.
    bool creates = disposition != OPEN_EXISTING;
    int index = creates && !make_folder ? s.fopens++ : -2;
    std::string key = folded(path);
    std::string opened_path = canonical(path);
    auto existing = s.entries.find(key);
    // Without FILE_FLAG_OPEN_REPARSE_POINT a symbolic link is followed to its
    // target, a create included.
    if (existing != s.entries.end() && existing->second.reparse &&
        !existing->second.link_target.empty() && !(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
        opened_path = existing->second.link_target;
        key = folded(opened_path.c_str());
        existing = s.entries.find(key);
    }
    bool exists = existing != s.entries.end() || (is_root(key) && volume_of(key) != nullptr);
    // Delete-on-close asks for the right to delete; others must share it.
    DWORD rights = flags & FILE_FLAG_DELETE_ON_CLOSE ? access | DELETE : access;
    NTSTATUS status = STATUS_SUCCESS;
    if ((creates && !make_folder && (index == s.fail_create_index || s.failing_creates.count(key))) ||
        (make_folder && s.failing_mkdirs.count(key) != 0))
        status = STATUS_ACCESS_DENIED;
    else if (!is_root(key) && !parent_exists(key))
        status = STATUS_OBJECT_PATH_NOT_FOUND;
    else if (s.denied.count(key) != 0)
        status = STATUS_ACCESS_DENIED;
    else if ((disposition != OPEN_ALWAYS && disposition != CREATE_NEW &&
              disposition != OPEN_EXISTING) ||
             !known_access(access))
        status = STATUS_INVALID_PARAMETER;  // the double knows no other use
    else if (is_root(key))
        status = disposition == OPEN_EXISTING && (flags & FILE_FLAG_BACKUP_SEMANTICS)
                     ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
    else if (exists && existing->second.delete_pending)
        status = STATUS_DELETE_PENDING;
    else if (exists && disposition == CREATE_NEW)
        status = STATUS_OBJECT_NAME_COLLISION;
    else if (!exists && disposition == OPEN_EXISTING)
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    else if (exists && existing->second.folder && !(flags & FILE_FLAG_BACKUP_SEMANTICS))
        status = STATUS_ACCESS_DENIED;  // a folder needs backup semantics
    else if (exists && existing->second.read_only && (access & GENERIC_WRITE))
        status = STATUS_ACCESS_DENIED;
    else if (exists && (existing->second.held_elsewhere ||
                        !shares_with_open_handles(key, rights, share)))
        status = STATUS_SHARING_VIOLATION;
    // A link without a known target: the double cannot follow it, so it
    // refuses rather than pretend.
    else if (exists && existing->second.reparse && !(flags & FILE_FLAG_OPEN_REPARSE_POINT))
        status = STATUS_ACCESS_DENIED;
    volume *v = volume_of(key);
    if (status == STATUS_SUCCESS && !exists && !take_record(v, key))
        status = STATUS_DISK_FULL;
    // Opening what is there is no change to record; making a file is.
    if (creates)
        record(make_folder ? OP_MKDIR : OP_CREATE, path, status == STATUS_SUCCESS);
    if (status != STATUS_SUCCESS)
        return status;
    if (!exists) {
        s.entries[key] = entry{opened_path, make_folder, 0, 0};
        s.entries[key].compressed = !make_folder && v != nullptr && v->compresses_new_files;
        s.entries[key].has_record = v != nullptr && v->has_file_table;
        s.entries[key].attributes = v != nullptr ? v->new_file_attributes : 0;
        s.entries[key].takes_free_space = (access & GENERIC_READ) && (access & GENERIC_WRITE);
    }
    if (!is_root(key))
        s.entries[key].open_streams++;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE)
        s.entries[key].delete_on_close = true;
    uintptr_t next = s.next_handle;
    s.next_handle += 4;
    s.handles[next] = file_handle{key, opened_path, -1, rights, share, creates && !make_folder};
    s.handles[next].unbuffered = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    s.handles[next].right_at_open = s.right_enabled;
    *handle = reinterpret_cast<HANDLE>(next);
    return STATUS_SUCCESS;
}

// CreateFileA's error for ntdll's status; a name whose deletion is pending
// is refused as Windows refuses it.
DWORD win32_error(NTSTATUS status)
{
    switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND_CODE;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND_CODE;
    case STATUS_OBJECT_NAME_COLLISION:
        return ERROR_FILE_EXISTS_CODE;
    case STATUS_SHARING_VIOLATION:
        return ERROR_SHARING_VIOLATION;
    case STATUS_DISK_FULL:
        return ERROR_DISK_FULL_CODE;
    case STATUS_INVALID_PARAMETER:
        return ERROR_INVALID_FUNCTION_CODE;
    default:
        return ERROR_ACCESS_DENIED_CODE;
    }
}

HANDLE create_volume_file(LPCSTR path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags)
{
    std::lock_guard<std::mutex> guard(lock());
    HANDLE handle;
    NTSTATUS status = open_in_volume(path, access, share, disposition, flags, false, &handle);
    last_error = status == STATUS_SUCCESS ? 0 : win32_error(status);
    return handle;
}

// Relative to an open folder of the double, one name at a time.
NTSTATUS WINAPI NtCreateFile(HANDLE *handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation, ULONG file_attributes,
                             ULONG share, ULONG disposition, ULONG options, void *ea,
                             ULONG ea_size)
{
    (void)allocation;
    (void)file_attributes;
    (void)ea;
    (void)ea_size;
    std::lock_guard<std::mutex> guard(lock());
    auto folder = st().handles.find((uintptr_t)attributes->RootDirectory);
    // A synchronous handle needs the right to wait on it.
    bool known = folder != st().handles.end() && attributes->ObjectName != nullptr &&
                 (disposition == FILE_OPEN || disposition == FILE_CREATE) &&
                 (access & SYNCHRONIZE) && (options & FILE_SYNCHRONOUS_IO_NONALERT);
    std::string path = known ? folder->second.path : "";
    if (!path.empty() && path.back() != '\\')
        path += '\\';
    for (USHORT i = 0; known && i < attributes->ObjectName->Length / sizeof(WCHAR); i++) {
        WCHAR c = attributes->ObjectName->Buffer[i];
        known = c > ' ' && c < 0x7f && c != '\\';
        path += (char)c;
    }
    DWORD flags = (options & FILE_OPEN_REPARSE_POINT ? FILE_FLAG_OPEN_REPARSE_POINT : 0) |
                  (options & FILE_NON_DIRECTORY_FILE ? 0 : FILE_FLAG_BACKUP_SEMANTICS);
    io->Status = known ? open_in_volume(path.c_str(), access & ~SYNCHRONIZE, share,
                                        disposition == FILE_CREATE ? CREATE_NEW : OPEN_EXISTING,
                                        flags, (options & FILE_DIRECTORY_FILE) != 0, handle)
                       : STATUS_INVALID_PARAMETER;
    return io->Status;
}

// FileFsFullSizeInformation of the volume a handle lies on, in its clusters.
NTSTATUS WINAPI NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io, void *buffer,
                                             ULONG size, ULONG kind)
{
    std::lock_guard<std::mutex> guard(lock());
    auto h = st().handles.find((uintptr_t)file);
    volume *v = h != st().handles.end() ? volume_of(h->second.key) : nullptr;
    if (v == nullptr || kind != sys::FileFsFullSizeInformation ||
        size < sizeof(sys::FILE_FS_FULL_SIZE_INFORMATION))
        return io->Status = STATUS_INVALID_PARAMETER;
    if (!space_query_allowed(v))
        return io->Status = (NTSTATUS)0xC00000A3;  // STATUS_DEVICE_NOT_READY
    int64_t cluster = (int64_t)v->sectors_per_cluster * v->bytes_per_sector;
    sys::FILE_FS_FULL_SIZE_INFORMATION *info =
        static_cast<sys::FILE_FS_FULL_SIZE_INFORMATION *>(buffer);
    info->TotalAllocationUnits.QuadPart = v->total_bytes / cluster;
    info->CallerAvailableAllocationUnits.QuadPart = v->free_bytes / cluster;
    info->ActualAvailableAllocationUnits.QuadPart = (v->free_bytes + v->quota_withheld) / cluster;
    info->SectorsPerAllocationUnit = v->sectors_per_cluster;
    info->BytesPerSector = v->bytes_per_sector;
    return io->Status = STATUS_SUCCESS;
}

BOOL compression_control(HANDLE handle, DWORD code, LPVOID in, DWORD in_size)
{
    std::lock_guard<std::mutex> guard(lock());
    state &s = st();
    auto h = s.handles.find((uintptr_t)handle);
    entry &e = s.entries[h->second.key];
    volume *v = volume_of(h->second.key);
    // A control code names the access it needs (bits 14 and 15: read and
    // write data), which the handle must have.
    DWORD needed = ((code >> 14) & 1 ? GENERIC_READ : 0) | ((code >> 15) & 1 ? GENERIC_WRITE : 0);
    bool allowed = (h->second.access & needed) == needed;
    bool ok = allowed && code == FSCTL_SET_COMPRESSION && in != nullptr &&
              in_size == sizeof(USHORT) && v != nullptr && !v->refuses_compression_change;
    record(OP_COMPRESSION, h->second.path, ok);
    if (!ok) {
        last_error = allowed ? ERROR_INVALID_FUNCTION_CODE : ERROR_ACCESS_DENIED_CODE;
        return FALSE;
    }
    e.compressed = *static_cast<USHORT *>(in) != COMPRESSION_FORMAT_NONE;
    return TRUE;
}

// Closes the program's handle: the file is no longer held by it.
void release_handle(std::map<uintptr_t, file_handle>::iterator h)
{
    auto e = st().entries.find(h->second.key);
    // A locked file stays. One that another program holds sharing its
    // deletion keeps its name until that program lets go, unless deleted
    // with POSIX semantics.
    if (e != st().entries.end() && --e->second.open_streams == 0 && e->second.delete_on_close &&
        st().locked.count(e->first) == 0) {
        if (e->second.scanned && !e->second.posix_delete)
            e->second.delete_pending = true;
        else
            remove_entry(e);
    }
    st().handles.erase(h);
}

bool close_file_handle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(lock());
    auto h = st().handles.find((uintptr_t)handle);
    if (h == st().handles.end())
        return false;
    if (h->second.recorded)
        record(OP_CLOSE, h->second.path, true);
    release_handle(h);
    return true;
}

}  // namespace fake

namespace sys {

using fake::st;

BOOL GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD bytes_per_sector,
                       LPDWORD free_clusters, LPDWORD total_clusters)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    st().space_calls.push_back(fake::space_call{fake::SPACE_CLUSTERS, root != nullptr ? root : ""});
    fake::volume *v = fake::volume_at_root(root);
    if (!fake::space_query_allowed(v))
        return FALSE;
    uint64_t cluster = (uint64_t)v->sectors_per_cluster * v->bytes_per_sector;
    // The clusters of a FAT32 volume fit in 32 bits; the count saturates otherwise.
    auto clusters = [cluster](int64_t bytes) {
        return (DWORD)std::min<uint64_t>((uint64_t)bytes / cluster, 0xFFFFFFFFu);
    };
    *sectors_per_cluster = v->sectors_per_cluster;
    *bytes_per_sector = v->bytes_per_sector;
    *free_clusters = clusters(v->free_bytes);
    *total_clusters = clusters(v->total_bytes);
    return TRUE;
}

BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size,
                           LPDWORD serial, LPDWORD max_component, LPDWORD flags,
                           LPSTR fs_name, DWORD fs_name_size)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    st().volume_info_calls.push_back(root != nullptr ? root : "");
    fake::volume *v = fake::volume_at_root(root);
    if (v == nullptr || !v->readable)
        return FALSE;
    // The system refuses a name buffer that is too small and writes nothing.
    if (fs_name != nullptr && v->fs_name.size() + 1 > fs_name_size)
        return FALSE;
    if (volume_name != nullptr && volume_name_size > 0)
        volume_name[0] = '\0';
    if (serial != nullptr)
        *serial = 0x1234ABCDu;
    if (max_component != nullptr)
        *max_component = 255;
    if (flags != nullptr)
        *flags = 0;
    if (fs_name != nullptr)
        memcpy(fs_name, v->fs_name.c_str(), v->fs_name.size() + 1);
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR name)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    st().module_calls.push_back(name != nullptr ? name : "");
    if (name != nullptr && fake::folded(name) == "ntdll.dll")
        return reinterpret_cast<HMODULE>(&fake::ntdll_module);
    if (name == nullptr || fake::folded(name) != "kernel32.dll")
        return nullptr;
    return reinterpret_cast<HMODULE>(&fake::kernel32_module);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    st().proc_calls.push_back(name != nullptr ? name : "");
    // Through the generic function pointer type, as the system's own cast.
    if (module == reinterpret_cast<HMODULE>(&fake::ntdll_module) && name != nullptr) {
        if (strcmp(name, "NtCreateFile") == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::NtCreateFile));
        if (strcmp(name, "NtQueryVolumeInformationFile") == 0)
            return reinterpret_cast<FARPROC>(
                reinterpret_cast<void (*)()>(&fake::NtQueryVolumeInformationFile));
        return nullptr;
    }
    if (module != reinterpret_cast<HMODULE>(&fake::kernel32_module) || name == nullptr)
        return nullptr;
    if (strcmp(name, "GetDiskFreeSpaceExA") != 0 || st().ex_hidden)
        return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::GetDiskFreeSpaceExA));
}

// --- files and folders ----------------------------------------------------

size_t fwrite(const void *data, size_t size, size_t count, FILE *file)
{
    std::function<void(int)> hook;
    int block;
    size_t items;
    bool cancelled = fake::write_hangs();
    {
        std::lock_guard<std::mutex> guard(fake::lock());
        fake::state &s = st();
        block = s.fwrites++;
        size_t requested = size * count;
        fake::volume *v = fake::volume_of(file->key);
        auto written = s.entries.find(file->key);
        bool zero = fake::all_zero(data, requested);
        // Zeros in a compressed file take no clusters.
        bool takes_space = !(zero && written != s.entries.end() && written->second.compressed);
        size_t accepted = v == nullptr ? 0
                          : takes_space ? (size_t)std::min<int64_t>((int64_t)requested,
                                                                    v->free_bytes)
                                        : requested;
        fake::last_error = accepted < requested ? ERROR_DISK_FULL_CODE : 0;
        auto scripted = s.short_writes.find(block);
        if (scripted != s.short_writes.end() && scripted->second < accepted) {
            accepted = scripted->second;
            fake::last_error = ERROR_WRITE_FAULT_CODE;
        }
        if (cancelled) {
            accepted = 0;
            fake::last_error = ERROR_OPERATION_ABORTED;
        }
        if (accepted > 0 && !zero)
            s.nonzero_writes++;
        if (v != nullptr && written != s.entries.end()) {
            if (written->second.takes_free_space && zero)
                fake::clear_old_data(*v, written->second.size,
                                     written->second.size + (int64_t)accepted);
            written->second.size += (int64_t)accepted;
            written->second.valid_length = written->second.size;
            if (takes_space) {
                v->free_bytes -= (int64_t)accepted;
                written->second.allocated += (int64_t)accepted;
            }
        }
        fake::record(fake::OP_FWRITE, file->path, accepted == requested, requested, accepted);
        items = size == 0 ? 0 : accepted / size;
        hook = s.write_hook;
    }
    if (hook)
        hook(block);
    return items;
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (fake::is_std_stream(file))
        return fake::write_std_stream(file, data, size, written);
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    fake::open_file f = fake::find_open(file);
    if (f.h == nullptr)
        return FALSE;
    fake::entry &e = *f.e;
    fake::volume *v = f.v;
    int64_t at = fake::start_of(*f.h, overlapped);
    if (!fake::aligned_for(*f.h, v, at, size, data)) {
        fake::record(fake::OP_WRITE, f.h->path, false, size, 0, at);
        fake::last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    int64_t growth = std::max<int64_t>(0, at + size - e.size);
    bool resident = v != nullptr && v->has_file_table && at + size <= fake::RESIDENT_BYTES;
    int64_t room = v == nullptr ? 0 : resident ? growth : std::min(growth, v->free_bytes);
    DWORD accepted = v == nullptr ? 0 : (DWORD)(size - (growth - room));
    bool zero = fake::all_zero(data, size);
    if (!zero && accepted > 0)
        s.nonzero_writes++;
    int64_t end = at + accepted;
    if (end > e.size) {
        if (!resident && v != nullptr) {
            v->free_bytes -= end - e.size;
            e.allocated += end - e.size;
        }
        e.size = end;
    }
    // The system writes zeros between the valid data and a write past it.
    if (e.takes_free_space && zero && v != nullptr)
        fake::clear_old_data(*v, std::min(at, e.valid_length), end);
    e.valid_length = std::max(e.valid_length, end);
    f.h->position = end;
    fake::last_error = accepted < size ? ERROR_DISK_FULL_CODE : 0;
    fake::record(fake::OP_WRITE, f.h->path, accepted == size, size, accepted, at);
    if (written != nullptr)
        *written = accepted;
    return accepted == size ? TRUE : FALSE;
}

BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (fake::write_hangs()) {
        fake::last_error = ERROR_OPERATION_ABORTED;
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::open_file f = fake::find_open(file);
    if (f.h == nullptr || !(f.h->access & GENERIC_READ)) {
        fake::last_error = ERROR_ACCESS_DENIED_CODE;
        return FALSE;
    }
    const fake::entry &e = *f.e;
    fake::volume *v = f.v;
    int64_t at = fake::start_of(*f.h, overlapped);
    if (!fake::aligned_for(*f.h, v, at, size, data)) {
        fake::record(fake::OP_READ, f.h->path, false, size, 0, at);
        fake::last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD got = at >= e.size ? 0 : (DWORD)std::min<int64_t>(size, e.size - at);
    unsigned char *bytes = static_cast<unsigned char *>(data);
    memset(bytes, 0, got);
    if (e.takes_free_space && v != nullptr)
        for (const auto &old : fake::old_data_in(*v, at, std::min(at + got, e.valid_length)))
            memset(bytes + (old.first - at), 0xA5, (size_t)(old.second - old.first));
    f.h->position = at + got;
    fake::record(fake::OP_READ, f.h->path, true, size, got, at);
    fake::last_error = 0;
    if (read != nullptr)
        *read = got;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER *position, DWORD method)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    auto h = st().handles.find((uintptr_t)file);
    if (h == st().handles.end() || method != FILE_BEGIN || distance.QuadPart < 0)
        return FALSE;
    h->second.position = distance.QuadPart;
    if (position != nullptr)
        position->QuadPart = distance.QuadPart;
    return TRUE;
}

// The file's end moves to its pointer: space is taken (or given back) at
// once, while the valid data stays where it was.
BOOL SetEndOfFile(HANDLE file)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::open_file f = fake::find_open(file);
    if (f.h == nullptr || !(f.h->access & GENERIC_WRITE)) {
        fake::last_error = ERROR_ACCESS_DENIED_CODE;
        return FALSE;
    }
    fake::entry &e = *f.e;
    fake::volume *v = f.v;
    int64_t end = f.h->position;
    bool ok = v != nullptr && end - e.size <= v->free_bytes;
    fake::record(fake::OP_GROW, f.h->path, ok, 0, 0, end);
    if (!ok) {
        fake::last_error = ERROR_DISK_FULL_CODE;
        return FALSE;
    }
    int64_t change = std::max<int64_t>(end - e.size, -e.allocated);
    v->free_bytes -= change;
    e.allocated += change;
    e.size = end;
    e.valid_length = std::min(e.valid_length, end);
    return TRUE;
}

BOOL SetFileValidData(HANDLE file, LONGLONG valid_data_length)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::open_file f = fake::find_open(file);
    if (f.h == nullptr)
        return FALSE;
    fake::entry &e = *f.e;
    fake::volume *v = f.v;
    DWORD error = 0;
    if (!(f.h->access & GENERIC_WRITE))
        error = ERROR_ACCESS_DENIED_CODE;
    else if (!f.h->right_at_open)
        error = ERROR_PRIVILEGE_NOT_HELD_CODE;
    else if (v == nullptr || v->network || v->fs_name != "NTFS" || v->refuses_valid_data)
        error = ERROR_INVALID_FUNCTION_CODE;
    else if (e.compressed || (e.attributes & (FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_ENCRYPTED)) ||
             valid_data_length <= e.valid_length || valid_data_length > e.size)
        error = ERROR_INVALID_PARAMETER;
    fake::record(fake::OP_VALID_DATA, f.h->path, error == 0, 0, 0, valid_data_length);
    fake::last_error = error;
    if (error == 0)
        e.valid_length = valid_data_length;
    return error == 0;
}

BOOL FlushFileBuffers(HANDLE file)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    auto h = st().handles.find((uintptr_t)file);
    if (h == st().handles.end())
        return FALSE;
    fake::record(fake::OP_COMMIT, h->second.path, true);
    return TRUE;
}

// --- the process's token --------------------------------------------------

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    (void)process;
    (void)access;
    *token = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7700));
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid)
{
    if (system != nullptr || name == nullptr || strcmp(name, SE_MANAGE_VOLUME_NAME) != 0)
        return FALSE;
    *luid = LUID{fake::VOLUME_RIGHT_LUID, 0};
    return TRUE;
}

// As the system does: a right the account lacks is not enabled, and the
// call still succeeds, with ERROR_NOT_ALL_ASSIGNED as its last error.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state,
                           DWORD length, PTOKEN_PRIVILEGES previous_state, LPDWORD returned)
{
    (void)token;
    (void)length;
    (void)previous_state;
    (void)returned;
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::last_error = 0;
    if (disable_all || new_state == nullptr)
        return FALSE;
    for (DWORD i = 0; i < new_state->PrivilegeCount; i++) {
        const LUID_AND_ATTRIBUTES &p = new_state->Privileges[i];
        if (p.Luid.LowPart != fake::VOLUME_RIGHT_LUID || !(p.Attributes & SE_PRIVILEGE_ENABLED))
            continue;
        if (st().right_held)
            st().right_enabled = true;
        else
            fake::last_error = ERROR_NOT_ALL_ASSIGNED;
    }
    return TRUE;
}

int fflush(FILE *file)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::record(fake::OP_FFLUSH, file->path, true);
    return 0;
}

int _fileno(FILE *file)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    return file->fd;
}

int _commit(int fd)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    int index = s.commits++;
    std::string path;
    for (FILE *stream : s.streams)
        if (stream->fd == fd)
            path = stream->path;
    bool ok = !path.empty() && index != s.fail_commit_index;
    fake::record(fake::OP_COMMIT, path, ok);
    if (!ok)
        fake::last_error = ERROR_IO_DEVICE_CODE;
    return ok ? 0 : -1;
}

int fclose(FILE *file)
{
    std::function<void(const std::string &)> hook;
    std::string path = file->path;
    {
        std::lock_guard<std::mutex> guard(fake::lock());
        fake::state &s = st();
        fake::record(fake::OP_FCLOSE, path, true);
        for (auto h = s.handles.begin(); h != s.handles.end(); ++h)
            if (h->second.fd == file->fd) {
                fake::release_handle(h);
                break;
            }
        s.streams.erase(file);
        delete file;
        hook = s.close_hook;
    }
    if (hook)
        hook(path);
    return 0;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    (void)security;
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    std::string key = fake::folded(path);
    bool ok = s.failing_mkdirs.count(key) == 0 && !fake::is_root(key) &&
              s.entries.count(key) == 0 && fake::parent_exists(key) &&
              fake::take_record(fake::volume_of(key), key);
    fake::record(fake::OP_MKDIR, path, ok);
    if (!ok)
        return FALSE;
    fake::volume *v = fake::volume_of(key);
    s.entries[key] = fake::entry{fake::canonical(path), true, 0, 0};
    s.entries[key].has_record = v != nullptr && v->has_file_table;
    return TRUE;
}

int _open_osfhandle(intptr_t handle, int flags)
{
    (void)flags;
    std::lock_guard<std::mutex> guard(fake::lock());
    auto h = st().handles.find((uintptr_t)handle);
    if (h == st().handles.end() || h->second.fd != -1)
        return -1;
    h->second.fd = st().next_fd++;
    return h->second.fd;
}

FILE *_fdopen(int fd, const char *mode)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    for (auto &h : st().handles)
        if (h.second.fd == fd && strcmp(mode, "wb") == 0) {
            FILE *stream = new FILE{fd, h.second.key, h.second.path};
            st().streams.insert(stream);
            return stream;
        }
    return nullptr;
}

int _close(int fd)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    for (auto h = st().handles.begin(); h != st().handles.end(); ++h)
        if (h->second.fd == fd) {
            fake::release_handle(h);
            return 0;
        }
    return -1;
}

DWORD GetLastError()
{
    return fake::last_error;
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                                  DWORD size)
{
    return fake::GetFileInformationByHandleEx(file, kind, buffer, size);
}

BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                                DWORD size)
{
    return fake::SetFileInformationByHandle(file, kind, buffer, size);
}

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    return fake::GetFinalPathNameByHandleW(file, path, size, flags);
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// Files' handles of the program's own process are duplicated here, and
// its thread's pseudo-handle into a real one.
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE *target,
                     DWORD access, BOOL inherit, DWORD options)
{
    (void)inherit;
    if (source == GetCurrentThread() && source_process == GetCurrentProcess() &&
        target_process == GetCurrentProcess())
        return fake::duplicate_thread_handle(target, access, options);
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    auto h = s.handles.find((uintptr_t)source);
    if (source_process != GetCurrentProcess() || target_process != GetCurrentProcess() ||
        h == s.handles.end() || options != DUPLICATE_SAME_ACCESS || target == nullptr)
        return FALSE;
    s.entries[h->second.key].open_streams++;
    fake::record(fake::OP_DUPLICATE, h->second.path, true);
    uintptr_t handle = s.next_handle;
    s.next_handle += 4;
    // The same open file: its access, sharing and flags.
    fake::file_handle copy = h->second;
    copy.fd = -1;
    copy.recorded = true;
    s.handles[handle] = copy;
    *target = reinterpret_cast<HANDLE>(handle);
    return TRUE;
}


// The system's text of an error, as the double words it.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPSTR buffer, DWORD size, void *arguments)
{
    (void)source;
    (void)language_id;
    (void)arguments;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr || size == 0)
        return 0;
    int length = snprintf(buffer, size, "System error %lu.\r\n", (unsigned long)message_id);
    return length < 0 || (DWORD)length >= size ? 0 : (DWORD)length;
}

}  // namespace sys
