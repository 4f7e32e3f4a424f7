#!/usr/bin/env python3
# Scenario: one after another, "voidfill x:" answered with OK on a 1 GiB tmpfs holding the user's files: (1) x:\V_000000.TMP is a second name of the user's report.doc, a hard link and then a symbolic link, then a symbolic link to a user's file that is itself named V_000000.TMP, then a read-only copy of report.doc; (2) the program may write only 20% of the free space (a file-size limit on its process); (3) a second run on x: confirmed while the first one holds its file; then "voidfill n:" on an NTFS image whose root has the compressed attribute set.
# Expect: (1) a box naming the link or the read-only file (for it, the creation failure), not one byte written, the document and its second name or copy unchanged; (2) a box saying the fill failed, with the system's error, shown only once the run's file has given its space back; (3) the second run shows the file in use and writes nothing, the first reaches exactly the reserve with no box; (4) the zeros take no space (under Wine 8 the new file stays compressed on ntfs-3g): after 256 MiB the run stops with a box instead of running for ever. Every run: END, status 0, no temporary file left, the files byte-identical.
import os
import re
import resource
import shutil
import signal
import struct
import time

import harness
import scratch
import steps
import texts

SIZE_MB = 1024
NTFS_MB = 64
# ntfs-3g's view of the NTFS attributes, and their compressed bit.
NTFS_ATTRIB = "system.ntfs_attrib_be"
COMPRESSED = 0x800
# The guard trips after 256 MiB written; ntfs-3g takes some 15 s for them.
GUARD_TIMEOUT = 180


def expect_box(s, result, letter, expected, what):
    """A clean end with the confirmation and one box, which Wine's trace may
    show cut short; expected is its text or a pattern of it."""
    s.expect_equal(result.status, 0, what + ": exit status")
    s.expect_equal(result.text.split("\n")[-3:], ["", "END", ""], what + ": last console lines")
    s.expect_equal(result.boxes[:1], [texts.confirm_drive(letter)], what + ": confirmation")
    shown = result.boxes[1:]
    if isinstance(expected, re.Pattern):
        s.expect(len(shown) == 1 and expected.match(shown[0]),
                 "%s: boxes %r, expected one like %r" % (what, shown, expected.pattern))
    else:
        s.expect_equal(shown, [texts.traced(expected)], what + ": box")


def expect_untouched(s, volume, hashes, free_before, what):
    s.expect_equal(scratch.changed_files(volume.mountpoint, hashes), [], what + ": files changed")
    s.expect_equal(scratch.leftovers(volume.mountpoint), [], what + ": temporary files left")
    s.expect_equal(volume.free(), free_before, what + ": free bytes after the run")


def foreign_file(s, volume, hashes, how):
    """x:\\V_000000.TMP is a second name of the user's report.doc: a hard
    link, or a symbolic link, which Wine shows as the plain file it points
    at (only its path tells: a target of the same name passes the name); or
    a read-only copy of it, which Wine, run as root here, would let the
    program write."""
    document = os.path.join(volume.mountpoint, "work", "report.doc")
    temp = os.path.join(volume.mountpoint, steps.TEMP_NAME)
    if how == "same-named link":
        document = os.path.join(volume.mountpoint, "work", steps.TEMP_NAME)
        shutil.copyfile(os.path.join(volume.mountpoint, "work", "report.doc"), document)
        os.symlink(document, temp)
        expected = texts.temp_link("x:\\" + steps.TEMP_NAME)
    elif how == "hard link":
        os.link(document, temp)
        expected = texts.temp_hard_link("x:\\" + steps.TEMP_NAME)
    elif how == "read-only file":
        shutil.copyfile(document, temp)
        os.chmod(temp, 0o444)
        expected = texts.temp_not_created("x:\\" + steps.TEMP_NAME)
    else:
        os.symlink(document, temp)
        expected = texts.temp_link("x:\\" + steps.TEMP_NAME)
    size = os.path.getsize(document)
    free_before = volume.free()
    with harness.FreeSpaceSampler(volume) as sampler:
        result = steps.answer(s, s.start("x:"))
    expect_box(s, result, "x", expected, how)
    s.expect_equal(sampler.minimum, sampler.first, how + ": lowest free bytes")
    if how == "read-only file":
        s.expect(os.path.exists(temp) and scratch.sha256_file(temp) == hashes["work/report.doc"],
                 how + ": it was changed")
    else:
        s.expect(os.path.exists(temp) and os.path.samefile(temp, document),
                 how + ": the second name is gone")
    s.expect_equal(os.path.getsize(document), size, how + ": size of the document")
    if os.path.lexists(temp):
        # The read-only copy, and the same-named file, give their space
        # back as they go.
        free_with_temp = volume.free()
        os.remove(temp)
        if how == "same-named link":
            os.remove(document)
        free_before += volume.free() - free_with_temp
    expect_untouched(s, volume, hashes, free_before, how)


