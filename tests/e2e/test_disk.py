#!/usr/bin/env python3
# Scenario: disk mode under Wine, which reports no disk extents for any volume: 0: confirmed, 0: declined, 7:xyz confirmed, with two scratch volumes mapped.
# Expect: the disk confirmation with the digit as typed, then banner, empty line, END; no report line, no progress window, not one byte written to either volume.
import harness
import texts


def disk_run(s, volumes, args, digit, keys):
    what = "%s answered with %s" % (args, " ".join(keys))
    before = {letter: v.snapshot() for letter, v in volumes.items()}
    run = s.start(args)
    box = run.wait_window()
    # Drives are taken from A to Z, so x: would be written first; y: is
    # compared afterwards (a second sampler would halve the first's rate).
    with harness.FreeSpaceSampler(volumes["x"]) as sampler:
        run.press(box, *keys)
        result = run.wait(timeout=120)
    s.expect_equal(result.status, 0, what + ": exit status")
    s.expect_equal(result.text, texts.NOTHING_DONE_RUN, what + ": console")
    s.expect_equal(result.boxes, [texts.confirm_disk(digit)], what + ": message boxes")
    s.expect_equal(run.seen_windows, [box], what + ": windows")
    s.expect_equal(sampler.minimum, sampler.first, what + ": lowest free bytes on x:")
    for letter, volume in volumes.items():
        s.expect_equal(volume.snapshot(), before[letter], what + ": files on %s:" % letter)


def scenario():
    with harness.session("disk") as s:
        volumes = {"x": s.add_volume("x", 128 * harness.MIB),
                   "y": s.add_volume("y", 64 * harness.MIB)}
        volumes["x"].write_file("keep.bin", bytes(1000))
        volumes["y"].write_file("keep.txt", b"y\n")
        disk_run(s, volumes, "0:", "0", ["Return"])
        disk_run(s, volumes, "0:", "0", ["Escape"])
        disk_run(s, volumes, "7:xyz", "7", ["Return"])
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
