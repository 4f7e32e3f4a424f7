#!/usr/bin/env python3
# Scenario: the volume still holds x:\V_000000.TMP (24 MiB, not zeros) from an earlier run that was killed, beside the user's files; "voidfill x:" answered with OK.
# Expect: the file is reused from its start (its first block turns to zeros), the free space goes down to the reserve, then the file is gone; END, status 0, the files byte-identical, the leftover's space free again.
import os
import threading

import steps
import harness
import scratch
import texts

LEFTOVER_BYTES = 24 * 1024 * 1024


class FirstBlockWatch(threading.Thread):
    """Reads the first 4 KiB of the temporary file once the program has
    written more than a block of it."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.first_block = None
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set() and self.first_block is None:
            try:
                with open(self.path, "rb") as f:
                    size = os.fstat(f.fileno()).st_size
                    if steps.BLOCK_BYTES < size < LEFTOVER_BYTES or size > LEFTOVER_BYTES * 2:
                        self.first_block = f.read(scratch.BLOCK_SIZE)
            except FileNotFoundError:
                pass
            self.done.wait(0.001)


def scenario():
    with harness.session("fault-leftover-temp") as s:
        volume = s.add_volume("x", 256)
        hashes = scratch.put_user_files(volume.mountpoint, steps.USER_FILES)
        leftover = os.path.join(volume.mountpoint, steps.TEMP_NAME)
        with open(leftover, "wb") as f:
            f.write(scratch.PATTERN_BLOCK * (LEFTOVER_BYTES // scratch.BLOCK_SIZE))
        free_before = volume.free()
        run = s.start("x:")
        box = steps.confirm(s, run, "x")
        watch = FirstBlockWatch(leftover)
        watch.start()
        with harness.FreeSpaceSampler(volume) as sampler:
            window = steps.wait_progress(run, box)
            result = steps.finish(s, run, [box, window], 1)
        watch.done.set()
        watch.join()
        steps.expect_clean_end(s, result, volume.mountpoint, hashes,
                               [texts.confirm_drive("x")])
        s.expect_equal(steps.report_free(result, "x"), free_before, "free bytes reported")
        s.expect(watch.first_block is not None, "the temporary file was never seen growing")
        s.expect(watch.first_block == bytes(scratch.BLOCK_SIZE),
                 "the first block of the reused file is not zeros")
        steps.expect_filled_to_reserve(s, sampler, "the run")
        s.expect_equal(volume.free(), free_before + LEFTOVER_BYTES, "free bytes after the run")
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
