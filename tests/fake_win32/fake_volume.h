// Volumes, files and folders of the test double.
//
// Each drive letter may carry one volume with a file-system name, a free and
// a total byte count. File contents are counted, never stored: a write takes
// its bytes off the volume's free count and a deletion gives
// them back, so a volume of several gigabytes fills in milliseconds. Every
// call the program makes is recorded, and faults can be scripted.
//
// Paths compare without regard to letter case. A volume's root is "x:\";
// its folders and files live under it ("x:\VOIDTEMP\V_000000.TMP").
// As on Windows: the volume and space functions want exactly the root
// "x:\"; creating a file needs the parent folder; a file still open, or a
// missing one, cannot be deleted; only an empty folder can be removed; a
// file the program holds open cannot be opened for writing again unless
// the first handle shares writing; a control code needs the access its code
// names; a link is followed unless opened as itself. FAT volumes refuse
// compression requests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"

namespace fake {

// Forgets every volume, file, script and record; closes open streams.
void reset_volumes();

// --- volumes --------------------------------------------------------------

// Adds (or replaces) the volume of `letter`. A null `fs_name` makes
// GetVolumeInformationA fail for it while the space queries still work.
void add_volume(char letter, const char *fs_name, int64_t free_bytes, int64_t total_bytes);
bool has_volume(char letter);
// A disk quota: GetDiskFreeSpaceExA's total free count is this much above
// the caller's free bytes, which the volume's free count otherwise equals.
void set_quota_withheld(char letter, int64_t withheld);
// Gives the volume a file table with `free_records` free records of 1 KiB,
// as NTFS has: a new file or folder takes a record and no free space, and
// the first 700 bytes of a file's data stay in the record; with no record
// left the table grows by `growth_bytes` of free space. A folder keeps its
// first 7 names in its record; its index takes 4 KiB at the 8th name and
// every 32nd after, given back with the folder. Without such a table every
// byte written takes space, as on a file system that keeps no data in records.
void model_file_table(char letter, int64_t free_records, int64_t growth_bytes);
int table_growths(char letter);
// Changes the free count, as another program writing or deleting would.
void set_free_bytes(char letter, int64_t free_bytes);
int64_t free_bytes(char letter);
// What GetDiskFreeSpaceA reports: the counts divided into clusters of
// sectors_per_cluster * bytes_per_sector bytes (default 8 * 512).
void set_cluster_geometry(char letter, DWORD sectors_per_cluster, DWORD bytes_per_sector);
// The k-th space query of this volume counted from now (1 = the next one)
// and every later one fail, whichever space function is asked.
void fail_space_queries_from(char letter, int k);
// Makes GetProcAddress find no GetDiskFreeSpaceExA, as on old systems.
void hide_free_space_ex(bool hidden);
// Files created on the volume from now on are compressed, as under a root
// marked compressed: zeros written to them take no space until compression
// is turned off for the file.
void compress_new_files(char letter);
// FSCTL_SET_COMPRESSION fails on the volume (as on FAT).
void refuse_compression_change(char letter);
// Files created on the volume from now on carry these attributes
// (FILE_ATTRIBUTE_SPARSE_FILE, FILE_ATTRIBUTE_ENCRYPTED).
void mark_new_files(char letter, DWORD attributes);
// A network drive: GetDriveTypeA says DRIVE_REMOTE, and SetFileValidData
// refuses its files.
void make_network_drive(char letter);
// SetFileValidData fails on the volume, as a filter driver may make it.
void refuse_valid_data(char letter);

// --- old data in free space ----------------------------------------------
//
// A file opened for reading and writing takes the volume's free space in
// order, from its offset 0 on, as the run's one big file does. Clusters
// that once held data keep it: once SetFileValidData moves the valid data
// length over them, ReadFile gives bytes of 0xA5 there. Below the valid
// data length every byte written is what it reads; past it, zeros. Zeros
// written over old data clear it for good, as does a full write.
void old_data(char letter, int64_t offset, int64_t length);
// What still holds old data, as [offset, end) pairs in order.
std::vector<std::pair<int64_t, int64_t>> old_data_left(char letter);
// The account has the volume-maintenance right (it has, by default, as an
// administrator does); AdjustTokenPrivileges enables it. SetFileValidData
// wants it enabled when the file was opened.
void hold_volume_right(bool held);

// The double's own GetDiskFreeSpaceExA, the address GetProcAddress hands out.
BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR root, PULARGE_INTEGER available_to_caller,
                                PULARGE_INTEGER total, PULARGE_INTEGER total_free);
// And its SetFileInformationByHandle, for FileDispositionInfo(Ex) and
// FileEndOfFileInfo.
BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                                       DWORD size);
// And its GetFinalPathNameByHandleW, VOLUME_NAME_DOS or _NT.
DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags);
// And its GetFileInformationByHandleEx, for FileStandardInfo (with the
// bytes that took space, fewer than the size for a compressed file) and
// FileAttributeTagInfo.
BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                         LPVOID buffer, DWORD size);

// And ntdll's NtCreateFile, for opens and creations relative to a folder's
// handle, one name at a time, and NtQueryVolumeInformationFile, for
// FileFsFullSizeInformation.
NTSTATUS WINAPI NtCreateFile(HANDLE *handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation, ULONG file_attributes,
                             ULONG share, ULONG disposition, ULONG options, void *ea,
                             ULONG ea_size);
