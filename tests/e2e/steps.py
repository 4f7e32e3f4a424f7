"""Steps shared by the scenarios.

Each scenario drives the real voidfill.exe through the harness on scratch
volumes, then checks what a user would check afterwards: the console ends
with END, the exit status is 0, the user's files are byte-identical and no
temporary file is left on the volume.
"""

import os
import time

import harness
import scratch
import texts

BLOCK_BYTES = 4 * 1024 * 1024
RESERVE_BLOCKS = texts.RESERVE_BYTES // scratch.BLOCK_SIZE  # 2,560 blocks of 4 KiB

# On NTFS, and on what Wine shows as NTFS, the run gives the free records of
# the file table their zeros once the fill is done. Meanwhile the index of
# that step's folder (or, where files never stay inside their record, its
# first few files) may take this much of the reserve; and the table, once it
# has no free record left, grows a little for good.
RECORDS_STEP_MARGIN = 1024 * 1024
TABLE_GROWTH_MARGIN = 256 * 1024

CREATE_FAILED_TEXT = "一時ファイル「{letter}:\\V_000000.TMP」の作成に失敗しました。"
TEMP_NAME = "V_000000.TMP"

# What the scenarios and the demo put on a volume first: a few files of the
# user's.
USER_FILES = {
    "notes.txt": 1234,
    "photos/2007/img_0001.jpg": 300_000,
    "photos/2007/img_0002.jpg": 1_048_577,
    "work/report.doc": 65_536,
}


def expect_nothing_done(session, args, keys, confirmation, volumes):
    """Starts the exe with args, answers its confirmation with keys and
    checks that nothing was done: banner, empty line and END, that one box,
    no other window and not one byte written. Only the first volume is
    sampled while the run lasts (a second sampler would halve the first's
    rate); every volume's files are compared afterwards."""
    what = "%s answered with %s" % (args, " ".join(keys))
    before = [volume.snapshot() for volume in volumes]
    run = session.start(args)
    box = run.wait_window()
    with harness.FreeSpaceSampler(volumes[0]) as sampler:
        run.press(box, *keys)
        result = run.wait(timeout=120)
    session.expect_equal(result.status, 0, what + ": exit status")
    session.expect_equal(result.text, texts.NOTHING_DONE_RUN, what + ": console")
    session.expect_equal(result.boxes, [confirmation], what + ": message boxes")
    session.expect_equal(run.seen_windows, [box], what + ": windows")
    session.expect_equal(sampler.minimum, sampler.first, what + ": lowest free bytes while it ran")
    for volume, files in zip(volumes, before):
        session.expect_equal(volume.snapshot(), files, what + ": files on %s" % volume.mountpoint)


def expect_filled_to_reserve(session, sampler, what):
    """The fill stopped at exactly the reserve: the first free count at or
    below it is the reserve itself. Only the file table's step goes lower
    afterwards, and not by more than its margin."""
    reached = [free for _, free in sampler.timeline if free <= texts.RESERVE_BYTES]
    session.expect_equal(reached[:1], [texts.RESERVE_BYTES], what + ": free bytes where the fill ended")
    session.expect(sampler.minimum >= texts.RESERVE_BYTES - RECORDS_STEP_MARGIN,
                   "%s: free space fell to %s, far below the reserve" % (what, sampler.minimum))


def scratch_root(session):
    """Folder for a scenario's own mounts, beside the session's folder, so
    that the session's sweep leaves them to the scenario."""
    return os.path.join(session.workdir, "scratch", "%s-%s" % (session.name, session.arch))


def confirm(session, run, letter):
    """Waits for the confirmation box, checks its text and answers OK.
    Returns the box's window."""
    box = run.wait_window(60)
    deadline = time.monotonic() + 10
    while not run.boxes and time.monotonic() < deadline:
        time.sleep(0.02)
    session.expect_equal(run.boxes[:1], [texts.confirm_drive(letter)],
                         "confirmation box")
    run.press(box, "Return")
    return box


