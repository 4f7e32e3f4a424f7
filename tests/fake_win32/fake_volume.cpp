// Volumes, files and folders of the test double.
#include "fake_win32/fake_volume.h"

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

namespace fake {
namespace {

const DWORD DEFAULT_SECTORS_PER_CLUSTER = 8;
const DWORD DEFAULT_BYTES_PER_SECTOR = 512;
const unsigned REGULAR_FILE_MODE = 0100000;  // S_IFREG
const size_t ZERO_CHUNK = 65536;
// Free on the volume but beyond the caller's quota: the volume's total free
// count always differs from the caller's, so that code which reads the
// wrong one of the two is caught.
const int64_t DEFAULT_QUOTA_WITHHELD = 3 * 1048576 + 4096;
const unsigned char ZERO_BYTES[ZERO_CHUNK] = {};

// Stands for the module handle of kernel32.dll; never dereferenced.
char kernel32_module;

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
};

struct entry {
    std::string path;  // as created
    bool folder;
    int64_t size;
    int open_streams;
};

struct state {
    std::map<char, volume> volumes;
    std::map<std::string, entry> entries;  // by folded path
    std::set<std::string> locked;
    std::set<std::string> failing_creates;
    std::set<std::string> failing_mkdirs;
    std::set<std::string> failing_rmdirs;
    std::map<int, size_t> short_writes;
    std::set<sys::FILE *> streams;
    std::function<void(int)> write_hook;
    std::function<void(const std::string &)> close_hook;
    bool ex_hidden = false;
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

std::string folded(const char *path)
{
    std::string key;
    for (const char *p = path; *p != '\0'; p++)
        key += fold(*p);
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
    return v->fail_from == 0 || v->space_queries < v->fail_from;
}

void record(file_op op, const std::string &path, bool ok, size_t requested = 0,
            size_t written = 0)
{
    st().file_calls.push_back(file_call{op, path, ok, requested, written});
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
             free_bytes, total_bytes, DEFAULT_QUOTA_WITHHELD, DEFAULT_SECTORS_PER_CLUSTER,
             DEFAULT_BYTES_PER_SECTOR, 0, 0};
    st().volumes[fold(letter)] = v;
}

void set_free_bytes(char letter, int64_t free_bytes)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    if (it != st().volumes.end())
        it->second.free_bytes = free_bytes;
}

int64_t free_bytes(char letter)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    return it == st().volumes.end() ? -1 : it->second.free_bytes;
}

void set_cluster_geometry(char letter, DWORD sectors_per_cluster, DWORD bytes_per_sector)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    if (it == st().volumes.end())
        return;
    it->second.sectors_per_cluster = sectors_per_cluster;
    it->second.bytes_per_sector = bytes_per_sector;
}

void fail_space_queries_from(char letter, int k)
{
    std::lock_guard<std::mutex> guard(lock());
    auto it = st().volumes.find(fold(letter));
    if (it == st().volumes.end())
        return;
    it->second.space_queries = 0;
    it->second.fail_from = k;
}

void hide_free_space_ex(bool hidden)
{
    std::lock_guard<std::mutex> guard(lock());
    st().ex_hidden = hidden;
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
    st().entries[folded(path)] = entry{path, false, size, 0};
}

