// The zero-fill run.
#include "zerofill/zero_fill.h"

#include <stdio.h>
#include <stdlib.h>

#include "volume/volume.h"
#include "zerofill/block_pace.h"
#include "zerofill/free_records.h"
#include "zerofill/open_temp_file.h"
#include "zerofill/own_entry.h"
#include "zerofill/run_front.h"
#include "zerofill/temp_files.h"
#include "zerofill/where_data.h"

enum {
    // Every full write, from one block of zeros prepared once.
    ZERO_BUFFER_SIZE = 4194304,
    // A FAT file holds 2 GB: room for a FAT32 volume of 16 TiB.
    MOST_TEMP_FILES = 8192,
    // Reading first, the file grows by this much at a time: few enough
    // questions of the free space, and a stretch read back in moments.
    STRETCH_BYTES = 64 * 1048576,
};

// On the FAT family a file that has received more than this is closed and
// the next one begun, well before the file system's 4 GiB limit.
static const int64_t FILE_ROLLOVER_BYTES = 2000000000;

// Zeros that take no space (a compressed, deduplicating or thin volume)
// would keep the run going for ever: over each stretch of this many bytes
// written, the free space must fall by at least half of them.
static const int64_t SHRINK_CHECK_BYTES = 256 * 1048576;

// Why the write loop ended.
enum fill_end {
    RESERVE_REACHED,  // only the reserve is free
    STOPPED,          // Cancel, Escape or an interrupt
    SHORT_WRITE,      // a block was not written whole
    COMMIT_FAILED,    // a file could not be committed to the medium
    CREATE_FAILED,    // the next temporary file could not be created
    NOT_SHRINKING,    // the zeros written take no space
    QUERY_FAILED,     // the free space could not be asked
    READ_FAILED,      // reading first, a stretch could not be read back
    NOT_LOOKED,       // only looking, and the free space could not be read
    GOING_ON,         // none of these yet
};

// The start of the current stretch of the check that zeros take space.
struct shrink_check {
    int64_t file_bytes;  // -1: no stretch begun for this file
    int64_t free_bytes;
    int64_t allocated;
};

// Everything one run owns.
struct fill_run {
    char letter;
    fill_way asked;
    int fs;
    bool switches_files;  // FAT family: numbered files, none past 2 GB
    int64_t reserve;
    block_pace pace;
    char root[ROOT_TEXT_SIZE];
    char path[PATH_BUFFER_SIZE];
    bool made_folder;  // FAT family: this run made the temporary folder
    int files_created;
    // Each file's second handle: it stays open, and the file with it, until
    // the end of the run, when closing it lets the system delete the file.
    HANDLE holds[MOST_TEMP_FILES];
    int64_t bytes_in_file;
    sys::FILE *file;
    bool reads_first;  // the file, holds[0], is read back past the cache
    read_first_fill read;
    const char *zeros;  // ZERO_BUFFER_SIZE, aligned to MOST_IO_UNIT
    temp_open_result open_failure;
    DWORD error;            // of the last short write, failed commit or failed query
    int64_t bytes_written;  // by the whole run
    shrink_check shrink;
};

static void tell(fill_run &run, run_notice_kind kind, const char *path = NULL)
{
    run_notice notice = {kind, run.letter, path, NULL, 0, run.error};
    front_notice(notice);
}

static void show_stage(const fill_run &run, run_stage stage, int64_t free_bytes = 0)
{
    run_progress progress = {stage, run.letter, free_bytes - run.reserve, run.bytes_written, 0};
    progress.bytes_read = run.read.bytes_read;
    progress.bytes_with_data = run.read.bytes_with_data;
    front_progress(progress);
}

// Flushes the stream and, with `commit`, commits the file to the medium
// before closing the stream, so that no zeros are still in the system's
// cache when the file is deleted. A stopped run skips the commit: the user
// is waiting. The file itself stays, held by its second handle.
static bool close_file(fill_run &run, bool commit)
{
    sys::fflush(run.file);
    bool committed = !commit || sys::_commit(sys::_fileno(run.file)) == 0;
    if (!committed)
        run.error = sys::GetLastError();
    sys::fclose(run.file);
    run.file = NULL;
    return committed;
}

