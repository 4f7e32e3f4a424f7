#!/usr/bin/env python3
# Scenario: Cancel (Escape) pressed on the progress window when 60% of the free space of a 1 GiB volume holding the user's files has been written.
# Expect: the run stops well before the reserve, the temporary file is deleted, the window closes; END, status 0, the files byte-identical, all space free again.
import steps
import harness

SIZE_MB = 1024


def scenario():
    with harness.session("fault-cancel-late") as s:
        steps.interrupted_run(s, SIZE_MB, 0.6,
                              lambda run, window: run.press(window, "Escape"))
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
