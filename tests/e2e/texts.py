"""What voidfill.exe prints and shows, as the scenarios expect it."""

import re

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


# Why a run leaves x:\V_000000.TMP alone, and what stops it midway.
NOT_OURS = "\n本プログラムの一時ファイルではないため、処理を中止しました。"


def temp_hard_link(path):
    return "一時ファイル「%s」は他のファイルとハードリンクで共有されています。%s" % (path, NOT_OURS)


def temp_link(path):
    return "一時ファイル「%s」はリンク（リパースポイント）です。%s" % (path, NOT_OURS)


def temp_not_created(path):
    return "一時ファイル「%s」の作成に失敗しました。" % path


def files_left(folder, count):
    return ("%s\\ 下の一時ファイル%d個の削除に失敗しました。\n"
            "お手数ですが、上記ファイル・フォルダを手動削除して下さい。" % (folder, count))


def step_skipped(folder):
    return ("一時フォルダ「%s」と同じ名前のファイルまたはリンクがあります。\n"
            "本プログラムの一時フォルダではないため、MFT空きレコードの書込みは行いませんでした。"
            % folder)


def temp_in_use(path):
    return ("一時ファイル「%s」は他のプログラムが使用中です。\n"
            "同じドライブのゼロクリヤが実行中でないか確認して下さい。" % path)


def not_shrinking(letter):
    return ("ドライブ %s: の空き領域が減りません。\n"
            "ゼロを書き込んでも領域を消費しないドライブ（圧縮・重複除去など）のため、"
            "処理を中止しました。" % letter)


def write_failed(path):
    """A pattern: the system's error number and text follow."""
    return re.compile(re.escape("一時ファイル「%s」への書込みに失敗しました。\n"
                                "空き領域のゼロクリヤは完了していません。\n" % path)
                      + r"エラー [0-9]+: \S.*", re.S)


def traced(text):
    """What Wine's message box trace (Run.boxes) shows of a box text: it
    escapes the text into a buffer of 300 bytes and stops once the escapes
    reach byte 291, so a long Japanese text is cut short."""
    used = len('L"')
    for index, char in enumerate(text):
        if used > 290:
            return text[:index]
        used += 2 if char in '\n\r\t"\\' else 1 if " " <= char < "\x7f" else 5
    return text
