#!/usr/bin/env python3
# Scenario: two stalefs volumes x: and y: of 160 MiB (free blocks keep their bytes; SetFileValidData hands them out unwritten, as NTFS does), each with the same user files of random bytes, of which 64 MiB were written and deleted; the sparse image stands for a thin virtual disk. In turn: "voidfill-batch --check x:", "voidfill-batch x:" (the default: the free space read first), "--check x:" again, "--write-all y:", then "f:" and "--check f:" on a FAT32 volume.
# Expect: the first check finds the deleted bytes (within a few blocks), the second none; the default run zeroes every free block outside the reserve while the image grows by at most the deleted bytes plus 1% of the volume, where --write-all makes it grow by about the free space; the user's files are byte-identical; FAT32 fills every block with a line saying why (0), and cannot be checked (3); every run says how it fills, and nothing is left behind.
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
SLACK = 16 * BLOCK
DELETED_BYTES = sum(size for _, size in DELETED)

# (arguments, status, the line saying how it fills, the summary's data=:
# None for --write-all, or how far from the deleted bytes it may be)
RUNS = [
    (["--check", "x:"], 0, "X: checking: reading the free space, writing nothing",
     lambda data: abs(data - DELETED_BYTES) <= SLACK),
    (["x:"], 0, "X: reading the free space first: zeros only where it holds data",
     lambda data: abs(data - DELETED_BYTES) <= SLACK),
    (["--check", "x:"], 0, "X: checking", lambda data: data <= SLACK),
    (["--write-all", "y:"], 0, "Y: writing zeros over all of the free space: as asked", None),
    (["f:"], 0, "F: writing zeros over all of the free space: FAT and FAT32", None),
    (["--check", "f:"], 3, "F: cannot read the free space: FAT and FAT32", None),
]


def leave_old_data(volume):
    """The user's files, with the deleted ones written between them, so that
    their freed blocks lie among the kept ones as on a used disk."""
    for (kept, size), (deleted, old_size) in zip(KEPT + [(None, 0)], DELETED):
        volume.write_file(deleted, os.urandom(old_size))
        if kept:
            volume.write_file(kept, os.urandom(size))
    for deleted, _ in DELETED:
        os.remove(volume.path(deleted))


def run_each(s, exe, volumes):
    """Every row of RUNS; the image's growth during each fill, by its arguments."""
    grown = {}
    for args, status, way, data_ok in RUNS:
        what = " ".join(args)
        volume = volumes[args[-1][0]]
        stale = isinstance(volume, scratch.StaleVolume)
        before, free = volume.allocated_bytes() if stale else 0, volume.free()
        run = harness.start_console(s, exe, *args)
        s.expect_equal(run.wait(300), status, what + ": exit status")
        lines = [line for _, line in run.out + run.err]
        s.expect(any(line.startswith(way) for line in lines), "%s: no line %r" % (what, way))
        data = re.search(r"^voidfill-batch: drive=.* data=(\d+|-) ", "\n".join(lines), re.M)
        if data_ok is not None:
            s.expect(data is not None and data.group(1) != "-" and data_ok(int(data.group(1))),
                     "%s: data=%s, %d bytes were deleted"
                     % (what, data and data.group(1), DELETED_BYTES))
        s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": temporary files left")
        s.expect_equal(volume.free(), free, what + ": free bytes afterwards")
        if stale:
            grown[what] = volume.allocated_bytes() - before
    return grown


def scenario():
    exe = harness.take_batch_exe()
    with harness.session("batch-thin") as s:
        x = s.add_stale_volume("x", SIZE_MB)
        y = s.add_stale_volume("y", SIZE_MB)
        f = s.add_fat_volume("f", 64, 32)
        for volume in (x, y):
            leave_old_data(volume)
        kept, free = x.snapshot(), x.free()
        grown = run_each(s, exe, {"x": x, "y": y, "f": f})
        s.expect_equal(x.snapshot(), kept, "x: the user's files")
        s.expect(grown["x:"] <= DELETED_BYTES + SIZE_MB * harness.MIB // 100,
                 "x:: the image grew by %d bytes, more than the deleted bytes and 1%%"
                 % grown["x:"])
        s.expect(grown["--write-all y:"] >= 0.9 * (free - texts.RESERVE_BYTES - DELETED_BYTES),
                 "--write-all y:: the image grew by only %d bytes" % grown["--write-all y:"])
        s.log("the image's growth during the fill, bytes (free before %d, deleted %d)\n"
              "  | way          | image grew |\n  | default      | %10d |\n"
              "  | --write-all  | %10d |" % (free, DELETED_BYTES, grown["x:"],
                                            grown["--write-all y:"]))
    # Unmounted: the free blocks read straight from the image.
    reserve_blocks = texts.RESERVE_BYTES // BLOCK
    s.expect(x.dirty_free_blocks is not None and x.dirty_free_blocks <= reserve_blocks,
             "x: %r free blocks still hold old data, more than the reserve's %d"
             % (x.dirty_free_blocks, reserve_blocks))
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
