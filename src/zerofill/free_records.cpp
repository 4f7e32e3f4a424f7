// Zeros over the free records of the master file table.
#include "zerofill/free_records.h"

#include <stdio.h>
#include <string.h>

#include "volume/volume.h"
#include "zerofill/own_entry.h"
#include "zerofill/run_front.h"
#include "zerofill/run_state.h"
#include "zerofill/temp_files.h"

enum {
    // Zeros over the part of a record where a small file's data lay, yet
    // few enough to stay inside the record rather than take a cluster.
    RECORD_FILE_BYTES = 640,
    // Names per folder: so few that every folder's index stays inside its
    // own record and takes no cluster either (ntfs-3g moves it out at six).
    FOLDER_ENTRIES = 5,
    MOST_FOLDER_LEVELS = 12,
    RECORD_BYTES = 1024,
    // A text for every file would keep the window's thread redrawing, and
    // the step would take a quarter longer.
    FILES_PER_TEXT = 32,
};

// The files of the step: a tree of folders below the step's folder,
// FOLDER_ENTRIES wide and `levels` deep, whose last folders ("leaves") hold
// the files. File i lies in leaf i / FOLDER_ENTRIES.
struct record_tree {
    char letter;
    int levels;
    int64_t files;   // files made: 0 .. files - 1
    int64_t leaves;  // leaves begun
};

// The step works in a folder of its own, which it makes anew every time and
// never takes over from anyone. Its name says what it is and carries a mark
// that no folder of a user's has by chance, so that the next run can tell
// a tree left by a killed run and remove it (the system cannot delete a
// tree on close as it does the big files).
static void record_folder_path(char *buffer, size_t size, char letter)
{
    snprintf(buffer, size, "%c:\\VOIDFILL-MFT-7C2E9A41D3B6F058.TMP", letter);
}

static int64_t power_of_entries(int exponent)
{
    int64_t power = 1;
    while (exponent-- > 0)
        power *= FOLDER_ENTRIES;
    return power;
}

// Enough levels for a file per record the volume could hold.
static int levels_for(int64_t volume_bytes)
{
    int64_t records = volume_bytes > 0 ? volume_bytes / RECORD_BYTES : INT64_MAX;
    int levels = 1;
    while (levels < MOST_FOLDER_LEVELS && power_of_entries(levels + 1) < records)
        levels++;
    return levels;
}

static void append_name(char *buffer, size_t size, int name)
{
    size_t used = strnlen(buffer, size);
    snprintf(buffer + used, size - used, "\\%d", name);
}

// The folder `depth` levels down towards `leaf`; with `file` >= 0, that
// file in the leaf.
static void tree_path(char *buffer, size_t size, const record_tree &tree, int64_t leaf,
                      int depth, int file)
{
    record_folder_path(buffer, size, tree.letter);
    for (int k = 0; k < depth; k++)
        append_name(buffer, size,
                    (int)(leaf / power_of_entries(tree.levels - 1 - k) % FOLDER_ENTRIES));
    if (file >= 0)
        append_name(buffer, size, file);
}

static bool begin_leaf(record_tree *tree)
{
    char path[PATH_BUFFER_SIZE];
    int64_t leaf = tree->leaves++;
    for (int depth = 1; depth <= tree->levels; depth++) {
        // The folder `depth` levels down is new with its first leaf.
        if (leaf % power_of_entries(tree->levels - depth) != 0)
            continue;
        tree_path(path, sizeof path, *tree, leaf, depth, -1);
        if (!sys::CreateDirectoryA(path, NULL))
            return false;
    }
    return true;
}

enum record_file { NOT_MADE, MADE_WITHOUT_DATA, MADE };

// CREATE_NEW: a file that is already there, of whoever's, is never opened,
// and a link planted at the name is not followed.
static record_file make_record_file(const char *path, const char *zeros)
{
    HANDLE file = sys::CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NOT_MADE;
    DWORD written = 0;
    BOOL ok = sys::WriteFile(file, zeros, RECORD_FILE_BYTES, &written, NULL);
    sys::CloseHandle(file);
    return ok && written == RECORD_FILE_BYTES ? MADE : MADE_WITHOUT_DATA;
}

