// Zeros over the free records of the master file table.
#include "zerofill/free_records.h"

#include <stdio.h>
#include <string.h>

#include "volume/volume.h"
#include "zerofill/run_state.h"
#include "zerofill/run_text.h"
#include "zerofill/temp_files.h"

enum {
    RECORD_BYTES = 1024,
    // A text for every file would keep the window's thread redrawing, and
    // the step would take a quarter longer.
    FILES_PER_TEXT = 32,
};

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

// The folder `depth` levels down towards `leaf`; with `file` >= 0, that
// file in the leaf.
static void tree_path(char *buffer, size_t size, const record_tree &tree, int64_t leaf,
                      int depth, int file)
{
    temp_folder_path(buffer, size, tree.letter);
    for (int k = 0; k < depth; k++) {
        size_t used = strnlen(buffer, size);
        int digit = (int)(leaf / power_of_entries(tree.levels - 1 - k) % FOLDER_ENTRIES);
        snprintf(buffer + used, size - used, "\\%d", digit);
    }
    if (file >= 0) {
        size_t used = strnlen(buffer, size);
        snprintf(buffer + used, size - used, "\\%d", file);
    }
}

// The folder `depth` levels down is new with this leaf: it is the first
// leaf below it.
static bool first_leaf_below(const record_tree &tree, int64_t leaf, int depth)
{
    return leaf % power_of_entries(tree.levels - depth) == 0;
}

static bool begin_leaf(record_tree *tree)
{
    char path[PATH_BUFFER_SIZE];
    int64_t leaf = tree->leaves++;
    tree->last_chain = 0;
    for (int depth = 1; depth <= tree->levels; depth++) {
        if (first_leaf_below(*tree, leaf, depth)) {
            tree_path(path, sizeof path, *tree, leaf, depth, -1);
            if (!sys::CreateDirectoryA(path, NULL))
                return false;
        }
        tree->last_chain = depth;
    }
    return true;
}

enum record_file { NOT_MADE, MADE_WITHOUT_DATA, MADE };

// CREATE_NEW: a file that is already there, of whoever's, is never opened.
static record_file make_record_file(const char *path, const char *zeros)
{
    HANDLE file = sys::CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NOT_MADE;
    DWORD written = 0;
    BOOL ok = sys::WriteFile(file, zeros, RECORD_FILE_BYTES, &written, NULL);
    sys::CloseHandle(file);
    return ok && written == RECORD_FILE_BYTES ? MADE : MADE_WITHOUT_DATA;
}

records_end fill_free_records(record_tree *tree, int64_t volume_bytes, int64_t start_free,
                              const char *zeros)
{
    char root[4] = {tree->letter, ':', '\\', '\0'};
    char path[PATH_BUFFER_SIZE];
    tree->levels = levels_for(volume_bytes);
    tree->files = 0;
    tree->leaves = 0;
    tree->last_chain = 0;
    // With every record file and every folder index inside its record, the
    // free space only falls when the table itself grows, which it never
    // undoes: the first drop ends the step.
    if (start_free < 0)
        return RECORDS_DONE;
    for (;;) {
        if (!g_running)
            return RECORDS_STOPPED;
        if (tree->files % FILES_PER_TEXT == 0)
            show_run_text(TEXT_RECORDS, tree->files);
        int entry = (int)(tree->files % FOLDER_ENTRIES);
        if (entry == 0 && !begin_leaf(tree))
            return RECORDS_DONE;
        tree_path(path, sizeof path, *tree, tree->leaves - 1, tree->levels, entry);
        record_file made = make_record_file(path, zeros);
        if (made != NOT_MADE)
            tree->files++;
        if (made != MADE || get_free_bytes(root) < start_free)
            return RECORDS_DONE;
    }
}

int64_t remove_record_tree(const record_tree &tree)
{
    char path[PATH_BUFFER_SIZE];
    int64_t failed = 0;
    for (int64_t leaf = tree.leaves - 1; leaf >= 0; leaf--) {
        int64_t first = leaf * FOLDER_ENTRIES;
        int64_t end = tree.files < first + FOLDER_ENTRIES ? tree.files : first + FOLDER_ENTRIES;
        for (int64_t i = end - 1; i >= first; i--) {
            tree_path(path, sizeof path, tree, leaf, tree.levels, (int)(i - first));
            failed += sys::DeleteFileA(path) != TRUE;
        }
        int made = leaf == tree.leaves - 1 ? tree.last_chain : tree.levels;
        for (int depth = made; depth >= 1; depth--) {
            if (!first_leaf_below(tree, leaf, depth))
                continue;
            tree_path(path, sizeof path, tree, leaf, depth, -1);
            failed += !sys::RemoveDirectoryA(path);
        }
    }
    return failed;
}
