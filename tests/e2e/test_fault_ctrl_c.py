#!/usr/bin/env python3
# Scenario: Ctrl+C typed in the console when 30% of the free space of a 1 GiB volume holding the user's files has been written.
# Expect: the run stops like a Cancel, the temporary file is deleted, the window closes; the program still prints END and ends with status 0; the files byte-identical, all space free again.
import steps
import harness

SIZE_MB = 1024


def scenario():
    with harness.session("fault-ctrl-c") as s:
        steps.interrupted_run(s, SIZE_MB, 0.3, lambda run, window: run.interrupt("tty"),
                              typed="^C")
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
