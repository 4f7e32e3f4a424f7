// Zeros only where the free space holds data.
#include "zerofill/where_data.h"

#include <string.h>

#include "volume/volume.h"
#include "zerofill/run_state.h"

bool enable_volume_right()
{
    HANDLE token;
    if (!sys::OpenProcessToken(sys::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               &token))
        return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = sys::LookupPrivilegeValueA(NULL, SE_MANAGE_VOLUME_NAME,
                                              &privileges.Privileges[0].Luid) &&
                   sys::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, NULL,
                                              NULL) &&
                   // It succeeds without the right, and says so only here.
                   sys::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    sys::CloseHandle(token);
    return enabled;
}

run_way read_first_refusal(const char *root, int fs)
{
    if (is_fat_family(fs))
        return WAY_FAT;
    if (sys::GetDriveTypeA(root) == DRIVE_REMOTE)
        return WAY_NETWORK;
    return enable_volume_right() ? WAY_READ_FIRST : WAY_NO_RIGHT;
}

run_way file_refusal(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!sys::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info))
        return WAY_VALID_DATA_REFUSED;
    if (info.FileAttributes & FILE_ATTRIBUTE_COMPRESSED)
        return WAY_COMPRESSED;
    if (info.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE)
        return WAY_SPARSE;
    if (info.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED)
        return WAY_ENCRYPTED;
    return WAY_READ_FIRST;
}

int64_t io_unit(const char *root)
{
    DWORD sectors_per_cluster, bytes_per_sector, free_clusters, total_clusters;
    int64_t unit = 4096;
    if (sys::GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                               &total_clusters))
        while (unit < (int64_t)bytes_per_sector && unit < MOST_IO_UNIT)
            unit *= 2;
    return unit;
}

static OVERLAPPED at_offset(int64_t offset)
{
    OVERLAPPED where = {};
    where.Offset = (DWORD)offset;
    where.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
    return where;
}

// One read into the data, or one write of zeros, at `offset`; a stop
// cancels it rather than wait for a slow volume.
static bool move_block(read_first_fill &fill, bool reading, int64_t offset, DWORD length)
{
    OVERLAPPED where = at_offset(offset);
    DWORD moved = 0;
    if (!begin_write())
        return false;
    BOOL done = reading ? sys::ReadFile(fill.file, fill.data, length, &moved, &where)
                        : sys::WriteFile(fill.file, fill.zeros, length, &moved, &where);
    fill.error = sys::GetLastError();
    end_write();
    return done && moved == length;
}

// Whether `length` bytes (at least 16) are all zero: the first 16 are, and
// every byte equals the one 16 further on. One pass over the bytes, which
// stay in the cache for the second pointer.
static bool all_zero(const char *bytes, int64_t length)
{
    static const char sixteen[16] = {};
    return memcmp(bytes, sixteen, 16) == 0 && memcmp(bytes, bytes + 16, (size_t)length - 16) == 0;
}

// Zeros over every run of units of the block at `offset` that are not zero
// already (or, only looking, their count).
static bool zero_where_data(read_first_fill &fill, int64_t offset, DWORD length)
{
    int64_t run_start = -1;
    for (int64_t at = 0; at <= length; at += fill.unit) {
        bool data = at < length && !all_zero(fill.data + at, fill.unit);
        if (data && run_start < 0)
            run_start = at;
        if (data || run_start < 0)
            continue;
        fill.bytes_with_data += at - run_start;
        if (!fill.check_only &&
            !move_block(fill, false, offset + run_start, (DWORD)(at - run_start)))
            return false;
        run_start = -1;
    }
    return true;
}

static bool read_block(read_first_fill &fill, int64_t offset, DWORD length)
{
    if (!move_block(fill, true, offset, length)) {
        fill.read_failed = true;
        return false;
    }
    fill.bytes_read += length;
    // Most free space of a clean disk: nothing in it to write or to wipe.
    if (all_zero(fill.data, length))
        return true;
    bool zeroed = zero_where_data(fill, offset, length);
    // What the block held is the volume's old data: it goes with the block.
    memset(fill.data, 0, length);
    return zeroed;
}

static void show_block(const read_first_fill &fill, int64_t to_write, int64_t offset)
{
    // The file takes the free space in order: its offset is what is done.
    run_progress progress = {STAGE_WRITING, fill.letter, to_write, offset, 0};
    progress.way = fill.reading ? WAY_READ_FIRST : WAY_VALID_DATA_REFUSED;
    progress.bytes_read = fill.bytes_read;
    progress.bytes_with_data = fill.bytes_with_data;
    front_progress(progress);
}

// The file's end moves out by the stretch, which takes the space; with the
// valid data moved along, the stretch reads what its clusters hold.
static stretch_end grow(read_first_fill &fill, int64_t end)
{
    LARGE_INTEGER position;
    position.QuadPart = end;
    if (!sys::SetFilePointerEx(fill.file, position, NULL, FILE_BEGIN) ||
        !sys::SetEndOfFile(fill.file)) {
        fill.error = sys::GetLastError();
        return STRETCH_NOT_GROWN;
    }
    if (!fill.reading || sys::SetFileValidData(fill.file, end))
        return STRETCH_DONE;
    fill.error = sys::GetLastError();
    run_progress progress = {STAGE_WAY, fill.letter, 0, 0, 0};
    progress.way = WAY_VALID_DATA_REFUSED;
    progress.error = fill.error;
    front_progress(progress);
    if (fill.check_only)
        return STRETCH_NOT_EXPOSED;
    // Not a half-way: every block from here on gets its zeros.
    fill.reading = false;
    return STRETCH_DONE;
}

stretch_end fill_stretch(read_first_fill &fill, int64_t bytes, int64_t to_write)
{
    int64_t start = fill.file_bytes;
    stretch_end grown = grow(fill, start + bytes);
    if (grown != STRETCH_DONE)
        return grown;
    fill.file_bytes = start + bytes;
    for (int64_t offset = start; offset < fill.file_bytes;) {
        if (!g_running)
            return STRETCH_STOPPED;
        DWORD length = (DWORD)(fill.file_bytes - offset < fill.pace.size ? fill.file_bytes - offset
                                                                         : fill.pace.size);
        show_block(fill, to_write - (offset - start), offset);
        begin_block(fill.pace);
        bool done = fill.reading ? read_block(fill, offset, length)
                                 : move_block(fill, false, offset, length);
        end_block(fill.pace);
        if (!done)
            return STRETCH_FAILED;
        offset += length;
    }
    return STRETCH_DONE;
}
