#!/usr/bin/env python3
# Scenario: an NTFS volume with the user's files, on which small files and files with long names, each holding its own marker, were written and deleted (their MFT records freed, not wiped); "voidfill x:" stopped with Escape while it writes its files into X:\VOIDTEMP, then a full run.
# Expect: the stopped run removes VOIDTEMP, its files and V_000000.TMP and leaves the free space as it was; after the full run no marker is left anywhere in the raw image and the free space is short only of the table's growth; both runs END with status 0, the files byte-identical, nothing left behind.
import os
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


def folder_files(folder):
    """How many files the folder and its subfolders hold, or None while it
    does not exist."""
    if not os.path.isdir(folder):
        return None
    return sum(len(files) for _, _, files in os.walk(folder))


def escaped_run(s, ntfs, hashes, free_before):
    """Stops a run with Escape once the host sees files in VOIDTEMP."""
    folder = ntfs.path("VOIDTEMP")
    run = s.start("x:")
    box = steps.confirm(s, run, "x")
    window = steps.wait_progress(run, box)
    run.exe_pid()
    reached = scratch.wait_until(lambda: folder_files(folder) or run.proc.poll() is not None,
                                 120, 0.002) and run.pause()
    s.expect(reached, "the run ended before VOIDTEMP held files")
    if reached:
        # The key waits in the queue while the program stands still, so the
        # count taken here is the one at the stop.
        at_stop = folder_files(folder)
        run.press(window, "Escape")
        run.resume()
        most = at_stop
        while run.proc.poll() is None:
            most = max(most, folder_files(folder) or 0)
            time.sleep(0.02)
        s.log("VOIDTEMP held %d files at the Escape, at most %d after it" % (at_stop, most))
        s.expect(most - at_stop <= SLACK_FILES,
                 "%d files were created after the Escape" % (most - at_stop))
    result = steps.finish(s, run, [box, window], 1, 60)
    steps.expect_clean_end(s, result, ntfs.mountpoint, hashes, [texts.confirm_drive("x")])
    s.expect_equal(ntfs.free_bytes(), free_before, "free bytes after the stopped run")


def full_run(s, ntfs, hashes, free_before):
    run = s.start("x:")
    box = steps.confirm(s, run, "x")
    window = steps.wait_progress(run, box)
    result = steps.finish(s, run, [box, window], 1)
    steps.expect_clean_end(s, result, ntfs.mountpoint, hashes, [texts.confirm_drive("x")])
    growth = free_before - ntfs.free_bytes()
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
        scratch.put_deleted_markers(ntfs.mountpoint, SMALL_FILES, LONG_NAMES)
        free_before = ntfs.free_bytes()
        ntfs.unmount()
        # Else the scenario would pass with a preparation that wrote nothing.
        expect_markers(s, ntfs.image, SMALL_FILES, LONG_NAMES, "before the runs")
        ntfs.remount(readonly=False)
        # Wine has ended when the session closes; then the volume can go.
        with s:
            s.adopt_volume("x", ntfs.mountpoint)
            escaped_run(s, ntfs, hashes, free_before)
            full_run(s, ntfs, hashes, free_before)
    # Unmounted and ntfs-3g ended: the image is complete.
    expect_markers(s, ntfs.image, 0, 0, "after the full run")
    ntfs.remove_image()
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
