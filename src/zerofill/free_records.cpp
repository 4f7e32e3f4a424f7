// Zeros over the free records of the master file table.
#include "zerofill/free_records.h"

#include <stdio.h>

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
// the files. File i lies in leaf i / FOLDER_ENTRIES. The folders on the way
// to the current leaf stay open, each made in the one above it through its
// handle: what the step makes goes into the folders it made, whatever
// happens to their names meanwhile.
struct record_tree {
    char letter;
    int levels;
    int64_t files;   // files made: 0 .. files - 1
    int64_t leaves;  // leaves begun
    own_entry folders[MOST_FOLDER_LEVELS + 1];  // [0] the step's folder, [d] d levels down
};

// The step works in a folder of its own, which it makes anew every time and
// never takes over from anyone. Its name says what it is and carries a mark
// that no folder of a user's has by chance, so that the next run can tell
// a tree left by a killed run and remove it (the system cannot delete a
// tree on close as it does the big files).
static const char RECORD_FOLDER_NAME[] = "VOIDFILL-MFT-7C2E9A41D3B6F058.TMP";

static void record_folder_path(char *buffer, size_t size, char letter)
{
    snprintf(buffer, size, "%c:\\%s", letter, RECORD_FOLDER_NAME);
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

static bool begin_leaf(record_tree *tree)
{
    int64_t leaf = tree->leaves++;
    for (int depth = 1; depth <= tree->levels; depth++) {
        // The folder `depth` levels down is new with its first leaf.
        int64_t leaves_below = power_of_entries(tree->levels - depth);
        if (leaf % leaves_below != 0)
            continue;
        char name[8];
        snprintf(name, sizeof name, "%d", (int)(leaf / leaves_below % FOLDER_ENTRIES));
        close_entry(&tree->folders[depth]);
        if (!make_folder_below(tree->folders[depth - 1], name, &tree->folders[depth]))
            return false;
    }
    return true;
}

enum record_file { NOT_MADE, MADE_WITHOUT_DATA, MADE };

// Made anew: a file that is already there, of whoever's, is never opened.
static record_file make_record_file(const own_entry &leaf, int entry, const char *zeros)
{
    char name[8];
    snprintf(name, sizeof name, "%d", entry);
    HANDLE file = make_file_below(leaf, name);
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
    for (;;) {
        if (!g_running)
            return RECORDS_STOPPED;
        if (tree.files % FILES_PER_TEXT == 0)
            show_records(tree.letter, STAGE_RECORDS, tree.files);
        int entry = (int)(tree.files % FOLDER_ENTRIES);
        if (entry == 0 && !begin_leaf(&tree))
            return RECORDS_DONE;
        record_file made = make_record_file(tree.folders[tree.levels], entry, zeros);
        if (made != NOT_MADE)
            tree.files++;
        if (made != MADE || drive_free_bytes() < start_free)
            return RECORDS_DONE;
    }
}

// A name taken by what is not the run's (a file, a link) keeps the step
// out of its folder, and the user hears of it; a plain folder there is one
// that the sweep could not empty, and has been named already.
static void tell_if_taken(char letter)
{
    char path[PATH_BUFFER_SIZE];
    record_folder_path(path, sizeof path, letter);
    entry_kind there = entry_at(path);
    if (there == ENTRY_GONE || there == ENTRY_FOLDER)
        return;
    run_notice notice = {NOTICE_STEP_SKIPPED, letter, path, NULL, 0, 0};
    front_notice(notice);
}

records_end fill_free_records(char letter, int64_t volume_bytes, const char *zeros)
{
    record_tree tree = {};
    tree.letter = letter;
    tree.levels = levels_for(volume_bytes);
    // Taken before the step's folder is made, whose record may be the one
    // that makes the table grow. With every record file and every folder
    // index inside its record, the free space only falls when the table
    // itself grows, which it never undoes: the first drop ends the step.
    // Asked through the root's handle: no path to look up for every file.
    int64_t start_free = drive_free_bytes();
    if (start_free < 0)
        return RECORDS_LEFT_OUT;
    // Made now or not used: a folder that is there already is somebody's,
    // or a killed run's that could not be removed.
    if (!make_folder_below(drive_root_entry(), RECORD_FOLDER_NAME, &tree.folders[0])) {
        tell_if_taken(letter);
        return RECORDS_LEFT_OUT;
    }
    records_end end = make_record_files(tree, start_free, zeros);
    for (own_entry &folder : tree.folders)
        close_entry(&folder);
    show_records(letter, STAGE_RECORDS_DONE, tree.files);
    return end;
}

// Removes the names the step gives (0 to FOLDER_ENTRIES - 1) in the open
// `folder`, deepest first, each opened in its folder and deleted through
// the handle that showed it to be a plain file or folder of the run's: a
// link is never entered nor removed, nor what it points at. With
// `stopped`, a stop of the run ends the removal and sets it.
static void remove_below(const own_entry &folder, int depth, bool *stopped, entries_left *left)
{
    for (int name = 0; name < FOLDER_ENTRIES; name++) {
        if (stopped != NULL && (*stopped || !g_running)) {
            *stopped = true;
            return;
        }
        char text[8];
        snprintf(text, sizeof text, "%d", name);
        own_entry entry;
        entry_kind kind = open_below(folder, text, &entry);
        if (kind == ENTRY_FOLDER && depth <= MOST_FOLDER_LEVELS)
            remove_below(entry, depth + 1, stopped, left);
        if (stopped != NULL && *stopped) {
            close_entry(&entry);
            return;
        }
        if (kind == ENTRY_GONE ||
            ((kind == ENTRY_FILE || kind == ENTRY_FOLDER) && delete_entry(&entry)))
            continue;
        close_entry(&entry);
        if (kind == ENTRY_FOLDER)
            left->folders++;
        else
            left->files++;
    }
}

// The step's folder, when a plain folder of the run's is there.
static bool open_record_folder(own_entry *folder)
{
    if (open_below(drive_root_entry(), RECORD_FOLDER_NAME, folder) == ENTRY_FOLDER)
        return true;
    close_entry(folder);
    return false;
}

int remove_record_folder(char letter)
{
    char path[PATH_BUFFER_SIZE];
    record_folder_path(path, sizeof path, letter);
    own_entry folder;
    if (!open_record_folder(&folder))
        return 0;
    entries_left left = {0, 0};
    remove_below(folder, 1, NULL, &left);
    return remove_temp_folder(&folder, path, left);
}

bool sweep_record_folder(char letter)
{
    char path[PATH_BUFFER_SIZE];
    record_folder_path(path, sizeof path, letter);
    own_entry folder;
    if (!open_record_folder(&folder))
        return true;
    run_progress progress = {STAGE_DELETING, letter, 0, 0, 0};
    front_progress(progress);
    bool stopped = false;
    entries_left left = {0, 0};
    remove_below(folder, 1, &stopped, &left);
    if (!stopped) {
        remove_temp_folder(&folder, path, left);
        return true;
    }
    close_entry(&folder);
    run_notice notice = {NOTICE_SWEEP_STOPPED, letter, path, NULL, 0, 0};
    front_notice(notice);
    return false;
}
