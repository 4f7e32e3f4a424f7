#!/usr/bin/env python3
# Scenario: voidfill-batch.exe, started with no X display at all (DISPLAY unset for it and for Wine's server and services): a complete run on x: (2 GiB tmpfs); usage errors, a letter without a volume among them; the time limit and Ctrl+C (SIGINT) on y: (512 MiB FAT32 through fusefat, slow enough to be caught); the time limit on x: while the run removes a file table step's tree of 6,250 files that a killed run left, then a run to the end; a second run on x: while a first one, paused, holds it.
# Expect: statuses 0, 2, 4, 4, 4 and 0, and 5 (the paused first run then 0); the complete run fills x: to exactly the reserve; the run stopped in its sweep names the tree that stays for the next run, which removes it; every run leaves no temporary file and all space free; the lines are ASCII, parse, and a progress line comes only at a new 10% step or 10 s after the last one.
import os
import re
import signal

import harness
import scratch
import steps
import texts

START = re.compile(r"^([A-Z]): (NTFS|FAT32|FAT), size ([\d,]+) bytes, free ([\d,]+) bytes$")
# Writing every block "N bytes written"; reading first "N bytes read, M of
# them zeroed", or only looking "D: 40% read, ... of them hold data".
PROGRESS = re.compile(r"^([A-Z]): (\d+)% (?:filled|read), ([\d,]+) bytes (?:written|read, "
                      r"[\d,]+ of them (?:zeroed|hold data)), (\d+\.\d) MB/s, "
                      r"(\d+:\d\d:\d\d|unknown) left( \(a write has taken \d+ s so far\))?$")
# Arrival on the pipe may run a little behind the program's clock.
INTERVAL_SLACK = 0.5

USAGE_ERRORS = [("--reserve", "1MiB", "x:"), ("x:", "--bogus"), ("--disk", "x:"), (),
                ("x:", "q:")]


def expect_lines(s, run, what):
    """Plain lines, progress lines that parse and keep their pace."""
    for _, line in run.out + run.err:
        s.expect(line.isascii() and "\x1b" not in line and "\r" not in line,
                 "%s: a line that is not plain ASCII: %r" % (what, line))
    last = None
    for at, line in run.out:
        match = PROGRESS.match(line)
        if re.match(r"^[A-Z]: \d+% (filled|read), ", line):
            s.expect(match is not None, "%s: progress line %r does not parse" % (what, line))
        if match is None:
            continue
        step = int(match.group(2)) // 10
        if last is not None:
            s.expect(step > last[1] or at - last[0] >= 10 - INTERVAL_SLACK,
                     "%s: %r came %.1f s after the last one at the same 10%% step"
                     % (what, line, at - last[0]))
        last = (at, step if last is None or step > last[1] else last[1])


def expect_clean(s, volume, free, what):
    s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": temporary files left")
    s.expect_equal(volume.free(), free, what + ": free bytes afterwards")


def complete_run(s, exe, x):
    what = "x: complete, no display"
    free, total = x.free(), x.total()
    with harness.FreeSpaceSampler(x) as sampler:
        run = harness.start_console(s, exe, "x:")
        status = run.wait(300)
    s.expect_equal(status, 0, what + ": exit status")
    steps.expect_filled_to_reserve(s, sampler, what)
    expect_clean(s, x, free, what)
    expect_lines(s, run, what)
    lines = [line for _, line in run.out]
    s.expect_equal(lines[:1], ["X: NTFS, size %s bytes, free %s bytes"
                               % (texts.grouped(total), texts.grouped(free))], what + ": start line")
    s.expect(any(PROGRESS.match(line) for line in lines), what + ": no progress line")
    s.expect(any(line.startswith("X: complete in ") for line in lines), what + ": no ending line")
    s.expect_equal([line for _, line in run.err], [], what + ": standard error")
    s.expect(lines[-3].startswith("voidfill-batch: drive=X status=0 ") and
             lines[-2].startswith("voidfill-batch: run status=0 "), what + ": no summary")


