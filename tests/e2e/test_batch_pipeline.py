#!/usr/bin/env python3
# Scenario: voidfill-batch.exe as an image build runs it, with no display: --all over the drives Wine has (C:, the prefix's tmpfs; r:, x:, y:, z: tmpfs; w: a CD drive by Wine's registry); README's cmd recipe under "cmd /c" for y: z: x: (y: read-only, z: a folder where the temporary file belongs), y: q: x: (no drive at q:), --disk 0 (Wine reports no disks) and z: x:; a time limit on a stalefs volume that writes 256 KiB/s; x: with standard output on a pipe that nobody reads.
# Expect: --all fills every fixed drive and skips w: with a line, status 0; the recipe fails the build for statuses 1 and 2 and passes 3 with a warning, a missing target touching no drive; the time limit ends the run within 2 s of it, a progress line at least every 10 s; the unread log holds nothing: the volume is back to its free space while nobody reads, and every line comes out in order once the pipe is read; every summary line matches README's regular expression.
import os
import re
import shutil
import subprocess

import harness
import scratch
import steps
import texts
from test_batch import expect_clean

CMD = "C:\\windows\\system32\\cmd.exe"
RECIPE_EXE = "C:\\tools\\voidfill-batch.exe"
RECIPE_TARGETS = "--disk 0"
# The program's status and the recipe's, one row per target list.
RECIPE_ROWS = [("y: z: x:", 1, 1), ("y: q: x:", 2, 2), ("--disk 0", 2, 2), ("z: x:", 3, 0)]
SLOW_KIB = 256
TIME_LIMIT_S = 20
# Arrival on the pipe may run a little behind the program's clock.
SLACK_S = 0.5


