// Removing a file or folder that a run made, decided by a handle and done
// through that handle: a name is only ever looked at once, so that nothing
// put at the name in between (a link above all) is taken for the run's own.
#pragma once

#include "platform/os.h"

enum entry_kind {
    ENTRY_FILE,         // a plain file of one name
    ENTRY_FOLDER,       // a plain folder
    ENTRY_GONE,         // nothing there, or already being deleted
    ENTRY_LINK,         // a link or reparse point, or opened under another name
    ENTRY_HARD_LINKED,  // its data has a second name
    ENTRY_READ_ONLY,    // someone marked it so: it is not ours
    ENTRY_IN_USE,       // another program, say a second run, has it open
    ENTRY_UNREADABLE,   // the system refused to open it or to say what it is
};

// Opens `path` as itself (a link is never followed) for deletion and says
// what it is. `handle` is open for ENTRY_FILE, ENTRY_FOLDER and the kinds
// that are not ours; close it with close_entry or delete_entry.
entry_kind open_entry(const char *path, HANDLE *handle);
void close_entry(HANDLE handle);
// Deletes the entry that open_entry found at `path` as `kind` through its
// handle, and closes it; a folder must be empty. False when the system
// refused.
bool delete_entry(HANDLE handle, const char *path, entry_kind kind);

// Opens and deletes `path` when it is a plain file (or, with `folder`, a
// plain folder) of the run's: ENTRY_GONE once deleted or when nothing was
// there, else why not; ENTRY_UNREADABLE also when the deletion failed.
entry_kind remove_own_entry(const char *path, bool folder);

// What stands at `path`, as open_entry says, without keeping it open.
entry_kind entry_at(const char *path);

// Cuts an open file to no bytes, giving its space back while the handle
// still keeps the name. False where the system cannot (before Vista).
bool empty_file(HANDLE handle);
