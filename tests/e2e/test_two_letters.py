#!/usr/bin/env python3
# Scenario: one NTFS volume (an image served by ntfs-3g) under two drive letters, x: and y:, and one FAT volume (fusefat) under v: and w:, with the user's files; on each letter voidfill.exe (answered with OK) and voidfill-batch.exe run once, the first letter sorting before the one run on. Before the runs on the later letter, a V_000000.TMP left by a killed run waits where the run keeps its file, and on NTFS also a tree of the file table step left by a killed run.
# Expect: every run ends complete as on the drive's own letter: voidfill.exe with END, status 0 and no box but its confirmation, voidfill-batch.exe with status 0 and nothing on standard error; the leftovers and the killed run's tree are gone, nothing of the runs is left, the user's files are byte-identical and the free space is back (on NTFS but for the file table's growth).
import os

import harness
import scratch
import steps
import texts

NTFS_MB = 64
FAT_MB = 48
LEFTOVER_TREE = {"0/0/0/0/0/0/0/0": 640, "0/0/0/0/0/0/0/1": 640, "0/0/0/0/0/0/1/0": 640}


def put_leftovers(volume, fat):
    """What a killed run leaves: its file, and on NTFS the step's tree."""
    folder = "VOIDTEMP" if fat else ""
    volume.write_file(os.path.join(folder, steps.TEMP_NAME), b"left by a killed run\n" * 1000)
    if not fat:
        for name, size in LEFTOVER_TREE.items():
            volume.write_file(os.path.join(scratch.RECORD_FOLDER, name), bytes(size))


def run_on(s, exe, program, letter, what):
    """Status, last lines and boxes of voidfill.exe; status and standard
    error of voidfill-batch.exe."""
    if program == "voidfill.exe":
        result = steps.answer(s, s.start(letter + ":"), timeout=300)
        s.expect_equal((result.status, result.text.rstrip("\n").split("\n")[-2:], result.boxes),
                       (0, ["", "END"], [texts.confirm_drive(letter)]), what)
    else:
        run = harness.start_console(s, exe, letter + ":")
        s.expect_equal((run.wait(300), [line for _, line in run.err]), (0, []), what)


def runs_on_both_letters(s, exe, volume, letters, fat, hashes, free):
    for letter in letters:
        for program in ("voidfill.exe", "voidfill-batch.exe"):
            what = "%s %s: (%s)" % (program, letter, "FAT" if fat else "NTFS")
            if letter == letters[-1]:
                put_leftovers(volume, fat)
            run_on(s, exe, program, letter, what)
            s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": left")
            s.expect_equal(scratch.changed_files(volume.mountpoint, hashes), [],
                           what + ": user files changed or missing")
            growth = free - volume.free()
            s.expect(0 <= growth <= (0 if fat else steps.TABLE_GROWTH_MARGIN),
                     "%s: free bytes %d, before the runs %d" % (what, volume.free(), free))


def scenario():
    exe = harness.take_batch_exe()
    s = harness.session("two-letters")
    ntfs = scratch.NtfsVolume("ntfs", NTFS_MB, steps.scratch_root(s), pattern=False)
    with ntfs, s:
        ntfs_hashes = scratch.put_user_files(ntfs.mountpoint, steps.USER_FILES)
        x = s.adopt_volume("x", ntfs.mountpoint)
        s.add_letter("y", x)
        fat = s.add_fat_volume("v", FAT_MB, 16)
        s.add_letter("w", fat)
        fat_hashes = scratch.put_user_files(fat.mountpoint, steps.USER_FILES)
        runs_on_both_letters(s, exe, x, "xy", False, ntfs_hashes, ntfs.free())
        runs_on_both_letters(s, exe, fat, "vw", True, fat_hashes, fat.free())
    ntfs.remove_image()
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
