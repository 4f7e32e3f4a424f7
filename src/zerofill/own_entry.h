// What a run reuses or removes, reached from the drive's root one name at a
// time: each name is opened relative to the folder before it and as itself
// (a link is never followed), so that nothing between the root and the
// entry is looked up again and a folder swapped for a link meanwhile leads
// nowhere; the entry is checked through that handle and deleted through it.
#pragma once

#include "platform/os.h"

enum entry_kind {
    ENTRY_FILE,         // a plain file of one name
    ENTRY_FOLDER,       // a plain folder
    ENTRY_GONE,         // nothing there, or already being deleted
    ENTRY_LINK,         // a link or reparse point, or something reached elsewhere
    ENTRY_HARD_LINKED,  // its data has a second name
    ENTRY_READ_ONLY,    // someone marked it so: it is not ours
    ENTRY_IN_USE,       // another program, say a second run, has it open
    ENTRY_UNREADABLE,   // the system refused to open it or to say what it is
};

enum { ENTRY_PATH_SIZE = 1024 };

// An entry of the run's drive: its handle, what it is, and the path the
// system must give that handle for the entry to be the one the run walked to.
struct own_entry {
    HANDLE handle;  // NULL when nothing is open
    entry_kind kind;
    WCHAR path[ENTRY_PATH_SIZE];
};

// Opens the root of drive `letter` for the run, once, and takes its path as
// the system gives it: the same volume under another drive name, a subst
// drive (a folder of another drive) and a mapped drive then behave as the
// drive itself. False when it cannot be opened: nothing is the run's then.
bool open_drive_root(char letter);
void close_drive_root();
// The root, open from open_drive_root to close_drive_root.
const own_entry &drive_root_entry();
// The free bytes of the root's volume for this program (its quota
// included), asked through the root: -1 when they cannot be.
int64_t drive_free_bytes();

// Opens `name`, a single name, in the open folder `folder`, for deletion,
// and says what it is. `entry` holds it open for ENTRY_FILE, ENTRY_FOLDER
// and the kinds that are not ours; close_entry or delete_entry closes it.
entry_kind open_below(const own_entry &folder, const char *name, own_entry *entry);
// The same for `path` on the run's drive ("x:\VOIDTEMP\V_000000.TMP"),
// name by name from the root: a name on the way that is not a plain folder
// of the run's ends the walk with what it is.
entry_kind open_entry(const char *path, own_entry *entry);
void close_entry(own_entry *entry);
// Deletes the open entry through its handle (a folder must be empty) and
// closes it. Where the system knows it, with POSIX semantics: the name goes
// at once, even while another program still holds the file. False when
// the system refused.
bool delete_entry(own_entry *entry);

// Makes the folder `name` anew in `folder` (never opening what is there),
// open in `made` for what goes into it.
bool make_folder_below(const own_entry &folder, const char *name, own_entry *made);
// Makes the file `name` anew in `folder`, open for writing only by this
// handle: INVALID_HANDLE_VALUE when it cannot be made.
HANDLE make_file_below(const own_entry &folder, const char *name);

// Opens and deletes `path` when it is a plain file (or, with `folder`, a
// plain folder) of the run's: ENTRY_GONE once deleted or when nothing was
// there, else why not; ENTRY_UNREADABLE also when the deletion failed.
entry_kind remove_own_entry(const char *path, bool folder);

// What stands at `path`, as open_entry says, without keeping it open.
entry_kind entry_at(const char *path);

// Cuts an open file to no bytes, giving its space back while the handle
// still keeps the name.
bool empty_file(HANDLE handle);