static bool open_next_file(fill_run &run)
{
    temp_file_path(run.path, sizeof run.path, run.letter, run.fs, run.files_created);
    if (run.files_created == MOST_TEMP_FILES) {
        run.open_failure = TEMP_CREATE_FAILED;
        return false;
    }
    run.open_failure = open_temp_file(run.path, &run.file, &run.holds[run.files_created]);
    if (run.open_failure != TEMP_OPENED)
        return false;
    run.files_created++;
    run.bytes_in_file = 0;
    run.shrink.file_bytes = -1;
    return true;
}

// What the open file's data takes on the volume: less than its length when
// the file is compressed or sparse; -1 where the file system cannot say.
static int64_t allocated_bytes(HANDLE file)
{
    FILE_STANDARD_INFO info;
    if (!sys::GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info))
        return -1;
    return info.AllocationSize.QuadPart;
}

// False once a whole stretch of writes to the file has neither brought the
// free space down nor grown the file's allocation by half as much. Either
// alone can mislead: another program that frees space meanwhile hides the
// fall of the free space, and the allocation cannot always be asked. The
// first call for a file begins its first stretch.
static bool zeros_take_space(shrink_check &check, int64_t file_bytes, int64_t free_bytes,
                             HANDLE file)
{
    int64_t written = file_bytes - check.file_bytes;
    bool begun = check.file_bytes >= 0;
    if (begun && written < SHRINK_CHECK_BYTES)
        return true;
    int64_t allocated = allocated_bytes(file);
    bool takes = !begun || check.free_bytes - free_bytes >= written / 2 ||
                 (allocated >= 0 && check.allocated >= 0 &&
                  allocated - check.allocated >= written / 2);
    check = shrink_check{file_bytes, free_bytes, allocated};
    return takes;
}

// FAT family: a file past the rollover size is committed and the next one
// begun.
static fill_end switch_file_when_full(fill_run &run, int64_t free_bytes)
{
    if (!run.switches_files || run.bytes_in_file <= FILE_ROLLOVER_BYTES)
        return GOING_ON;
    show_stage(run, STAGE_SWITCHING_FILE, free_bytes);
    if (!close_file(run, true))
        return COMMIT_FAILED;
    if (!g_running)
        return STOPPED;
    return open_next_file(run) ? GOING_ON : CREATE_FAILED;
}

// One block, so that the last one leaves exactly the reserve free. A stop
// may cancel it while it is being written.
static bool write_block(fill_run &run, int64_t free_bytes)
{
    size_t n = (size_t)(free_bytes - run.reserve > run.pace.size ? run.pace.size
                                                                 : free_bytes - run.reserve);
    if (!begin_write())
        return false;
    begin_block(run.pace);
    size_t written = sys::fwrite(run.zeros, 1, n, run.file);
    DWORD error = sys::GetLastError();
    end_write();
    end_block(run.pace);
    run.bytes_in_file += (int64_t)written;
    run.bytes_written += (int64_t)written;
    if (written == n)
        return true;
    run.error = error;
    return false;
}

// A write cut short by a stop is the stop; one cut short because another
// program took the last free space is the normal end of a full volume.
static fill_end short_write_end(fill_run &run)
{
    if (!g_running)
        return STOPPED;
    int64_t free_bytes = get_free_bytes(run.root);
    if (free_bytes >= 0 && free_bytes <= run.reserve + ZERO_BUFFER_SIZE)
        return RESERVE_REACHED;
    return SHORT_WRITE;
}

// Appends zeros, one block per pass, until the free space that the volume
// reports before each block is down to the reserve or the run cannot go on.
static fill_end write_zeros(fill_run &run)
{
    for (;;) {
        int64_t free_bytes = get_free_bytes(run.root);
        if (free_bytes < 0) {
            run.error = sys::GetLastError();
            return QUERY_FAILED;
        }
        if (free_bytes <= run.reserve)
            return RESERVE_REACHED;
        if (!g_running)
            return STOPPED;
        if (!zeros_take_space(run.shrink, run.bytes_in_file, free_bytes,
                              run.holds[run.files_created - 1]))
            return NOT_SHRINKING;
        fill_end end = switch_file_when_full(run, free_bytes);
        if (end != GOING_ON)
            return end;
        show_stage(run, STAGE_WRITING, free_bytes);
        if (!write_block(run, free_bytes))
            return short_write_end(run);
    }
}

