#!/usr/bin/env python3
# Scenario: "voidfill x:" answered with OK on a volume mounted read-only, holding the user's files.
# Expect: the message box that the temporary file x:\V_000000.TMP cannot be created, answered with OK; then END and status 0, nothing created, the files byte-identical, the free space unchanged.
import subprocess

import steps
import harness
import scratch
import texts


def scenario():
    with harness.session("fault-readonly") as s:
        volume = s.add_volume("x", 64)
        hashes = scratch.put_user_files(volume.mountpoint, steps.USER_FILES)
        subprocess.run(["mount", "-o", "remount,ro", volume.mountpoint], check=True)
        free_before = volume.free()
        run = s.start("x:")
        box = steps.confirm(s, run, "x")
        progress = steps.wait_progress(run, box)
        error_box = steps.wait_box(run, 2, known=[box, progress])
        run.screenshot(error_box, "create-failed.png")
        run.press(error_box, "Return")
        result = steps.finish(s, run, [box, progress, error_box], 2)
        steps.expect_clean_end(s, result, volume.mountpoint, hashes,
                               [texts.confirm_drive("x"),
                                steps.CREATE_FAILED_TEXT.format(letter="x")])
        s.expect_equal(volume.free(), free_before, "free bytes after the run")
        s.expect_equal(run.windows(), [], "windows left open")
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