static void show_records(char letter, run_stage stage, int64_t files)
{
    run_progress progress = {stage, letter, 0, 0, files};
    front_progress(progress);
}

// Makes files until one cannot be made or the free space drops.
static records_end make_record_files(record_tree &tree, int64_t start_free, const char *zeros)
{
    char root[ROOT_TEXT_SIZE];
    char path[PATH_BUFFER_SIZE];
    drive_root(root, tree.letter);
    for (;;) {
        if (!g_running)
            return RECORDS_STOPPED;
        if (tree.files % FILES_PER_TEXT == 0)
            show_records(tree.letter, STAGE_RECORDS, tree.files);
        int entry = (int)(tree.files % FOLDER_ENTRIES);
        if (entry == 0 && !begin_leaf(&tree))
            return RECORDS_DONE;
        tree_path(path, sizeof path, tree, tree.leaves - 1, tree.levels, entry);
        record_file made = make_record_file(path, zeros);
        if (made != NOT_MADE)
            tree.files++;
        if (made != MADE || get_free_bytes(root) < start_free)
            return RECORDS_DONE;
    }
}

records_end fill_free_records(char letter, int64_t volume_bytes, int64_t start_free,
                              const char *zeros)
{
    char path[PATH_BUFFER_SIZE];
    record_tree tree = {letter, levels_for(volume_bytes), 0, 0};
    // With every record file and every folder index inside its record, the
    // free space only falls when the table itself grows, which it never
    // undoes: the first drop ends the step.
    if (start_free < 0)
        return RECORDS_LEFT_OUT;
    // Made now or not used: a folder that is there already is somebody's,
    // or a killed run's that could not be removed.
    record_folder_path(path, sizeof path, letter);
    if (!sys::CreateDirectoryA(path, NULL))
        return RECORDS_LEFT_OUT;
    records_end end = make_record_files(tree, start_free, zeros);
    show_records(letter, STAGE_RECORDS_DONE, tree.files);
    return end;
}

// Removes the names the step gives (0 to FOLDER_ENTRIES - 1) below the
// folder in `path`, deepest first, each through the handle that showed it
// to be a plain file or folder: a link is never entered nor removed, nor
// what it points at. The number of names left. With `stopped`, a stop of
// the run ends the removal and sets it.
static int remove_tree_below(char *path, size_t size, int depth, bool *stopped)
{
    size_t used = strnlen(path, size);
    int left = 0;
    for (int name = 0; name < FOLDER_ENTRIES; name++) {
        if (stopped != NULL && (*stopped || !g_running)) {
            *stopped = true;
            break;
        }
        path[used] = '\0';
        append_name(path, size, name);
        HANDLE handle;
        entry_kind kind = open_entry(path, &handle);
        if (kind == ENTRY_FOLDER && depth <= MOST_FOLDER_LEVELS)
            left += remove_tree_below(path, size, depth + 1, stopped);
        if (kind == ENTRY_FILE || kind == ENTRY_FOLDER) {
            left += !delete_entry(handle, path, kind);
        } else {
            close_entry(handle);
            left += kind != ENTRY_GONE;
        }
    }
    path[used] = '\0';
    return left;
}

// The step's folder and what the step made in it, or a box for what could
// not be removed. False when `stoppable` and the run was stopped meanwhile.
static bool remove_tree(char letter, bool stoppable, int *left)
{
    char path[PATH_BUFFER_SIZE];
    record_folder_path(path, sizeof path, letter);
    *left = 0;
    // A folder of that name that is not a plain folder is not the step's.
    if (entry_at(path) != ENTRY_FOLDER)
        return true;
    bool stopped = false;
    int files_left = remove_tree_below(path, sizeof path, 1, stoppable ? &stopped : NULL);
    if (stopped)
        return false;
    *left = remove_temp_folder(path, files_left);
    return true;
}

int remove_record_folder(char letter)
{
    int left;
    remove_tree(letter, false, &left);
    return left;
}

bool sweep_record_folder(char letter)
{
    char path[PATH_BUFFER_SIZE];
    record_folder_path(path, sizeof path, letter);
    if (sys::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return true;
    run_progress progress = {STAGE_DELETING, letter, 0, 0, 0};
    front_progress(progress);
    int left;
    return remove_tree(letter, true, &left);
}