// Reading first: the file grows a stretch at a time, each no larger than
// the free space above the reserve that the volume reports before it.
static fill_end fill_stretches(fill_run &run)
{
    read_first_fill &fill = run.read;
    for (;;) {
        int64_t free_bytes = get_free_bytes(run.root);
        if (free_bytes < 0) {
            run.error = sys::GetLastError();
            return QUERY_FAILED;
        }
        int64_t room = (free_bytes - run.reserve) / fill.unit * fill.unit;
        if (room <= 0)
            return RESERVE_REACHED;
        if (!g_running)
            return STOPPED;
        if (!zeros_take_space(run.shrink, fill.file_bytes, free_bytes, fill.file))
            return NOT_SHRINKING;
        stretch_end end = fill_stretch(fill, room < STRETCH_BYTES ? room : (int64_t)STRETCH_BYTES,
                                       free_bytes - run.reserve);
        run.bytes_written = fill.file_bytes;
        run.error = fill.error;
        if (end == STRETCH_STOPPED || !g_running)
            return STOPPED;
        if (end == STRETCH_NOT_EXPOSED)
            return NOT_LOOKED;
        if (end != STRETCH_DONE)
            return fill.read_failed ? READ_FAILED : SHORT_WRITE;
    }
}

// Reading first, a complete fill is committed to the medium too.
static fill_end close_read_file(fill_run &run, fill_end end)
{
    show_stage(run, end == SHORT_WRITE ? STAGE_WRITE_FALSE : STAGE_FLUSHING);
    if (end != RESERVE_REACHED || run.asked == FILL_CHECK_ONLY ||
        sys::FlushFileBuffers(run.holds[0]))
        return end;
    run.error = sys::GetLastError();
    show_stage(run, STAGE_WRITE_FALSE);
    return COMMIT_FAILED;
}

// The stream still open is closed, committed when the fill is complete.
static fill_end close_last_file(fill_run &run, fill_end end)
{
    if (run.reads_first)
        return close_read_file(run, end);
    if (run.file == NULL) {
        // A commit at a file switch failed.
        if (end == COMMIT_FAILED)
            show_stage(run, STAGE_WRITE_FALSE);
        return end;
    }
    // Shown while the stream's buffers are still being written out.
    show_stage(run, end == SHORT_WRITE ? STAGE_WRITE_FALSE : STAGE_FLUSHING);
    if (close_file(run, end == RESERVE_REACHED))
        return end;
    show_stage(run, STAGE_WRITE_FALSE);
    return COMMIT_FAILED;
}

// A write that failed while space was still free leaves part of the free
// space unwritten, a commit that failed may have left the zeros short of
// the medium, and without the free space the fill cannot know where to
// stop: the user must hear of it.
static bool fill_unfinished(fill_end end)
{
    return end == SHORT_WRITE || end == COMMIT_FAILED || end == QUERY_FAILED ||
           end == READ_FAILED;
}

static void tell_why_unfinished(fill_run &run, fill_end end, bool unfinished)
{
    if (end == CREATE_FAILED)
        show_open_failure(run.letter, run.path, run.open_failure);
    if (end == NOT_SHRINKING)
        tell(run, NOTICE_NOT_SHRINKING);
    if (end == NOT_LOOKED)
        tell(run, NOTICE_CANNOT_LOOK);
    if (unfinished)
        tell(run, end == QUERY_FAILED  ? NOTICE_QUERY_FAILED
                  : end == READ_FAILED ? NOTICE_READ_FAILED
                                       : NOTICE_WRITE_FAILED,
             run.path);
}

// Closing the last handle of a temporary file deletes it.
static void release_temp_files(fill_run &run)
{
    for (int i = 0; i < run.files_created; i++)
        sys::CloseHandle(run.holds[i]);
}

