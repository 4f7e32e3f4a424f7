#!/usr/bin/env python3
# Scenario: while voidfill fills an ext4 volume holding the user's files, another program takes almost all of the free space in the middle of one of voidfill's 4 MiB blocks, so that the block comes back short.
# Expect: no message box for the short write; the temporary file deleted; END and status 0; the user's files and the other program's file byte-identical.
import os

import failed_writes
import harness
import occupier
import scratch
import steps
import texts

SIZE_MB = 128
# The other program acts at one moment in the middle of a block; when
# voidfill's block finishes first the attempt is repeated.
ATTEMPTS = 4


def scenario():
    s = harness.session("fault-filled-meanwhile")
    # The session, and so Wine, ends before the volume is unmounted.
    with scratch.Ext4Volume("ext4", SIZE_MB, steps.scratch_root(s)) as ext4, s:
        hashes = scratch.put_user_files(ext4.mountpoint, steps.USER_FILES)
        s.adopt_volume("x", ext4.mountpoint)
        free_before = ext4.free()
        other = os.path.join(ext4.mountpoint, "other.dat")
        short = 0
        for attempt in range(1, ATTEMPTS + 1):
            # Started first so that it is ready; it waits for voidfill's file.
            other_program = occupier.start(ext4.mountpoint, "other.dat")
            try:
                run = s.start("x:")
                writes = failed_writes.FailedWrites(run.exe_pid(),
                                                    s.artifact("failed-writes-%d.log" % attempt))
                box = steps.confirm(s, run, "x")
                window = steps.wait_progress(run, box)
                result = steps.finish(s, run, [box, window], 1)
                size = occupier.size(other_program)
            finally:
                if other_program.poll() is None:
                    other_program.kill()
                    other_program.wait()
            full = writes.disk_full()
            s.log("attempt %d: the other program took %d bytes; %d writes of voidfill found "
                  "the volume full" % (attempt, size, full))
            steps.expect_clean_end(s, result, ext4.mountpoint, hashes,
                                   [texts.confirm_drive("x")])
            s.expect_equal(scratch.sha256_file(other), occupier.sha256(size),
                           "the other program's file")
            os.remove(other)
            for name in scratch.leftovers(ext4.mountpoint):
                os.remove(os.path.join(ext4.mountpoint, name))
            s.expect_equal(ext4.free(), free_before, "free bytes after the run")
            if full:
                short += 1
                break
        s.expect(short > 0, "no block of voidfill came back short in %d attempts" % ATTEMPTS)
    ext4.remove_image()
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