def write_error(s, volume, hashes):
    what = "file-size limit"
    free_before = volume.free()
    limit = (free_before - texts.RESERVE_BYTES) // 5

    def limit_file_size():
        # Ignored, SIGXFSZ lets the write fail (EFBIG) instead of ending
        # the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    with harness.FreeSpaceSampler(volume) as sampler:
        run = s.start("x:", preexec=limit_file_size)
        known = steps.with_progress(run, [], steps.confirm(s, run, "x"))
        box = steps.wait_box(run, 2, known)
        # A box may wait for hours: the volume must not stay full meanwhile.
        s.expect_equal(volume.free(), free_before, what + ": free bytes while the box waits")
        run.press(box, "Return")
        result = steps.finish(s, run, known + [box], 2)
    s.log("%s: %d bytes allowed, free bytes down to %d" % (what, limit, sampler.minimum))
    expect_box(s, result, "x", texts.write_failed("x:\\" + steps.TEMP_NAME), what)
    expect_untouched(s, volume, hashes, free_before, what)


def two_runs(s, volume, hashes):
    """The first run is held (SIGSTOP) while it writes, so that the second
    one meets its file however fast the volume is."""
    free_before = volume.free()
    first = s.start("x:")
    box = steps.confirm(s, first, "x")
    with harness.FreeSpaceSampler(volume) as sampler:
        known = steps.with_progress(first, [], box)
        while volume.free() > free_before - 64 * harness.MIB:
            if first.proc.poll() is not None or time.monotonic() > first.started + 60:
                raise harness.HarnessError("the first run did not write 64 MiB")
            time.sleep(0.001)
        first.pause()
        second = s.start("x:", beside=True)
        free_held = volume.free()
        result = steps.answer(s, second, known)
        expect_box(s, result, "x", texts.temp_in_use("x:\\" + steps.TEMP_NAME), "second run")
        s.expect_equal(volume.free(), free_held, "second run: free bytes after it")
        first.resume()
        result = steps.finish(s, first, known, 1)
    steps.expect_clean_end(s, result, volume.mountpoint, hashes, [texts.confirm_drive("x")])
    steps.expect_filled_to_reserve(s, sampler, "first run")
    s.expect_equal(volume.free(), free_before, "first run: free bytes after it")


def compressed_root(s, volume):
    what = "compressed NTFS root"
    hashes = scratch.put_user_files(volume.mountpoint, steps.USER_FILES)
    attributes = struct.unpack(">I", os.getxattr(volume.mountpoint, NTFS_ATTRIB))[0]
    os.setxattr(volume.mountpoint, NTFS_ATTRIB, struct.pack(">I", attributes | COMPRESSED))
    free_before = volume.free()
    started = time.monotonic()
    result = steps.answer(s, s.start("n:"), timeout=GUARD_TIMEOUT)
    s.log("%s: the run ended after %.1fs" % (what, time.monotonic() - started))
    expect_box(s, result, "n", texts.not_shrinking("n"), what)
    expect_untouched(s, volume, hashes, free_before, what)


def scenario():
    s = harness.session("fault-temp-file")
    # The session, and so Wine, ends before the NTFS volume is unmounted.
    with scratch.NtfsVolume("ntfs", NTFS_MB, steps.scratch_root(s), pattern=False) as ntfs, s:
        volume = s.add_volume("x", SIZE_MB)
        hashes = scratch.put_user_files(volume.mountpoint, steps.USER_FILES)
        for how in ("hard link", "symbolic link", "same-named link", "read-only file"):
            foreign_file(s, volume, hashes, how)
        write_error(s, volume, hashes)
        two_runs(s, volume, hashes)
        compressed_root(s, s.adopt_volume("n", ntfs.mountpoint))
    ntfs.remove_image()
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