// Every way out of the loop ends here: the big files give their space back
// before any box waits for the user, the file-table step's tree goes while
// the run still holds its file (no second run starts meanwhile), and a
// clean-up that leaves anything behind fails the run whatever it would have
// returned.
static int close_run(fill_run &run, fill_end end, bool tree_made)
{
    bool unfinished = fill_unfinished(end);
    show_stage(run, STAGE_DELETING);
    bool tree_left = false;
    if (tree_made) {
        empty_temp_file(run.holds[0]);
        tree_left = remove_record_folder(run.letter) != 0;
    }
    release_temp_files(run);
    tell_why_unfinished(run, end, unfinished);
    bool files_left = delete_temp_files(run.letter, run.files_created, run.fs) != 0;
    if (tree_left || files_left)
        return RUN_FAILED;
    if (end == RESERVE_REACHED)
        return RUN_DONE;
    return end == STOPPED ? RUN_CANCELLED : RUN_FAILED;
}

// The first file could not be made: nothing to remove but a folder that
// this run made (a mend: the folder would otherwise stay, empty).
static int fail_first_file(fill_run &run)
{
    show_open_failure(run.letter, run.path, run.open_failure);
    if (run.made_folder)
        delete_temp_files(run.letter, 0, run.fs);
    return RUN_FAILED;
}

// The temporary folder, there already as a plain folder (a leftover,
// reused) or made now; a link by that name is not entered.
static bool prepare_folder(fill_run &run)
{
    char folder[PATH_BUFFER_SIZE];
    temp_folder_path(folder, sizeof folder, run.letter);
    entry_kind there = entry_at(folder);
    if (there == ENTRY_FOLDER)
        return true;
    if (there == ENTRY_LINK) {
        tell(run, NOTICE_FOLDER_IS_LINK, folder);
        return false;
    }
    run.made_folder = there == ENTRY_GONE && sys::CreateDirectoryA(folder, NULL) != 0;
    if (!run.made_folder)
        tell(run, NOTICE_FOLDER_NOT_MADE, folder);
    return run.made_folder;
}

// On NTFS, with the free space down to the reserve and the fill committed:
// the free records of the file table get their zeros too. True when the
// step made its tree (which is then to be removed).
static bool run_record_step(fill_run &run, fill_end *end)
{
    // A Cancel that came with the last block leaves the fill complete and
    // the step not begun.
    if (*end != RESERVE_REACHED || run.fs != FS_NTFS || !g_running ||
        run.asked == FILL_CHECK_ONLY)
        return false;
    records_end step = fill_free_records(run.letter, get_total_bytes(run.root), run.zeros);
    if (step == RECORDS_STOPPED)
        *end = STOPPED;
    return step != RECORDS_LEFT_OUT;
}

static void show_way(const fill_run &run, run_way way)
{
    run_progress progress = {STAGE_WAY, run.letter, 0, 0, 0};
    progress.way = way;
    progress.error = run.error;
    front_progress(progress);
}

// Reading first, where the drive and the file let the run: the file is
// made past the cache and checked as it came out. Elsewhere, why not.
static run_way open_to_read_first(fill_run &run)
{
    run_way way = read_first_refusal(run.root, run.fs);
    if (way != WAY_READ_FIRST)
        return way;
    temp_file_path(run.path, sizeof run.path, run.letter, run.fs, 0);
    // No file at all where the run could not reach it again from the root.
    if (drive_root_entry().handle == NULL) {
        run.open_failure = TEMP_CREATE_FAILED;
        return WAY_READ_FIRST;
    }
    HANDLE file;
    run.open_failure = open_unbuffered_temp_file(run.path, &file);
    if (run.open_failure == TEMP_CREATE_FAILED) {
        // A refusal of the cache's bypass leaves the ordinary file to try.
        run.error = sys::GetLastError();
        run.open_failure = TEMP_OPENED;
        return WAY_UNBUFFERED_REFUSED;
    }
    // Something in the way is named as what it is.
    if (run.open_failure != TEMP_OPENED)
        return WAY_READ_FIRST;
    way = file_refusal(file);
    if (way != WAY_READ_FIRST) {
        // Its only handle: closing it deletes it.
        sys::CloseHandle(file);
        return way;
    }
    run.reads_first = true;
    run.holds[0] = file;
    run.files_created = 1;
    run.shrink.file_bytes = -1;
    read_first_fill &fill = run.read;  // its data buffer is the run's already
    fill.file = file;
    fill.letter = run.letter;
    fill.unit = io_unit(run.root);
    fill.check_only = run.asked == FILL_CHECK_ONLY;
    fill.reading = true;
    fill.zeros = run.zeros;
    fill.pace = run.pace;
    return WAY_READ_FIRST;
}

