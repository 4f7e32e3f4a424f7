#!/usr/bin/env python3
# Scenario: Cancel (Escape) pressed on the progress window as soon as it shows, on a 1 GiB volume holding the user's files.
# Expect: the run stops within its first blocks, the temporary file is deleted, the window closes; END, status 0, the files byte-identical, all space free again.
import steps
import harness

SIZE_MB = 1024


def scenario():
    with harness.session("fault-cancel-early") as s:
        _, _, lowest = steps.interrupted_run(
            s, SIZE_MB, 0.0, lambda run, window: run.press(window, "Escape"))
        s.expect(lowest > SIZE_MB * harness.MIB // 2,
                 "more than half of the volume written before the early Cancel took effect "
                 "(%d bytes still free)" % lowest)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