NTSTATUS WINAPI NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io, void *buffer,
                                             ULONG size, ULONG kind);

// Other names of a volume, as Windows gives final paths for them: `letter`
// stands for `target`, the root of another drive ("d:\\": a second letter
// of its volume) or a folder of it ("d:\\work": subst).
void add_drive_alias(char letter, const char *target);
// The volume of `letter` is a share ("\\\\server\\share") mapped to it.
void map_network_drive(char letter, const char *share);
// The mount manager knows no name for the volume of `letter`: only the
// device's path can be given.
void hide_drive_name(char letter);
// The system knows no POSIX deletion (before Windows 10), as volumes other
// than NTFS never do.
void refuse_posix_deletion(char letter);

enum space_function { SPACE_EX, SPACE_CLUSTERS };
struct space_call {
    space_function function;
    std::string root;  // exactly as passed
};

// Every call since the reset, in order.
std::vector<std::string> module_handle_calls();    // module names
std::vector<std::string> proc_address_calls();     // function names
std::vector<space_call> space_calls();             // both space functions
std::vector<std::string> volume_information_calls();  // roots

// --- files and folders ----------------------------------------------------

// Puts something on a volume that the program did not create (its bytes
// are already counted in the free space). Missing parent folders are made.
void add_folder(const char *path);
void add_file(const char *path, int64_t size);
// The file at `path`, now or once created, cannot be deleted, not even
// by closing its last delete-on-close handle.
void lock_file(const char *path);
// What may stand at a path instead of a plain file of the program's: a
// file whose data has a second name (a hard link), a symbolic link, and a
// file another program holds open for writing.
void link_elsewhere(const char *path);
void make_symbolic_link(const char *path);
// A link whose `target` an open or create without FILE_FLAG_OPEN_REPARSE_POINT
// goes to, as on Windows; one made above, without a target, is refused then.
void make_symbolic_link_to(const char *path, const char *target);
void hold_open(const char *path);
// Another program (a virus scanner) holds the file sharing its deletion:
// deleted without POSIX semantics, its name stays while it is held, and
// opens of it fail as pending deletions.
void scan(const char *path);
// The user may neither open the entry nor read its attributes.
void deny_access(const char *path);
// The file has the read-only attribute; opening it for writing is refused.
void make_read_only(const char *path);
// A symbolic link that the system shows as the plain file it points at (as
// Wine does for a link of the host's file system); only the path that
// GetFinalPathNameByHandleW gives away tells.
void link_shown_as_file(const char *path, const char *target);

// Scripted faults. Indices count the calls since the reset, from 0.
void fail_create_at(int index);           // the index-th file creation fails
void fail_create_path(const char *path);  // every creation of this file fails
void fail_commit_at(int index);           // the index-th _commit fails
// The block-th fwrite takes `accepted` bytes, with a write fault.
void short_write_at(int block, size_t accepted);
void fail_create_folder(const char *path);

// Called after every fwrite with its index since the reset, outside the
// double's lock, so that it may call the double or change shared flags.
void on_fwrite(std::function<void(int block)> hook);
// Called after every fclose with the path of the stream, likewise.
void on_fclose(std::function<void(const std::string &path)> hook);

enum file_op {
    OP_CREATE,  // CreateFileA of a file
    OP_FWRITE,
    OP_WRITE,  // WriteFile
    OP_FFLUSH,
    OP_COMMIT,
    OP_FCLOSE,
    OP_DELETE,
    OP_MKDIR,
    OP_RMDIR,
    OP_COMPRESSION,  // FSCTL_SET_COMPRESSION
    OP_CLOSE,        // CloseHandle of a file
    OP_DUPLICATE,    // DuplicateHandle of a file's handle
    OP_EMPTY,        // a file cut to no bytes through its handle
    OP_READ,         // ReadFile
    OP_GROW,         // SetEndOfFile
    OP_VALID_DATA,   // SetFileValidData
};
struct file_call {
    file_op op;
    std::string path;   // as passed, or as opened for stream calls
    bool ok;            // the call succeeded (fwrite: wrote all it was asked)
    size_t requested;   // fwrite, WriteFile and ReadFile only
    size_t written;     // fwrite, WriteFile and ReadFile only
    int64_t offset = 0;  // WriteFile, ReadFile: where; OP_GROW, OP_VALID_DATA: the length
};

// Every file and folder call since the reset, in order.
std::vector<file_call> file_calls();
// The byte counts of the fwrite and WriteFile calls made on `path`, in order.
std::vector<size_t> writes_to(const char *path);
// Number of fwrite calls whose data held a byte other than zero.
int nonzero_writes();
// Streams opened and not yet closed.
int open_streams();

// What exists now: the folders and files of the volume, paths as they were
// created, sorted without regard to case.
std::vector<std::string> listing(char letter);
bool exists(const char *path);
// What would be left of the volume's files and folders if the process
// were killed now: all but the files whose every handle was opened
// delete-on-close (the system deletes those as it closes them).
std::vector<std::string> remains_after_kill(char letter);

// For the double's other areas: CreateFileA, DeviceIoControl and CloseHandle
// of a file rather than a volume device.
bool is_file_handle(HANDLE handle);
HANDLE create_volume_file(LPCSTR path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags);
BOOL compression_control(HANDLE handle, DWORD code, LPVOID in, DWORD in_size);
bool close_file_handle(HANDLE handle);

}  // namespace fake
