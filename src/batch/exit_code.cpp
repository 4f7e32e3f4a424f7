// Exit codes from what a run reported.
#include "batch/exit_code.h"

#include "zerofill/run_state.h"

static int notice_exit_code(run_notice_kind kind)
{
    switch (kind) {
    case NOTICE_FS_UNSUPPORTED:
    case NOTICE_NOT_SHRINKING:
    case NOTICE_FOLDER_IS_LINK:
    case NOTICE_FILE_IS_FOLDER:
    case NOTICE_FILE_IS_LINK:
    case NOTICE_FILE_HAS_LINKS:
    case NOTICE_FILE_READ_ONLY:
    case NOTICE_CANNOT_LOOK:
    case NOTICE_STEP_SKIPPED:
        return EXIT_NOT_POSSIBLE;
    case NOTICE_SWEEP_STOPPED:
        return EXIT_STOPPED;
    case NOTICE_FILE_IN_USE:
        return EXIT_IN_USE;
    case NOTICE_NO_MEMORY:
    case NOTICE_FOLDER_NOT_MADE:
    case NOTICE_FILE_NOT_MADE:
    case NOTICE_WRITE_FAILED:
    case NOTICE_READ_FAILED:
    case NOTICE_QUERY_FAILED:
    case NOTICE_FILES_LEFT:
    case NOTICE_FOLDER_LEFT:
    case NOTICE_FILE_LEFT:
        break;
    }
    return EXIT_FAILED;
}

void note_notice(drive_notes &notes, run_notice_kind kind)
{
    int code = notice_exit_code(kind);
    if (code > notes.worst)
        notes.worst = code;
    if (kind == NOTICE_FILES_LEFT || kind == NOTICE_FOLDER_LEFT || kind == NOTICE_FILE_LEFT)
        notes.left = true;
}

int more_serious(int a, int b)
{
    // The rank of each code (0 to 5), by its number.
    static const int RANK[] = {0, 4, 5, 1, 3, 2};
    return RANK[a] >= RANK[b] ? a : b;
}

int drive_exit_code(const drive_notes &notes, int run_result)
{
    if (notes.left)
        return EXIT_FAILED;
    int code = run_result == RUN_DONE        ? EXIT_COMPLETE
               : run_result == RUN_CANCELLED ? EXIT_STOPPED
                                             : EXIT_FAILED;
    return notes.worst > code ? notes.worst : code;
}
