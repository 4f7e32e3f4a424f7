#!/usr/bin/env python3
# Scenario: runs on x: (a 4 GiB tmpfs holding the user's files) stopped five ways: Escape on the progress window right after the first block and again at 60% of the free space, Ctrl+C typed on the terminal at 30%, SIGINT to the program at 30%, SIGKILL to the program at 50%.
# Expect: each run goes on no further than SLACK past the stop, closes its window, deletes its temporary file and prints banner, report line, empty line and END (after the echoed ^C; under qemu-user, the lines of its occasional crash at exit may follow, and nothing else); status 0, only the confirmation box, the files byte-identical, all space free again. The killed run prints no END, but the system deletes its file as it closes the killed program's handles: no temporary file is left and all space is free again.
import os
import signal
import time

import harness
import scratch
import steps
import texts

SIZE_MB = 4096
# What a run may write between the stop and the moment it acts on it; one
# that ignored the stop would write all the rest, 1.6 GiB even after the
# late one.
SLACK = 1024 * harness.MIB
# How each run is stopped, and once what part of the fillable space is
# written (0: the first block).
STOPS = [("escape", 0.0), ("escape", 0.6), ("tty", 0.3), ("signal", 0.3), ("kill", 0.5)]


def wait_free(volume, run, target, timeout=60):
    """Waits until the volume's free bytes are down to target; False when
    the run ended first."""
    deadline = time.monotonic() + timeout
    while volume.free() > target:
        if run.proc.poll() is not None or time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


def stopped_run(s, volume, hashes, how, fraction):
    what = "x: stopped by %s at %d%%" % (how, fraction * 100)
    free, total = volume.free(), volume.total()
    target = free - max(1, int(fraction * (free - texts.RESERVE_BYTES)))
    run = s.start("x:")
    box = steps.confirm(s, run, "x")
    with harness.FreeSpaceSampler(volume) as sampler:
        window = steps.wait_progress(run, box)
        reached = wait_free(volume, run, target)
        # Taken while the program stands still, so the stop comes when meant.
        if reached and run.pause():
            try:
                run.screenshot(window, "running-%s-%d.png" % (how, fraction * 100))
            finally:
                run.resume()
        at_stop = volume.free()
        if how == "escape":
            run.press(window, "Escape")
        elif how == "kill":
            os.kill(run.exe_pid(), signal.SIGKILL)
        else:
            run.interrupt(how)
        result = steps.finish(s, run, [box, window], 1, 60)
    s.log("%s: %d bytes free at the stop, %.1f MiB written after it"
          % (what, at_stop, (at_stop - sampler.minimum) / harness.MIB))
    s.expect(reached, what + ": the run ended before the moment of the stop")
    s.expect(at_stop - sampler.minimum <= SLACK,
             what + ": it went on down to %d free bytes" % sampler.minimum)
    s.expect_equal(result.boxes, [texts.confirm_drive("x")], what + ": message boxes")
    s.expect_equal(run.windows(), [], what + ": windows left open")
    s.expect_equal(scratch.changed_files(volume.mountpoint, hashes), [], what + ": user files changed")
    if how == "kill":
        s.expect_equal(result.text, texts.drive_run("x:", free, total)[:-len("\nEND\n")],
                       what + ": console")
        # The system deletes the file as it closes the killed program's handles.
        scratch.wait_until(lambda: volume.free() == free, 10, 0.05)
    else:
        s.expect_equal(result.status, 0, what + ": exit status")
        text = result.text
        if s.emulator:
            text = harness.without_emulator_exit_crash(text)
        # Ctrl+C typed on a terminal is echoed there as ^C.
        echoed = how == "tty" and "^C" in text
        s.expect(echoed or how != "tty", what + ": the terminal did not echo ^C")
        s.expect_equal(text.replace("^C", "", 1) if echoed else text,
                       texts.drive_run("x:", free, total), what + ": console")
        s.expect_equal(run.seen_windows, [box, window], what + ": windows")
    s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": temporary files left")
    s.expect_equal(volume.free(), free, what + ": free bytes afterwards")


def scenario():
    with harness.session("stop") as s:
        # tmpfs takes memory only for what is written.
        volume = s.add_volume("x", SIZE_MB)
        hashes = scratch.put_user_files(volume.mountpoint, steps.USER_FILES)
        for how, fraction in STOPS:
            stopped_run(s, volume, hashes, how, fraction)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
