#!/usr/bin/env python3
# Scenario: an NTFS volume with the user's files, among them a folder VOIDTEMP holding a file and a subfolder "0" named like the step's first, on which small files and files with long names, each holding its own marker, were written and deleted (their MFT records freed, not wiped). "voidfill x:" is (1) stopped with Escape while it writes its small files over the free records; (2) met there by a second "voidfill x:", and again while it removes its tree; (3) killed there (SIGKILL); then (4) a full run, with VOIDTEMP now a link to the user's folder; (5) a run that finds a tree of the step's name whose entries 0 and 1\0 are symbolic links to a user's file and to a file outside the volume; (6) a run that finds a symbolic link to the user's folder in the step's place.
# Expect: (1) the stopped run removes its folder, its files and V_000000.TMP and leaves the free space as it was; (2) the second run shows the file in use, both times, the first ends with no box; (3) no V_000000.TMP is left and the free space is back, only the step's tree stays; (4) the full run removes that tree, does the step again and leaves nothing behind: no marker is left anywhere in the raw image, the free space is short only of the table's growth; (5) the links and the files they point at stay, a box names the tree; (6) the step is left out and a box names the link, which stays, with the folder it leads to. VOIDTEMP and what it leads to are never entered: byte-identical throughout. Every run but the killed one ENDs with status 0, the files byte-identical.
import os
import shutil
import signal
import time

import harness
import scratch
import steps
import texts

SIZE_MB = 96
# Enough freed records that the step over them runs for a while, and its
# tree of folders is several leaves wide.
SMALL_FILES = 1000
LONG_NAMES = 100
# Files a run may still create between the Escape and the moment it acts on
# it; one that ignored the key would go on through the free records, about
# SMALL_FILES + LONG_NAMES.
SLACK_FILES = 100
# The user's own folder with the name the program uses on FAT, and inside it
# one with the name of the step's first folder.
USER_FOLDER = {"VOIDTEMP/keep.txt": 3000, "VOIDTEMP/0/inner.txt": 700}


def folder_files(folder):
    """How many files the folder and its subfolders hold, or None while it
    does not exist."""
    if not os.path.isdir(folder):
        return None
    return sum(len(files) for _, _, files in os.walk(folder))


def step_files(ntfs):
    return folder_files(ntfs.path(scratch.RECORD_FOLDER))


def user_folder(volume, name):
    """The user's folder as the host sees it: {relative path: hash}."""
    return {path: digest for path, digest in volume.snapshot().items()
            if path == name or path.startswith(name + "/")}


def held_in_step(s, run, ntfs):
    """Confirms run and stops it (SIGSTOP) once the host sees files in the
    step's folder. Returns its confirmation box and progress window, and
    whether it got there."""
    box = steps.confirm(s, run, "x")
    window = steps.wait_progress(run, box)
    run.exe_pid()
    reached = scratch.wait_until(lambda: step_files(ntfs) or run.proc.poll() is not None,
                                 120, 0.002) and run.pause()
    s.expect(reached, "the run ended before the step's folder held files")
    return box, window, reached


def escaped_run(s, ntfs, hashes, free_before):
    run = s.start("x:")
    box, window, reached = held_in_step(s, run, ntfs)
    if reached:
        # The key waits in the queue while the program stands still, so the
        # count taken here is the one at the stop.
        at_stop = step_files(ntfs)
        run.press(window, "Escape")
        run.resume()
        most = at_stop
        while run.proc.poll() is None:
            most = max(most, step_files(ntfs) or 0)
            time.sleep(0.02)
        s.log("the step's folder held %d files at the Escape, at most %d after it"
              % (at_stop, most))
        s.expect(most - at_stop <= SLACK_FILES,
                 "%d files were created after the Escape" % (most - at_stop))
    result = steps.finish(s, run, [box, window], 1, 60)
    steps.expect_clean_end(s, result, ntfs.mountpoint, hashes, [texts.confirm_drive("x")],
                           kept=("VOIDTEMP",))
    s.expect_equal(ntfs.free(), free_before, "free bytes after the stopped run")