def from_readme():
    """README's cmd recipe (naming its targets once) and its one-line
    regular expression for the summary lines."""
    with open(os.path.join(scratch.REPO_ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    recipe = re.search(r"```bat\n(.*?)```", text[text.index("## Unattended runs"):], re.S).group(1)
    if recipe.count(RECIPE_TARGETS) != 1 or RECIPE_EXE not in recipe:
        raise scratch.HarnessError("README's recipe no longer runs %s %s"
                                   % (RECIPE_EXE, RECIPE_TARGETS))
    return recipe, re.compile(re.search(r"^(\^voidfill-batch: .*\$)$", text, re.M).group(1))


def summaries(s, run, pattern, what):
    """{letter or "run": {key: value}} of the summary lines, each checked
    against the pattern."""
    found = {}
    for _, line in run.out:
        if not line.startswith(("voidfill-batch: drive=", "voidfill-batch: run")):
            continue
        if not s.expect(pattern.match(line), "%s: %r does not match README's pattern"
                        % (what, line)):
            continue
        words = line.split()[1:]
        key = "run" if words[0] == "run" else words[0].split("=")[1]
        found[key] = dict(w.split("=", 1) for w in words if "=" in w)
    return found


def all_drives(s, exe, pattern, volumes):
    what = "--all"
    free = {v.letter: v.free() for v in volumes}
    with harness.FreeSpaceSampler(volumes[0]) as sampler:
        run = harness.start_console(s, exe, "--all")
        status = run.wait(300)
    with open(s.artifact("all.log"), "w") as log:
        log.writelines(line + "\n" for _, line in sorted(run.out + run.err))
    s.expect_equal(status, 0, what + ": exit status")
    steps.expect_filled_to_reserve(s, sampler, what + " " + volumes[0].letter)
    found = summaries(s, run, pattern, what)
    letters = sorted(k for k in found if k != "run")
    s.expect_equal(letters, sorted(["C"] + [v.letter.upper() for v in volumes]),
                   what + ": drives filled")
    s.expect_equal({k: v["status"] for k, v in found.items()},
                   dict.fromkeys(letters + ["run"], "0"), what + ": statuses")
    s.expect_equal(found.get("run", {}).get("drives"), str(len(letters)), what + ": drives")
    s.expect("W: skipped: a CD or DVD drive" in [line for _, line in run.out],
             what + ": no line for the CD drive")
    for volume in volumes:
        expect_clean(s, volume, free[volume.letter], what + " " + volume.letter)
    s.expect_equal(scratch.leftovers(s.drive_c), [], what + ": temporary files left on C:")


def recipe_rows(s, exe, pattern, recipe, x, y, z, r):
    """README's recipe, as a build runs it, for target lists with each
    outcome."""
    os.makedirs(os.path.join(s.drive_c, "tools"), exist_ok=True)
    shutil.copyfile(exe, os.path.join(s.drive_c, "tools", "voidfill-batch.exe"))
    before = {v.letter: (v.free(), v.snapshot()) for v in (y, z)}
    for targets, program_status, recipe_status in RECIPE_ROWS:
        what = "recipe for %s" % targets
        r.write_file("recipe.cmd", recipe.replace(RECIPE_TARGETS, targets)
                     .replace("\n", "\r\n").encode("ascii"))
        free = x.free()
        with harness.FreeSpaceSampler(x) as sampler:
            run = harness.start_console(s, CMD, "/c", "R:\\recipe.cmd")
            status = run.wait(300)
        s.expect_equal(status, recipe_status, what + ": the recipe's exit status")
        found = summaries(s, run, pattern, what)
        s.expect_equal(found.get("run", {}).get("status"), str(program_status),
                       what + ": the program's status")
        out = [line for _, line in run.out]
        if recipe_status == 0:
            s.expect("WARNING: voidfill-batch: some drive could not be filled, status 3" in out,
                     what + ": no warning")
        else:
            s.expect("voidfill-batch failed with status %d" % program_status in out,
                     what + ": no failure line")
        if program_status == 2:
            s.expect_equal(sampler.minimum, free, what + ": x: was touched")
        else:
            # 5% of the volume, rounded up to whole 4 KiB pages of the
            # tmpfs: the first free count at or below it is the reserve.
            reserve = -(-x.total() * 5 // 100 // 4096) * 4096
            s.expect_equal(found.get("X", {}).get("reserve"), str(reserve), what + ": reserve")
            s.expect_equal([free for _, free in sampler.timeline if free <= reserve][:1],
                           [reserve], what + ": free bytes where the fill ended")
        if targets == "y: z: x:":
            s.expect_equal({k: found.get(k, {}).get("status") for k in "YZX"},
                           {"Y": "1", "Z": "3", "X": "0"}, what + ": statuses of the drives")
        expect_clean(s, x, free, what)
        for volume in (y, z):
            s.expect_equal((volume.free(), volume.snapshot()), before[volume.letter],
                           what + ": " + volume.letter + " changed")


def slow_time_limit(s, exe, pattern):
    """The time limit on a volume that writes 256 KiB/s: the stop waits for
    no long block."""
    what = "time limit of %d s at %d KiB/s" % (TIME_LIMIT_S, SLOW_KIB)
    try:
        subprocess.run([os.path.join(scratch.REPO_ROOT, "tools", "stalefs"), "--build"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    except (OSError, subprocess.CalledProcessError) as error:
        s.log("ROW NOT RUN: %s: tools/stalefs cannot be built here (%s)" % (what, error))
        return
    v = s.add_stale_volume("v", 64, SLOW_KIB)
    free = v.free()
    # Every block written: reading first, a clean volume has nothing to write.
    run = harness.start_console(s, exe, "--write-all", "--time-limit", "%d" % TIME_LIMIT_S, "v:")
    status = run.wait(120)
    s.expect_equal(status, 4, what + ": exit status")
    lines = sorted(run.out + run.err)
    started = next((at for at, line in lines if line.startswith("V: NTFS")), None)
    if s.expect(started is not None, what + ": no start line"):
        ended = lines[-1][0] - started
        s.expect(ended <= TIME_LIMIT_S + 2, "%s: ended %.1f s after the start" % (what, ended))
        progress = [at - started for at, line in run.out if "% filled" in line]
        s.expect(bool(progress) and progress[0] <= 10 + SLACK_S,
                 "%s: first progress line at %s s" % (what, progress[:1]))
        gaps = [b - a for a, b in zip([0.0] + progress, progress + [ended])]
        s.expect(max(gaps) <= 10 + 2 * SLACK_S, "%s: progress lines %s s apart" % (what, gaps))
    s.expect_equal(summaries(s, run, pattern, what).get("V", {}).get("status"), "4",
                   what + ": summary")
    expect_clean(s, v, free, what)


def unread_log(s, exe, pattern, x):
    """Standard output on a full pipe that nobody reads until the volume is
    clean again."""
    what = "x: with a log nobody reads"
    free = x.free()
    with harness.FreeSpaceSampler(x) as sampler:
        run = harness.start_console(s, exe, "x:", blocked_stdout=True)
        clean = scratch.wait_until(lambda: sampler.minimum <= texts.RESERVE_BYTES and
                                   x.free() == free and not scratch.leftovers(x.mountpoint), 120)
        s.expect(clean, what + ": the volume was not clean again while the log was not read")
        s.expect(run.proc.poll() is None, what + ": the program did not wait for its log")
        run.release_stdout()
        status = run.wait(60)
    s.expect_equal(status, 0, what + ": exit status")
    kinds = ""
    for _, line in run.out:
        kinds += ("p" if "% filled" in line else "b" if line.startswith("X: NTFS") else
                  "c" if line.startswith("X: complete in") else
                  "s" if line.startswith("voidfill-batch: ") else "o")
    # The line saying how it fills comes between the start and the progress.
    s.expect(re.fullmatch(r"bo?p?o*cs+", kinds),
             "%s: lines out of order or progress not collapsed: %s %r" % (what, kinds, run.out))
    s.expect_equal(summaries(s, run, pattern, what).get("X", {}).get("status"), "0",
                   what + ": summary")
    expect_clean(s, x, free, what)


def scenario():
    exe = harness.take_batch_exe()
    recipe, pattern = from_readme()
    with harness.session("batch-pipeline") as s:
        x = s.add_volume("x", 512)
        y = s.add_volume("y", 64)
        z = s.add_volume("z", 64)
        r = s.add_volume("r", 16)
        w = s.add_volume("w", 16)
        x.write_file("keep.txt", b"not to be touched\n")
        subprocess.run([s.wine64, "reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "w:",
                        "/d", "cdrom", "/f"], env=s.wine_env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        all_drives(s, exe, pattern, [x, y, z, r])
        s.expect_equal(w.names(), [], "w: the CD drive was written")
        subprocess.run(["mount", "-o", "remount,ro", y.mountpoint], check=True)
        os.mkdir(z.path("V_000000.TMP"))
        recipe_rows(s, exe, pattern, recipe, x, y, z, r)
        unread_log(s, exe, pattern, x)
        slow_time_limit(s, exe, pattern)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