void lock_file(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    st().locked.insert(folded(path));
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

void fail_remove_folder(const char *path)
{
    std::lock_guard<std::mutex> guard(lock());
    st().failing_rmdirs.insert(folded(path));
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
        if (call.op == OP_FWRITE && folded(call.path.c_str()) == key)
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
    if (name == nullptr || fake::folded(name) != "kernel32.dll")
        return nullptr;
    return reinterpret_cast<HMODULE>(&fake::kernel32_module);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    st().proc_calls.push_back(name != nullptr ? name : "");
    if (module != reinterpret_cast<HMODULE>(&fake::kernel32_module) || name == nullptr ||
        strcmp(name, "GetDiskFreeSpaceExA") != 0 || st().ex_hidden)
        return nullptr;
    // Through the generic function pointer type, as the system's own cast.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::GetDiskFreeSpaceExA));
}

// --- files and folders ----------------------------------------------------

FILE *fopen(const char *path, const char *mode)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    int index = s.fopens++;
    std::string key = fake::folded(path);
    auto existing = s.entries.find(key);
    bool refused = index == s.fail_create_index || s.failing_creates.count(key) != 0 ||
                   strcmp(mode, "wb") != 0 || !fake::parent_exists(key) ||
                   (existing != s.entries.end() && existing->second.folder);
    fake::record(fake::OP_FOPEN, path, !refused);
    if (refused)
        return nullptr;

    fake::volume *v = fake::volume_of(key);
    if (existing == s.entries.end()) {
        s.entries[key] = fake::entry{path, false, 0, 0};
    } else {
        v->free_bytes += existing->second.size;  // truncated
        existing->second.size = 0;
    }
    s.entries[key].open_streams++;
    FILE *stream = new FILE{s.next_fd++, key, path};
    s.streams.insert(stream);
    return stream;
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *file)
{
    std::function<void(int)> hook;
    int block;
    size_t items;
    {
        std::lock_guard<std::mutex> guard(fake::lock());
        fake::state &s = st();
        block = s.fwrites++;
        size_t requested = size * count;
        fake::volume *v = fake::volume_of(file->key);
        size_t accepted = v == nullptr ? 0
                                       : (size_t)std::min<int64_t>((int64_t)requested,
                                                                   v->free_bytes);
        auto scripted = s.short_writes.find(block);
        if (scripted != s.short_writes.end())
            accepted = std::min(accepted, scripted->second);
        if (accepted > 0 && !fake::all_zero(data, accepted))
            s.nonzero_writes++;
        auto written = s.entries.find(file->key);
        if (v != nullptr && written != s.entries.end()) {
            v->free_bytes -= (int64_t)accepted;
            written->second.size += (int64_t)accepted;
        }
        fake::record(fake::OP_FWRITE, file->path, accepted == requested, requested, accepted);
        items = size == 0 ? 0 : accepted / size;
        hook = s.write_hook;
    }
    if (hook)
        hook(block);
    return items;
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
        auto it = s.entries.find(file->key);
        if (it != s.entries.end())
            it->second.open_streams--;
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
              s.entries.count(key) == 0 && fake::parent_exists(key);
    fake::record(fake::OP_MKDIR, path, ok);
    if (ok)
        s.entries[key] = fake::entry{path, true, 0, 0};
    return ok ? TRUE : FALSE;
}

BOOL RemoveDirectoryA(LPCSTR path)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    std::string key = fake::folded(path);
    auto it = s.entries.find(key);
    bool ok = s.failing_rmdirs.count(key) == 0 && it != s.entries.end() && it->second.folder &&
              fake::is_empty_folder(key);
    fake::record(fake::OP_RMDIR, path, ok);
    if (ok)
        s.entries.erase(it);
    return ok ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR path)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    fake::state &s = st();
    std::string key = fake::folded(path);
    auto it = s.entries.find(key);
    // As on Windows, a file that a stream still holds open cannot be deleted.
    bool ok = it != s.entries.end() && !it->second.folder && it->second.open_streams == 0 &&
              s.locked.count(key) == 0;
    fake::record(fake::OP_DELETE, path, ok);
    if (!ok)
        return FALSE;
    fake::volume *v = fake::volume_of(key);
    if (v != nullptr)
        v->free_bytes += it->second.size;
    s.entries.erase(it);
    return TRUE;
}

DWORD GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR *file_part)
{
    size_t length = strlen(path);
    if (length == 0)
        return 0;
    if (length + 1 > size)
        return (DWORD)(length + 1);
    memcpy(buffer, path, length + 1);
    if (file_part != nullptr) {
        char *slash = strrchr(buffer, '\\');
        *file_part = (slash != nullptr && slash[1] != '\0') ? slash + 1 : nullptr;
    }
    return (DWORD)length;
}

int stat(const char *path, struct stat *info)
{
    std::lock_guard<std::mutex> guard(fake::lock());
    std::string key = fake::folded(path);
    if ((fake::is_root(key) || key.size() == 2) && fake::volume_of(key) != nullptr) {
        info->st_mode = S_IFDIR;
        info->st_size = 0;
        return 0;
    }
    auto it = st().entries.find(key);
    if (it == st().entries.end())
        return -1;
    info->st_mode = it->second.folder ? S_IFDIR : fake::REGULAR_FILE_MODE;
    info->st_size = it->second.folder ? 0 : it->second.size;
    return 0;
}

}  // namespace sys
