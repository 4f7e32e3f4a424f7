#!/usr/bin/env python3
# Scenario: x: is a 5 GiB tmpfs, more than 4 GiB of it free, holding the user's files; "voidfill x:" answered with OK fills it in its one temporary file.
# Expect: x:\V_000000.TMP grows past 4 GiB (where 32-bit file offsets or sizes would wrap), the free space reaches exactly 10,485,760 bytes, then the file is gone; END, status 0, the files byte-identical, all space free again.
import os
import threading

import harness
import scratch
import steps
import texts

SIZE_MB = 5 * 1024
FOUR_GIB = 4 * 1024 * harness.MIB


class LargestSize(threading.Thread):
    """The largest size the temporary file had while the run lasted."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.largest = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(0.005):
            try:
                self.largest = max(self.largest, os.stat(self.path).st_size)
            except FileNotFoundError:
                pass


def scenario():
    with harness.session("fill-over-4gib") as s:
        volume = s.add_volume("x", SIZE_MB)
        hashes = scratch.put_user_files(volume.mountpoint, steps.USER_FILES)
        free_before = volume.free()
        s.expect(free_before > FOUR_GIB + texts.RESERVE_BYTES, "more than 4 GiB free to fill")
        run = s.start("x:")
        box = steps.confirm(s, run, "x")
        watch = LargestSize(os.path.join(volume.mountpoint, steps.TEMP_NAME))
        watch.start()
        with harness.FreeSpaceSampler(volume) as sampler:
            result = steps.finish(s, run, [box], 1, timeout=300)
        watch.done.set()
        watch.join()
        s.log("temporary file at most %d bytes; lowest free %d" % (watch.largest, sampler.minimum))
        steps.expect_clean_end(s, result, volume.mountpoint, hashes, [texts.confirm_drive("x")])
        s.expect(watch.largest > FOUR_GIB,
                 "the temporary file grew to %d bytes only, not past 4 GiB" % watch.largest)
        steps.expect_filled_to_reserve(s, sampler, "the run")
        s.expect_equal(volume.free(), free_before, "free bytes after the run")
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