def held_at_removal(s, run, ntfs):
    """Confirms run and stops it once its big file is emptied while its
    tree is still there: it is removing the tree."""
    box = steps.confirm(s, run, "x")
    window = steps.wait_progress(run, box)
    temp = ntfs.path(steps.TEMP_NAME)

    def removing():
        try:
            return bool(step_files(ntfs)) and os.path.getsize(temp) == 0
        except OSError:
            return False
    run.exe_pid()
    reached = scratch.wait_until(lambda: removing() or run.proc.poll() is not None,
                                 120, 0.001) and run.pause()
    s.expect(reached, "the run ended before it removed its tree")
    return box, window, reached


def second_run(s, ntfs, hashes, hold, what):
    """A second run started while the first is held by hold: the first
    keeps its big file open through the step, and until its tree is gone."""
    first = s.start("x:")
    box, window, reached = hold(s, first, ntfs)
    if reached:
        result = steps.answer(s, s.start("x:", beside=True), [box, window])
        s.expect_equal(result.boxes, [texts.confirm_drive("x"),
                                      texts.temp_in_use("x:\\" + steps.TEMP_NAME)],
                       what + ": message boxes")
        first.resume()
    result = steps.finish(s, first, [box, window], 1)
    steps.expect_clean_end(s, result, ntfs.mountpoint, hashes, [texts.confirm_drive("x")],
                           kept=("VOIDTEMP",))


def linked_tree(s, ntfs, hashes, outside):
    """A tree of the step's name whose entries are links to a user's file
    and to a file outside the volume: Wine shows them as those files."""
    tree = ntfs.path(scratch.RECORD_FOLDER)
    os.makedirs(os.path.join(tree, "1"))
    os.symlink(os.path.join("..", "work", "report.doc"), os.path.join(tree, "0"))
    os.symlink(outside, os.path.join(tree, "1", "0"))
    outside_hash = scratch.sha256_file(outside)
    result = steps.answer(s, s.start("x:"))
    s.expect_equal(result.boxes, [texts.confirm_drive("x"),
                                  texts.traced(texts.files_left(
                                      "x:\\" + scratch.RECORD_FOLDER, 2))],
                   "linked tree: message boxes")
    s.expect_equal(scratch.changed_files(ntfs.mountpoint, hashes), [],
                   "linked tree: user files changed or missing")
    s.expect_equal(scratch.sha256_file(outside), outside_hash, "linked tree: the outside file")
    s.expect(os.path.islink(os.path.join(tree, "0")) and
             os.path.islink(os.path.join(tree, "1", "0")), "linked tree: a link is gone")
    shutil.rmtree(tree)


def linked_step_folder(s, ntfs, hashes):
    """A link to the user's folder in the step's place, which Wine shows as
    that folder: not the step's, and said."""
    link = ntfs.path(scratch.RECORD_FOLDER)
    os.symlink("work", link)
    result = steps.answer(s, s.start("x:"))
    s.expect_equal(result.status, 0, "linked step folder: exit status")
    s.expect_equal(result.boxes, [texts.confirm_drive("x"),
                                  texts.traced(texts.step_skipped(
                                      "x:\\" + scratch.RECORD_FOLDER))],
                   "linked step folder: message boxes")
    s.expect_equal(scratch.changed_files(ntfs.mountpoint, hashes), [],
                   "linked step folder: user files changed or missing")
    s.expect(os.path.islink(link), "linked step folder: the link is gone")
    os.remove(link)


def killed_run(s, ntfs, free_before):
    run = s.start("x:")
    box, window, reached = held_in_step(s, run, ntfs)
    if reached:
        os.kill(run.exe_pid(), signal.SIGKILL)
    run.wait(30)
    temp = ntfs.path(steps.TEMP_NAME)
    gone = scratch.wait_until(lambda: not os.path.exists(temp), 10, 0.05)
    s.expect(gone, "the killed run left %s" % steps.TEMP_NAME)
    s.log("the killed run left %s files in the step's folder" % step_files(ntfs))
    s.expect(ntfs.free() >= free_before - steps.TABLE_GROWTH_MARGIN,
             "free bytes after the killed run: %d, before %d" % (ntfs.free(), free_before))


