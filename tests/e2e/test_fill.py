#!/usr/bin/env python3
# Scenario: x: (256 MiB tmpfs holding user files) is filled to the end while y: (another tmpfs) is mapped too.
# Expect: the run takes the free space to exactly 10,485,760 bytes, closes its window itself and leaves the user files, the free space and y: as they were; banner, report line, empty line, END.
import random
import subprocess
import time

import harness
import scratch
import steps
import texts


def user_files(volume):
    generator = random.Random(20080111)
    volume.write_file("readme.txt", "ゼロで埋める前からあるファイル\r\n".encode("cp932"))
    volume.write_file("empty.dat", b"")
    volume.write_file("photos/random.bin", generator.randbytes(3 * 1000 * 1000 + 17))
    volume.write_file("photos/album/big.bin", generator.randbytes(20 * harness.MIB))


def low_point_ms(sampler):
    times = [t for t, free in sampler.timeline] + [float("nan")]
    lowest = min(range(len(sampler.timeline)), key=lambda i: sampler.timeline[i][1])
    return (times[lowest + 1] - times[lowest]) * 1000


def full_run(s, volume, other):
    what = "x: filled"
    before, other_before = volume.snapshot(), other.snapshot()
    free, total = volume.free(), volume.total()
    other_free = other.free()
    run = s.start("x:")
    box = run.wait_window()
    run.exe_pid()  # looked up now: the window to catch lives for a fraction of a second
    with harness.FreeSpaceSampler(volume) as sampler:
        run.press(box, "Return")
        dialog = run.wait_window(exclude={box})
        # Long enough for the window to paint itself, short against the
        # run's fraction of a second.
        time.sleep(0.02)
        if run.pause():
            try:
                run.screenshot(dialog, "fill-dialog.png")
            except harness.HarnessError as error:
                # Too fast to catch on this machine; the stopped runs of
                # test_stop.py take the picture that counts.
                s.log("no screenshot of the full run: %s" % error)
            finally:
                run.resume()
        result = run.wait(timeout=300)
    s.log("x: %d free-space changes seen in %d samples, lowest %s for %.1f ms"
          % (len(sampler.timeline), sampler.samples, sampler.minimum, low_point_ms(sampler)))
    s.expect_equal(result.status, 0, what + ": exit status")
    s.expect_equal(result.text, texts.drive_run("x:", free, total), what + ": console")
    s.expect_equal(result.boxes, [texts.confirm_drive("x")], what + ": message boxes")
    steps.expect_filled_to_reserve(s, sampler, what)
    s.expect_equal(run.seen_windows, [box, dialog], what + ": windows")
    s.expect_equal(run.windows(), [], what + ": windows left open")
    s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": temporary files left")
    s.expect_equal(volume.snapshot(), before, what + ": user files")
    s.expect_equal(volume.free(), free, what + ": free bytes afterwards")
    s.expect_equal(other.snapshot(), other_before, what + ": the other volume's files")
    s.expect_equal(other.free(), other_free, what + ": the other volume's free bytes")


def scenario():
    with harness.session("fill") as s:
        japanese_fonts = subprocess.run(["fc-list", ":lang=ja"], stdout=subprocess.PIPE).stdout
        s.expect(japanese_fonts.strip() != b"", "a Japanese font for the dialog's texts")
        x = s.add_volume("x", 256)
        user_files(x)
        y = s.add_volume("y", 64)
        y.write_file("keep.txt", b"y: user file\n")
        full_run(s, x, y)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
