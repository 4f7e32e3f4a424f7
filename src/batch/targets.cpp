// Finding the drives of the command line.
#include "batch/targets.h"

#include "batch/exit_code.h"
#include "batch/output.h"
#include "volume/disk_number.h"
#include "volume/volume.h"

static void add_letter(drive_list &drives, char letter)
{
    for (int i = 0; i < drives.count; i++)
        if (drives.letters[i] == letter)
            return;
    drives.letters[drives.count++] = letter;
}

static UINT drive_type(char letter)
{
    char root[ROOT_TEXT_SIZE];
    drive_root(root, letter);
    return sys::GetDriveTypeA(root);
}

// A letter names a drive when the system knows one there, whatever it
// holds: an empty card reader is a drive (that cannot be filled, status 3),
// a letter with nothing behind it is a typo.
static int collect_letter(char letter, drive_list &drives)
{
    if (drive_type(letter) == DRIVE_NO_ROOT_DIR) {
        print_error_line("%c: no such drive: nothing is mounted at %c:\\", letter, letter);
        return EXIT_USAGE;
    }
    add_letter(drives, letter);
    return EXIT_COMPLETE;
}

static int collect_disk(int disk, drive_list &drives)
{
    int before = drives.count;
    bool refused = false;
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        int found = get_disk_number(letter);
        refused = refused || found == DISK_NEEDS_ADMIN;
        if (found == disk)
            add_letter(drives, letter);
    }
    if (refused) {
        drives.count = before;
        print_error_line("disk %d: which drives lie on it cannot be read: opening a volume "
                         "needs an administrator; run voidfill-batch elevated",
                         disk);
        return EXIT_FAILED;
    }
    if (drives.count == before) {
        print_error_line("disk %d: no drive letter lies on this disk", disk);
        return EXIT_USAGE;
    }
    return EXIT_COMPLETE;
}

static const char *kind_of_drive(UINT type)
{
    switch (type) {
    case DRIVE_REMOVABLE:
        return "a removable drive";
    case DRIVE_REMOTE:
        return "a network drive";
    case DRIVE_CDROM:
        return "a CD or DVD drive";
    case DRIVE_RAMDISK:
        return "a RAM disk";
    default:
        return "a drive of unknown kind";
    }
}

static void skip_unsupported(char letter)
{
    char name[4 * FS_NAME_SIZE];
    escape_text(name, sizeof name, g_fs_name);
    print_line("%c: skipped: a fixed drive with file system '%s', not NTFS, FAT or FAT32",
               letter, name);
}

// Every fixed drive with NTFS, FAT or FAT32, in letter order.
static int collect_all(drive_list &drives)
{
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        UINT type = drive_type(letter);
        if (type == DRIVE_NO_ROOT_DIR)
            continue;
        char root[ROOT_TEXT_SIZE];
        drive_root(root, letter);
        int fs = type == DRIVE_FIXED ? get_fs_type(root) : FS_OTHER;
        if (fs > FS_OTHER)
            add_letter(drives, letter);
        else if (type != DRIVE_FIXED)
            print_line("%c: skipped: %s", letter, kind_of_drive(type));
        else if (fs == FS_ERROR)
            print_line("%c: skipped: a fixed drive whose file system cannot be read", letter);
        else
            skip_unsupported(letter);
    }
    if (drives.count > 0)
        return EXIT_COMPLETE;
    print_error_line("--all: no fixed drive with NTFS, FAT or FAT32 to fill");
    return EXIT_NOT_POSSIBLE;
}

int collect_drives(const batch_options &options, drive_list &drives)
{
    drives = drive_list{};
    if (options.all)
        return collect_all(drives);
    int status = EXIT_COMPLETE;
    for (int t = 0; t < options.target_count; t++) {
        const batch_target &target = options.targets[t];
        int found = target.is_disk ? collect_disk(target.disk, drives)
                                   : collect_letter(target.letter, drives);
        status = more_serious(status, found);
    }
    return status;
}