def refused_runs(s, exe, x):
    free = x.free()
    with harness.FreeSpaceSampler(x) as sampler:
        for args in USAGE_ERRORS:
            what = "arguments %r" % (args,)
            run = harness.start_console(s, exe, *args)
            s.expect_equal(run.wait(60), 2, what + ": exit status")
            s.expect(run.err != [], what + ": no line on standard error")
            expect_lines(s, run, what)
    s.expect_equal(sampler.minimum, free, "refused runs: x: was touched")
    expect_clean(s, x, free, "refused runs")


def stopped_runs(s, exe, y):
    """The time limit, then Ctrl+C at 30% of the fill."""
    free = y.free()
    for how in ("time limit", "ctrl+c"):
        what = "y: stopped by " + how
        args = ("--time-limit", "1", "y:") if how == "time limit" else ("y:",)
        run = harness.start_console(s, exe, *args)
        if how == "ctrl+c":
            target = free - int(0.3 * (free - texts.RESERVE_BYTES))
            reached = scratch.wait_until(lambda: y.free() <= target or run.proc.poll() is not None,
                                         120, 0.005)
            s.expect(reached and run.proc.poll() is None, what + ": the run ended before 30%")
            run.signal(signal.SIGINT)
        s.expect_equal(run.wait(120), 4, what + ": exit status")
        s.expect(any(line.startswith("Y: stopped") for _, line in run.err),
                 what + ": no line saying it stopped")
        expect_lines(s, run, what)
        expect_clean(s, y, free, what)


def stopped_sweep(s, exe, x):
    """The time limit while the start sweep removes a tree that a killed run
    left: the tree stays, named, and the next run removes it."""
    what = "x: stopped while it removes a killed run's tree"
    free = x.free()
    tree = x.path(scratch.RECORD_FOLDER)
    for number in range(2 * 5 ** 5):
        digits = [str(number // 5 ** k % 5) for k in range(5, -1, -1)]
        os.makedirs(os.path.join(tree, *digits[:-1]), exist_ok=True)
        with open(os.path.join(tree, *digits), "wb") as f:
            f.write(bytes(640))
    run = harness.start_console(s, exe, "--time-limit", "1", "x:")
    s.expect_equal(run.wait(300), 4, what + ": exit status")
    s.expect(any(line.startswith("X: stopped while removing X:\\%s, which an earlier run left"
                                 % scratch.RECORD_FOLDER) for _, line in run.err),
             what + ": no line naming the tree")
    s.expect(os.path.isdir(tree), what + ": the tree is gone, the stop came too late")
    expect_lines(s, run, what)
    run = harness.start_console(s, exe, "x:")
    s.expect_equal(run.wait(300), 0, what + ": the next run's exit status")
    expect_clean(s, x, free, what + ": the next run")


def second_run(s, exe, x):
    what = "x: a second run while the first holds it"
    free = x.free()
    first = harness.start_console(s, exe, "x:")
    started = scratch.wait_until(lambda: x.free() < free - 256 * harness.MIB, 60, 0.001)
    first.signal(signal.SIGSTOP)
    try:
        s.expect(started, what + ": the first run did not start filling")
        second = harness.start_console(s, exe, "x:", beside=True)
        s.expect_equal(second.wait(60), 5, what + ": exit status of the second")
        s.expect(any("in use by another program" in line for _, line in second.err),
                 what + ": the second run's notice")
    finally:
        first.signal(signal.SIGCONT)
    s.expect_equal(first.wait(300), 0, what + ": exit status of the first")
    expect_clean(s, x, free, what)


def scenario():
    exe = harness.take_batch_exe()
    with harness.session("batch") as s:
        x = s.add_volume("x", 2048)
        x.write_file("keep.txt", b"not to be touched\n")
        y = s.add_fat_volume("y", 512, 32)
        before = x.snapshot()
        complete_run(s, exe, x)
        refused_runs(s, exe, x)
        stopped_runs(s, exe, y)
        stopped_sweep(s, exe, x)
        second_run(s, exe, x)
        s.expect_equal(x.snapshot(), before, "x: the user's file")
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