// The first file, made the way the run fills; false when it could not be
// (open_failure says why, or TEMP_OPENED when the run may only look and
// cannot).
static bool open_first_file(fill_run &run)
{
    run_way way = run.asked == FILL_WRITE_ALL ? WAY_WRITE_ALL_ASKED : open_to_read_first(run);
    show_way(run, way);
    if (run.reads_first)
        return true;
    if (way == WAY_READ_FIRST)
        return false;
    if (run.asked == FILL_CHECK_ONLY) {
        tell(run, NOTICE_CANNOT_LOOK);
        return false;
    }
    return open_next_file(run);
}

static int fill_with_zeros(fill_run &run)
{
    run.fs = get_fs_type(run.root);
    if (run.fs <= FS_OTHER) {
        // The name of this drive's volume, not one another drive reported.
        const char *name = run.fs == FS_ERROR ? FS_NAME_UNKNOWN : g_fs_name;
        run_notice notice = {NOTICE_FS_UNSUPPORTED, run.letter, run.root, name, 0, 0};
        front_notice(notice);
        return RUN_FAILED;
    }
    run.switches_files = is_fat_family(run.fs);
    // Only looking, nothing is made on a drive where the run cannot look.
    if (run.asked == FILL_CHECK_ONLY && run.switches_files) {
        show_way(run, WAY_FAT);
        tell(run, NOTICE_CANNOT_LOOK);
        return RUN_FAILED;
    }
    if (run.switches_files && !prepare_folder(run))
        return RUN_FAILED;
    if (!open_first_file(run))
        return run.open_failure == TEMP_OPENED ? RUN_FAILED : fail_first_file(run);
    fill_end end = GOING_ON;
    // With the file open no other run on the drive can be going: a tree
    // that a killed run left is removed now, before the step needs its name.
    if (run.fs == FS_NTFS && !sweep_record_folder(run.letter))
        end = STOPPED;
    if (end == GOING_ON)
        end = run.reads_first ? fill_stretches(run) : write_zeros(run);
    end = close_last_file(run, end);
    bool tree_made = run_record_step(run, &end);
    return close_run(run, end, tree_made);
}

// Where a block aligned to MOST_IO_UNIT begins inside an allocation made
// MOST_IO_UNIT bytes larger than the block.
static char *aligned(char *allocated)
{
    return allocated + (MOST_IO_UNIT - (uintptr_t)allocated % MOST_IO_UNIT) % MOST_IO_UNIT;
}

int zero_fill_drive_with(char letter, const fill_options &options)
{
    static_assert((int)ZERO_BUFFER_SIZE >= (int)READ_BLOCK_BYTES,
                  "the zeros cover a block read back");
    fill_run run = {};
    run.letter = letter;
    run.asked = options.way;
    run.reserve = options.reserve_bytes > RESERVE_BYTES ? options.reserve_bytes
                                                        : (int64_t)RESERVE_BYTES;
    run.pace = start_block_pace(options.blocks_follow_pace, ZERO_BUFFER_SIZE);
    show_stage(run, STAGE_STARTING);
    if (!g_running)
        return RUN_CANCELLED;

    // On the heap, prepared once: safe whatever stack the calling thread
    // has; aligned, since reading first writes them past the cache.
    char *zeros = (char *)calloc(1, ZERO_BUFFER_SIZE + MOST_IO_UNIT);
    char *data = options.way == FILL_WRITE_ALL ? NULL
                                               : (char *)malloc(READ_BLOCK_BYTES + MOST_IO_UNIT);
    if (zeros == NULL || (options.way != FILL_WRITE_ALL && data == NULL)) {
        free(zeros);
        tell(run, NOTICE_NO_MEMORY);
        return RUN_FAILED;
    }
    run.zeros = aligned(zeros);
    run.read.data = data != NULL ? aligned(data) : NULL;
    drive_root(run.root, letter);
    // Everything the run reuses or removes is reached from here; where the
    // root cannot be opened, nothing on the drive is taken for the run's.
    open_drive_root(letter);
    int result = fill_with_zeros(run);
    close_drive_root();
    free(zeros);
    free(data);
    return result;
}

int zero_fill_drive(char letter)
{
    return zero_fill_drive_with(letter, fill_options{RESERVE_BYTES, FILL_WRITE_ALL, false});
}
