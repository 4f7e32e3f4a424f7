#!/usr/bin/env python3
# Scenario: an NTFS volume whose every block held old data before a quick format, with the user's files on it, is zero-filled by "voidfill x:" answered with OK.
# Expect: END and status 0, the files byte-identical, no temporary file; of the old data only the 10 MiB reserve (2,560 blocks) and never-written metadata blocks are left.
import steps
import harness
import scratch
import texts

SIZE_MB = 96
# Blocks of the volume's own metadata that keep old data whatever the
# program does: MFT clusters that ntfs-3g has allocated ahead for records not
# yet in use (a quick format writes only the records it fills). 1 is seen
# here after the user's files are added; the MFT grows by a few clusters at
# a time, so 16 leaves room for that and still catches a single 4 MiB block
# left unwritten (1,024 blocks).
METADATA_ALLOWANCE = 16


def scenario():
    s = harness.session("fault-full-run-ntfs")
    ntfs = scratch.NtfsVolume("ntfs", SIZE_MB, steps.scratch_root(s))
    with ntfs:
        hashes = scratch.put_user_files(ntfs.mountpoint, steps.USER_FILES)
        free_before = ntfs.free()
        # Wine has ended when the session closes; then the volume can go.
        with s:
            s.adopt_volume("x", ntfs.mountpoint)
            run = s.start("x:")
            box = steps.confirm(s, run, "x")
            window = steps.wait_progress(run, box)
            run.screenshot(window, "progress.png")
            result = steps.finish(s, run, [box, window], 1)
        steps.expect_clean_end(s, result, ntfs.mountpoint, hashes,
                               [texts.confirm_drive("x")])
        s.expect_equal(steps.report_free(result, "x"), free_before, "free bytes reported")
        growth = free_before - ntfs.free()
        s.log("free bytes after the run: %d fewer (the file table's growth)" % growth)
        s.expect(0 <= growth <= steps.TABLE_GROWTH_MARGIN,
                 "free bytes after the run: %d fewer than before" % growth)
    # Unmounted and ntfs-3g ended: the image is complete.
    stale = []
    counts = scratch.analyse_image(ntfs.image, stale)
    free_clusters = set(scratch.ntfs_free_clusters(ntfs.image))
    stale_free = sum(1 for block in stale if block in free_clusters)
    stale_metadata = counts.stale - stale_free
    s.log("blocks of 4 KiB: %s; old data in free space %d (reserve %d), "
          "in metadata %d (allowance %d)"
          % (counts, stale_free, steps.RESERVE_BLOCKS, stale_metadata, METADATA_ALLOWANCE))
    s.expect(stale_free <= steps.RESERVE_BLOCKS,
             "%d free blocks still hold old data, more than the reserve" % stale_free)
    s.expect(stale_metadata <= METADATA_ALLOWANCE,
             "%d metadata blocks hold old data" % stale_metadata)
    s.expect(counts.stale <= steps.RESERVE_BLOCKS + METADATA_ALLOWANCE,
             "%d blocks still hold old data" % counts.stale)
    # Everything else that was free is now zero.
    s.expect(counts.zero >= len(free_clusters) - steps.RESERVE_BLOCKS,
             "only %d zero blocks for %d free ones" % (counts.zero, len(free_clusters)))
    ntfs.remove_image()
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
