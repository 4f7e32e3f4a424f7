"""What voidfill.exe prints and shows, as the scenarios expect it."""

BANNER = "VOIDFILL Jan 11 2008"
USAGE = "use  VOIDFILL x: or VODIFILL n:  (x: drive,  n: disk nonver)"

RESERVE_BYTES = 10485760

# Console texts of whole runs.
USAGE_RUN = BANNER + "\n" + USAGE + "\n"
# Declined, or nothing to do: the closing line is an empty line and END.
NOTHING_DONE_RUN = BANNER + "\n\nEND\n"


def grouped(value):
    """A byte count as the report line shows it: 1,234,567; -1 stays -1."""
    return "{:,}".format(value)


def drive_report(drive, free, total):
    return "Drive[%s]Free/Size = %16s/%16s (B)" % (drive, grouped(free), grouped(total))


def drive_run(drive, free, total):
    """Console text of a confirmed drive-mode run."""
    return BANNER + "\n" + drive_report(drive, free, total) + "\n\nEND\n"


def confirm_drive(letter):
    return "ドライブ %s: のゼロクリヤ開始します" % letter


def confirm_disk(digit):
    return "ディスク #%s のゼロクリヤ開始します" % digit


def file_system_error(fs_name, root):
    return ("ファイルシステムが異常です。\n"
            "本プログラムは、NTFS,FAT,FAT32 のみ対応です。\n"
            "ファイルシステム = %s  (%s)" % (fs_name, root))
