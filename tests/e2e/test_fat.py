#!/usr/bin/env python3
# Scenario: "voidfill x:" on a FAT32 volume and "voidfill y:" on a FAT (FAT16) volume, images served by fusefat with the user's files on them, answered with OK; y: already holds a VOIDTEMP folder with a file of the user's in it. Before the runs, device links that name no FAT volume of the session are put beside the drives.
# Expect: the links refused; each run writes VOIDTEMP\V_000000.TMP (and V_000001.TMP, ... past 2,000,000,000 bytes), takes the free space to exactly 10,485,760 bytes, then frees it all again; END, status 0, the files byte-identical; x: left without VOIDTEMP, y: with VOIDTEMP holding only the user's file, after the box saying it could not be removed was shown and answered.
#
# VOIDFILL_E2E_FAT32_MB=2300 makes x: that large, so that the run rolls over
# into V_000001.TMP; fusefat takes some 100 s to fill it, too slow for CI.
import os
import threading

import harness
import scratch
import steps
import texts

FAT32_MB = int(os.environ.get("VOIDFILL_E2E_FAT32_MB", "300"))
USER_FOLDER_FILE = "VOIDTEMP/KEEP.TXT"
# The program starts a new file once one holds more than 2,000,000,000
# bytes, checked before each 4 MiB block: 477 blocks.
BYTES_PER_FILE = 477 * steps.BLOCK_BYTES


def folder_box(letter):
    return ("一時フォルダ %s:\\VOIDTEMP の削除に失敗しました。\n"
            "お手数ですが、上記フォルダを手動削除して下さい。" % letter)


class FolderWatch(threading.Thread):
    """Records every name seen in the volume's VOIDTEMP folder while the run
    lasts: the only sign that the program took its FAT branch."""

    def __init__(self, volume):
        super().__init__(daemon=True)
        self.folder = os.path.join(volume.mountpoint, "VOIDTEMP")
        self.seen = set()
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            try:
                self.seen.update(os.listdir(self.folder))
            except FileNotFoundError:
                pass
            self.done.wait(0.01)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.join()
        return False


def expect_link_refused(s, entry, target):
    path = os.path.join(s.prefix, "dosdevices", entry)
    os.symlink(target, path)
    try:
        s.verify_mappings()
        s.expect(False, "%s -> %s: not refused" % (entry, target))
    except harness.UnsafeMapping as error:
        s.log("%s -> %s: refused (%s)" % (entry, target, error))
    finally:
        os.remove(path)


def fat_run(s, volume, fat_bits, file_in_folder):
    letter = volume.letter
    what = "FAT%d %s:" % (fat_bits, letter)
    files = dict(steps.USER_FILES)
    if file_in_folder:
        files[USER_FOLDER_FILE] = 4321
    hashes = scratch.put_user_files(volume.mountpoint, files)
    free, total = volume.free(), volume.total()
    expected_boxes = [texts.confirm_drive(letter)]
    run = s.start(letter + ":")
    box = steps.confirm(s, run, letter)
    windows = [box]
    with harness.FreeSpaceSampler(volume) as sampler, FolderWatch(volume) as watch:
        windows.append(steps.wait_progress(run, box))
        # fusefat writes some 20 MB/s at worst, into a file of 2 GB.
        timeout = 60 + free // (10 * 1000 * 1000)
        if file_in_folder:
            windows.append(steps.wait_box(run, 2, windows, timeout))
            run.press(windows[-1], "Return")
            expected_boxes.append(folder_box(letter))
        result = steps.finish(s, run, windows, len(expected_boxes), timeout)
    s.log("%s filled in %.1fs, %d free-space changes in %d samples, lowest %s, seen in VOIDTEMP %s"
          % (what, sampler.timeline[-1][0] - sampler.timeline[0][0], len(sampler.timeline),
             sampler.samples, sampler.minimum, sorted(watch.seen)))
    fillable = free - texts.RESERVE_BYTES
    temp_files = ["V_%06d.TMP" % i for i in range(-(-fillable // BYTES_PER_FILE))]
    # Wine unlinks a delete-on-close file before its own process closes the
    # descriptor, and FUSE keeps such a file under a hidden name until then.
    seen = [name for name in watch.seen - {"KEEP.TXT"} if not name.startswith(".fuse_hidden")]
    s.expect_equal(sorted(seen), temp_files, what + " files of the run")
    s.expect_equal(result.status, 0, what + " exit status")
    s.expect_equal(result.text, texts.drive_run(letter + ":", free, total), what + " console")
    s.expect_equal(result.boxes, expected_boxes, what + " message boxes")
    s.expect_equal(run.seen_windows, windows, what + " windows")
    s.expect_equal(sampler.minimum, texts.RESERVE_BYTES, what + " lowest free bytes")
    s.expect_equal(scratch.changed_files(volume.mountpoint, hashes), [], what + " user files changed")
    left = [name for name in volume.names() if "VOIDTEMP" in name.upper()]
    kept = ["VOIDTEMP", USER_FOLDER_FILE] if file_in_folder else []
    s.expect_equal(left, kept, what + " VOIDTEMP afterwards")
    s.expect_equal(volume.free(), free, what + " free bytes afterwards")


def scenario():
    with harness.session("fat") as s:
        x = s.add_fat_volume("x", FAT32_MB, 32)
        y = s.add_fat_volume("y", 64, 16)
        dosdevices = os.path.join(s.prefix, "dosdevices")
        x_device = os.readlink(os.path.join(dosdevices, "x::"))
        y_device = os.readlink(os.path.join(dosdevices, "y::"))
        expect_link_refused(s, "z::", x_device)
        os.remove(os.path.join(dosdevices, "y::"))
        expect_link_refused(s, "y::", x_device)
        expect_link_refused(s, "y::", "/dev/null")
        os.symlink(y_device, os.path.join(dosdevices, "y::"))
        s.verify_mappings()
        fat_run(s, x, 32, file_in_folder=False)
        fat_run(s, y, 16, file_in_folder=True)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