def wait_progress(run, box, timeout=30):
    """The progress window that follows the confirmation box; on a short run
    it may be closed again already."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        later = [w for w in run.seen_windows if w != box]
        if later:
            return later[0]
        if run.proc.poll() is not None:
            raise harness.HarnessError("the program ended without a progress window; "
                                       "console %r" % run.output)
        time.sleep(0.01)
    raise harness.HarnessError("no progress window within %ss" % timeout)


def wait_box(run, count, known, timeout=30):
    """Waits until count message boxes have been shown and returns the one
    window seen that is visible and not in known (the confirmation box, the
    progress window). Window ids do not tell which came last: Wine opens
    one X connection per thread, each with its own range of ids."""
    deadline = time.monotonic() + timeout
    while len(run.boxes) < count:
        if time.monotonic() > deadline or run.proc.poll() is not None:
            raise harness.HarnessError("message box %d did not show; boxes %r, console %r"
                                       % (count, run.boxes, run.output))
        time.sleep(0.02)
    while time.monotonic() < deadline:
        visible = set(run.windows())
        new = [w for w in run.seen_windows if w in visible and w not in known]
        if len(new) == 1:
            return new[0]
        if len(new) > 1:
            raise harness.HarnessError("more than one new window: %s" % [hex(w) for w in new])
        time.sleep(0.02)
    raise harness.HarnessError("message box %d has no window" % count)


def finish(session, run, known, boxes, timeout=120):
    """Waits for the program to end. A message box beyond the boxes expected
    is saved as a screenshot and answered with OK, so that a wrong box makes
    the scenario fail at its checks at once rather than hang to a time-out."""
    deadline = time.monotonic() + timeout
    known = list(known)
    while run.proc.poll() is None and time.monotonic() < deadline:
        if len(run.boxes) > boxes:
            window = wait_box(run, len(run.boxes), known)
            run.screenshot(window, "unexpected-box-%d.png" % len(run.boxes))
            run.press(window, "Return")
            known.append(window)
            boxes = len(run.boxes)
        time.sleep(0.02)
    return run.wait(max(1.0, deadline - time.monotonic()))


def expect_clean_end(session, result, volume_path, user_hashes, boxes, typed="", kept=()):
    """The checks every scenario ends with. typed is what the terminal
    echoed of keys typed into it (the "^C" of a Ctrl+C), which is not the
    program's output; kept names the user's own folders in the root that
    are named like the program's."""
    session.expect_equal(result.status, 0, "exit status")
    text = result.text
    if typed:
        session.expect(typed in text, "the terminal did not echo %r" % typed)
        text = text.replace(typed, "", 1)
    lines = text.rstrip("\n").split("\n")
    session.expect_equal(lines[-2:], ["", "END"], "last console lines")
    session.expect_equal(result.boxes, boxes, "message boxes")
    session.expect_equal(scratch.changed_files(volume_path, user_hashes), [],
                         "user files changed or missing")
    session.expect_equal(scratch.leftovers(volume_path, kept), [], "temporary files left")


def with_progress(run, known, box):
    """known, the run's confirmation box and the first window after it: its
    progress window (a box shown right after it is stacked above it)."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        later = [w for w in run.seen_windows if w not in known and w != box]
        if later:
            return list(known) + [box, later[0]]
        time.sleep(0.01)
    raise harness.HarnessError("no progress window; console %r" % run.output)


def answer(session, run, known=(), timeout=60):
    """Confirms run and waits for its end; finish answers the box that
    follows with OK (its screenshot is unexpected-box-2.png). known are
    windows of other runs."""
    box = run.wait_window(60, exclude=known)
    run.press(box, "Return")
    return finish(session, run, with_progress(run, known, box), 1, timeout)


def report_free(result, letter):
    """The free bytes of the report line "Drive[x:]Free/Size = f/t (B)"."""
    for line in result.text.split("\n"):
        if line.startswith("Drive[%s:]Free/Size = " % letter):
            free = line.split("=", 1)[1].split("/")[0]
            return int(free.strip().replace(",", ""))
    return None
