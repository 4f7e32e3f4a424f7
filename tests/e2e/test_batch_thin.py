#!/usr/bin/env python3
# Scenario: two stalefs volumes x: and y: of 160 MiB (free blocks keep their bytes; SetFileValidData hands them out unwritten, as NTFS does), each with the same user files of random bytes, of which 64 MiB were written and deleted; the sparse image stands for a thin virtual disk. On x: "voidfill-batch --check x:", "voidfill-batch x:" (the default: the free space read first), "--check x:" again; on y: "voidfill-batch --write-all y:"; then "voidfill-batch f:" and "--check f:" on a FAT32 volume.
# Expect: the first check finds the deleted bytes (within a few blocks), the second none; the default run zeroes every free block outside the reserve while the image grows by at most the deleted bytes plus 1% of the volume, where --write-all makes it grow by about the free space; the user's files are byte-identical; FAT32 fills every block with a line saying why (0), and cannot be checked (3); nothing is left behind.
import os
import re

import harness
import scratch
import texts

SIZE_MB = 160
KEPT = [("keep-%d.bin" % i, 6 * harness.MIB + 1234 * i) for i in range(3)]
DELETED = [("old-%d.bin" % i, 16 * harness.MIB) for i in range(4)]
BLOCK = 4096
# The free space the check reads is its own file's, so a few blocks of the
# volume's bookkeeping may differ from the bytes deleted.
CHECK_SLACK = 16 * BLOCK
CHECKED = re.compile(r"^([A-Z]): checked in \d+:\d\d:\d\d: ([\d,]+) bytes of free space read, "
                     r"([\d,]+) of them \((\d+\.\d)%\) hold data; nothing was written$")


def number(text):
    return int(text.replace(",", ""))


def leave_old_data(volume):
    """The user's files, with the deleted ones written between them, so that
    their freed blocks lie among the kept ones as on a used disk."""
    for (kept, size), (deleted, old_size) in zip(KEPT + [(None, 0)], DELETED):
        volume.write_file(deleted, os.urandom(old_size))
        if kept:
            volume.write_file(kept, os.urandom(size))
    for deleted, _ in DELETED:
        os.remove(volume.path(deleted))
    return sum(size for _, size in DELETED)


def run(s, exe, *args):
    done = harness.start_console(s, exe, *args)
    status = done.wait(300)
    lines = [line for _, line in done.out + done.err]
    return status, lines


def checked_bytes(s, lines, what):
    found = [CHECKED.match(line) for line in lines if CHECKED.match(line)]
    if not s.expect(len(found) == 1, "%s: no line saying what the check found in %r"
                    % (what, lines)):
        return None
    return number(found[0].group(3))


def fill(s, exe, volume, deleted, args, what):
    """A run that must complete and leave the volume as it was; the image's
    growth during it."""
    before, free = volume.allocated_bytes(), volume.free()
    status, lines = run(s, exe, *args)
    s.expect_equal(status, 0, what + ": exit status")
    s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": temporary files left")
    s.expect_equal(volume.free(), free, what + ": free bytes afterwards")
    growth = volume.allocated_bytes() - before
    s.log("%s: the image grew by %d bytes (%d deleted, %d free)" % (what, growth, deleted, free))
    return growth, free, lines


def thin_disk(s, exe, x, y):
    deleted = leave_old_data(x)
    leave_old_data(y)
    kept = x.snapshot()

    status, lines = run(s, exe, "--check", "x:")
    s.expect_equal(status, 0, "check before: exit status")
    found = checked_bytes(s, lines, "check before")
    s.expect(found is not None and abs(found - deleted) <= CHECK_SLACK,
             "check before: %r bytes hold data, %d were deleted" % (found, deleted))

    grown, free, lines = fill(s, exe, x, deleted, ["x:"], "x: default")
    s.expect("X: reading the free space first: zeros only where it holds data" in lines,
             "x: default: no line saying it reads first")
    s.expect(any(re.match(r"X: complete in .*: [\d,]+ bytes of free space read, [\d,]+ held "
                          r"data and were zeroed", line) for line in lines),
             "x: default: no ending line saying what was read and zeroed")
    s.expect(grown <= deleted + SIZE_MB * harness.MIB // 100,
             "x: default: the image grew by %d bytes, more than the deleted %d + 1%%"
             % (grown, deleted))

    status, lines = run(s, exe, "--check", "x:")
    s.expect_equal(status, 0, "check after: exit status")
    found = checked_bytes(s, lines, "check after")
    s.expect(found is not None and found <= CHECK_SLACK,
             "check after: %r bytes still hold data" % found)
    s.expect_equal(x.snapshot(), kept, "x: the user's files")

    grown_all, free_y, _ = fill(s, exe, y, deleted, ["--write-all", "y:"], "y: --write-all")
    s.expect(grown_all >= 0.9 * (free_y - texts.RESERVE_BYTES - deleted),
             "y: --write-all: the image grew by only %d bytes" % grown_all)
    s.log("image growth during the fill (bytes)\n"
          "  | way             | free before | deleted     | image grew  |\n"
          "  | default         | %11d | %11d | %11d |\n"
          "  | --write-all     | %11d | %11d | %11d |" % (free, deleted, grown, free_y, deleted,
                                                          grown_all))


def fat_fallback(s, exe, f):
    free = f.free()
    status, lines = run(s, exe, "f:")
    s.expect_equal(status, 0, "f: exit status")
    s.expect(any(line.startswith("F: writing zeros over all of the free space: FAT and FAT32")
                 for line in lines), "f: no line saying why it writes every block")
    status, lines = run(s, exe, "--check", "f:")
    s.expect_equal(status, 3, "f: --check: exit status")
    s.expect(any(line.startswith("F: cannot read the free space: FAT and FAT32")
                 for line in lines), "f: --check: no line saying why it cannot look")
    s.expect_equal(scratch.leftovers(f.mountpoint), [], "f: temporary files left")
    s.expect_equal(f.free(), free, "f: free bytes afterwards")


def scenario():
    exe = harness.take_batch_exe()
    with harness.session("batch-thin") as s:
        x = s.add_stale_volume("x", SIZE_MB)
        y = s.add_stale_volume("y", SIZE_MB)
        f = s.add_fat_volume("f", 64, 32)
        thin_disk(s, exe, x, y)
        fat_fallback(s, exe, f)
    # Unmounted: the free blocks read straight from the image.
    reserve_blocks = texts.RESERVE_BYTES // BLOCK
    s.expect(x.dirty_free_blocks is not None and x.dirty_free_blocks <= reserve_blocks,
             "x: %r free blocks still hold old data, more than the reserve's %d"
             % (x.dirty_free_blocks, reserve_blocks))
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
