// English lines for the run's notices.
#include "batch/notice_line.h"

#include <stdio.h>
#include <string.h>

#include "batch/output.h"
#include "volume/volume.h"

enum { SYSTEM_TEXT_SIZE = 256 };

// The system's English text for an error code, on one line of ASCII, for
// a log that someone on another continent may read.
static void system_error_text(char *text, size_t size, DWORD error)
{
    char message[SYSTEM_TEXT_SIZE] = "";
    const DWORD english_us = 0x0409;
    DWORD length = sys::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       NULL, error, english_us, message, sizeof message, NULL);
    if (length >= sizeof message)
        length = 0;
    message[length] = '\0';
    for (char *c = message; *c != '\0'; c++)
        if (*c == '\r' || *c == '\n' || (unsigned char)*c >= 0x80 || (unsigned char)*c < 0x20)
            *c = ' ';
    while (length > 0 && message[length - 1] == ' ')
        message[--length] = '\0';
    snprintf(text, size, "system error %lu%s%s", (unsigned long)error, length > 0 ? ": " : "",
             message);
}

static const char *not_ours_what(run_notice_kind kind)
{
    switch (kind) {
    case NOTICE_FILE_IS_FOLDER:
        return "a folder";
    case NOTICE_FILE_IS_LINK:
        return "a link (reparse point)";
    case NOTICE_FILE_HAS_LINKS:
        return "a file whose data has another name (hard link)";
    default:
        return "a read-only file";
    }
}

// " and 2 folders" beside the files left, or nothing.
static const char *folders_too(char *text, size_t size, int folders)
{
    text[0] = '\0';
    if (folders > 0)
        snprintf(text, size, " and %d %s", folders, folders == 1 ? "folder" : "folders");
    return text;
}

void format_notice_line(char *line, size_t size, const run_notice &n)
{
    char letter = n.letter;  // upper case, as the command line gives every drive
    char system_text[SYSTEM_TEXT_SIZE + 32];
    char name[4 * FS_NAME_SIZE];
    char folders[32];
    switch (n.kind) {
    case NOTICE_FS_UNSUPPORTED:
        escape_text(name, sizeof name, n.name);
        if (strcmp(n.name, FS_NAME_UNKNOWN) == 0)
            snprintf(line, size,
                     "%c: no file system could be read at %s: only NTFS, FAT and FAT32 are "
                     "supported",
                     letter, n.path);
        else
            snprintf(line, size,
                     "%c: file system '%s' of %s is not supported: only NTFS, FAT and FAT32",
                     letter, name, n.path);
        break;
    case NOTICE_NO_MEMORY:
        snprintf(line, size, "%c: out of memory", letter);
        break;
    case NOTICE_FOLDER_IS_LINK:
        snprintf(line, size,
                 "%c: the temporary folder %s is a link (reparse point), not this program's "
                 "folder: stopped, nothing written",
                 letter, n.path);
        break;
    case NOTICE_FOLDER_NOT_MADE:
        snprintf(line, size, "%c: the temporary folder %s could not be made", letter, n.path);
        break;
    case NOTICE_FILE_NOT_MADE:
        snprintf(line, size, "%c: the temporary file %s could not be made", letter, n.path);
        break;
    case NOTICE_FILE_IN_USE:
        snprintf(line, size,
                 "%c: the temporary file %s is in use by another program: is this drive "
                 "already being filled?",
                 letter, n.path);
        break;
    case NOTICE_FILE_IS_FOLDER:
    case NOTICE_FILE_IS_LINK:
    case NOTICE_FILE_HAS_LINKS:
    case NOTICE_FILE_READ_ONLY:
        snprintf(line, size,
                 "%c: %s, the temporary file's name, is %s, not this program's file: "
                 "stopped, nothing written",
                 letter, n.path, not_ours_what(n.kind));
        break;
    case NOTICE_NOT_SHRINKING:
        snprintf(line, size,
                 "%c: the free space does not shrink: zeros take no space on this drive "
                 "(compressed or deduplicated): stopped",
                 letter);
        break;
    case NOTICE_WRITE_FAILED:
        system_error_text(system_text, sizeof system_text, n.error);
        snprintf(line, size, "%c: writing %s failed, the free space is not completely filled (%s)",
                 letter, n.path, system_text);
        break;
    case NOTICE_READ_FAILED:
        system_error_text(system_text, sizeof system_text, n.error);
        snprintf(line, size,
                 "%c: reading the free space back through %s failed, it is not completely "
                 "filled (%s)",
                 letter, n.path, system_text);
        break;
    case NOTICE_CANNOT_LOOK:
        snprintf(line, size,
                 "%c: the free space cannot be read through a file here (see above): nothing "
                 "checked",
                 letter);
        break;
    case NOTICE_QUERY_FAILED:
        system_error_text(system_text, sizeof system_text, n.error);
        snprintf(line, size,
                 "%c: the free space could not be read, it is not completely filled (%s)", letter,
                 system_text);
        break;
    case NOTICE_FILES_LEFT:
        snprintf(line, size, "%c: %d temporary %s%s in %s could not be deleted: delete %s by hand",
                 letter, n.count, n.count == 1 ? "file" : "files", folders_too(folders, sizeof folders, n.folders), n.path,
                 n.count + n.folders == 1 ? "it" : "them");
        break;
    case NOTICE_FOLDER_LEFT:
        snprintf(line, size, "%c: the temporary folder %s could not be removed: remove it by hand",
                 letter, n.path);
        break;
    case NOTICE_FILE_LEFT:
        snprintf(line, size, "%c: the temporary file %s could not be deleted: delete it by hand",
                 letter, n.path);
        break;
    case NOTICE_STEP_SKIPPED:
        snprintf(line, size,
                 "%c: %s, the name of the file table step's folder, is taken by a file or link "
                 "that is not this program's: the free records of the file table are not filled",
                 letter, n.path);
        break;
    case NOTICE_SWEEP_STOPPED:
        snprintf(line, size,
                 "%c: stopped while removing %s, which an earlier run left: what is still in it "
                 "stays until the next run on this drive removes it",
                 letter, n.path);
        break;
    }
}

