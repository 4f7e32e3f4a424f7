// Zeros over the free records of the master file table.
#include "zerofill/free_records.h"

#include <stdint.h>
#include <stdio.h>

#include "volume/volume.h"
#include "zerofill/run_state.h"
#include "zerofill/run_text.h"
#include "zerofill/temp_files.h"

// The folder's own index takes a 4 KiB block now and then as names are
// added, at most one split's worth at a file. The table itself grows by
// several records at once, and never shrinks again: a larger drop at one
// file, or more in all than the index can need, ends the step.
static const int64_t MOST_INDEX_BYTES_AT_ONE_FILE = 2 * INDEX_BLOCK_BYTES;
static const int64_t MOST_INDEX_BYTES_PER_FILE = INDEX_BLOCK_BYTES / 16;

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

static bool table_grew(int64_t start_free, int64_t last_free, int64_t free_now, int files)
{
    return free_now < 0 || last_free - free_now > MOST_INDEX_BYTES_AT_ONE_FILE ||
           start_free - free_now > MOST_INDEX_BYTES_AT_ONE_FILE + files * MOST_INDEX_BYTES_PER_FILE;
}

records_end fill_free_records(char letter, const char *zeros, int *created)
{
    char root[4] = {letter, ':', '\\', '\0'};
    char path[PATH_BUFFER_SIZE];
    int64_t start_free = get_free_bytes(root);
    int64_t last_free = start_free;
    *created = 0;
    // Without the free space the table's growth cannot be seen.
    if (start_free < 0)
        return RECORDS_DONE;
    for (;;) {
        if (!g_running)
            return RECORDS_STOPPED;
        show_run_text(TEXT_RECORDS, *created);
        temp_folder_file_path(path, sizeof path, letter, *created);
        record_file made = make_record_file(path, zeros);
        if (made == NOT_MADE)
            return RECORDS_DONE;
        (*created)++;
        if (made != MADE)
            return RECORDS_DONE;
        int64_t free_now = get_free_bytes(root);
        if (table_grew(start_free, last_free, free_now, *created))
            return RECORDS_DONE;
        last_free = free_now;
    }
}