def full_run(s, ntfs, hashes, free_before):
    run = s.start("x:")
    box = steps.confirm(s, run, "x")
    window = steps.wait_progress(run, box)
    # The killed run's tree goes first; the step then makes its own.
    gone = redone = False
    while run.proc.poll() is None:
        files = step_files(ntfs)
        gone = gone or files is None
        redone = redone or (gone and bool(files))
        time.sleep(0.005)
    s.expect(gone and redone, "the step's folder: removed %s, made again %s" % (gone, redone))
    result = steps.finish(s, run, [box, window], 1)
    steps.expect_clean_end(s, result, ntfs.mountpoint, hashes, [texts.confirm_drive("x")],
                           kept=("VOIDTEMP",))
    growth = free_before - ntfs.free()
    s.log("free bytes after the full run: %d fewer (the file table's growth)" % growth)
    s.expect(0 <= growth <= steps.TABLE_GROWTH_MARGIN,
             "free bytes after the full run: %d fewer than before" % growth)


def expect_markers(s, image, small, names, when):
    found = scratch.find_markers(image)
    layout = scratch.mft_layout(image)
    free = set(scratch.ntfs_free_clusters(image))
    s.log("%s: small files %s, names %s" % (when, scratch.places(found[0], layout, free),
                                            scratch.places(found[1], layout, free)))
    s.expect_equal((len(found[0]), len(found[1])), (small, names),
                   "small files and names found in the image " + when)


def scenario():
    s = harness.session("ntfs-records")
    ntfs = scratch.NtfsVolume("ntfs", SIZE_MB, steps.scratch_root(s), pattern=False)
    with ntfs:
        hashes = scratch.put_user_files(ntfs.mountpoint, steps.USER_FILES)
        scratch.put_user_files(ntfs.mountpoint, USER_FOLDER)
        scratch.put_deleted_markers(ntfs.mountpoint, SMALL_FILES, LONG_NAMES)
        free_before = ntfs.free()
        ntfs.unmount()
        # Else the scenario would pass with a preparation that wrote nothing.
        expect_markers(s, ntfs.image, SMALL_FILES, LONG_NAMES, "before the runs")
        ntfs.remount(readonly=False)
        # Wine has ended when the session closes; then the volume can go.
        with s:
            volume = s.adopt_volume("x", ntfs.mountpoint)
            users = user_folder(volume, "VOIDTEMP")
            escaped_run(s, ntfs, hashes, free_before)
            second_run(s, ntfs, hashes, held_in_step, "second run")
            second_run(s, ntfs, hashes, held_at_removal, "second run at the removal")
            killed_run(s, ntfs, free_before)
            s.expect_equal(user_folder(volume, "VOIDTEMP"), users, "the user's VOIDTEMP")
            # A link named VOIDTEMP, to the user's folder, for the last run.
            os.rename(ntfs.path("VOIDTEMP"), ntfs.path("kept"))
            os.symlink("kept", ntfs.path("VOIDTEMP"))
            kept = user_folder(volume, "kept")
            full_run(s, ntfs, hashes, free_before)
            s.expect_equal(user_folder(volume, "kept"), kept, "the folder the link leads to")
            s.expect(os.path.islink(ntfs.path("VOIDTEMP")), "the link VOIDTEMP is gone")
            outside = os.path.join(steps.scratch_root(s), "outside.doc")
            with open(outside, "wb") as f:
                f.write(b"the user's file on another volume\n" * 100)
            linked_tree(s, ntfs, hashes, outside)
            os.remove(outside)
            linked_step_folder(s, ntfs, hashes)
    # Unmounted and ntfs-3g ended: the image is complete.
    expect_markers(s, ntfs.image, 0, 0, "after the full run")
    ntfs.remove_image()
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