static const char *why_every_block(run_way way)
{
    switch (way) {
    case WAY_WRITE_ALL_ASKED:
        return "as asked (--write-all)";
    case WAY_NO_RIGHT:
        return "the volume-maintenance right (SeManageVolumePrivilege) is not held; an "
               "administrator has it";
    case WAY_FAT:
        return "FAT and FAT32 cannot show free space through a file";
    case WAY_NETWORK:
        return "a network drive";
    case WAY_UNBUFFERED_REFUSED:
        return "the temporary file could not be opened past the system's cache";
    case WAY_COMPRESSED:
        return "the temporary file came out compressed";
    case WAY_SPARSE:
        return "the temporary file came out sparse";
    case WAY_ENCRYPTED:
        return "the temporary file came out encrypted";
    default:
        return "the system refused to show the free space through the file";
    }
}

void format_way_line(char *line, size_t size, const run_progress &p, bool checking)
{
    char system_text[SYSTEM_TEXT_SIZE + 32] = "";
    if (p.way == WAY_READ_FIRST) {
        snprintf(line, size,
                 checking ? "%c: checking: reading the free space, writing nothing"
                          : "%c: reading the free space first: zeros only where it holds data",
                 p.letter);
        return;
    }
    if (p.way == WAY_UNBUFFERED_REFUSED || p.way == WAY_VALID_DATA_REFUSED) {
        system_error_text(system_text + 2, sizeof system_text - 3, p.error);
        memcpy(system_text, " (", 2);
        strncat(system_text, ")", sizeof system_text - strlen(system_text) - 1);
    }
    snprintf(line, size, "%c: %s: %s%s", p.letter,
             checking ? "cannot read the free space" : "writing zeros over all of the free space",
             why_every_block(p.way), system_text);
}
