#!/usr/bin/env python3
# Scenario: disk mode under Wine, which reports no disk extents for any volume: 0: confirmed, 0: declined, 7:xyz confirmed, with two scratch volumes mapped.
# Expect: the disk confirmation with the digit as typed, then banner, empty line, END; no report line, no progress window, not one byte written to either volume.
import harness
import steps
import texts


def scenario():
    with harness.session("disk") as s:
        # Drives are taken from A to Z, so x: would be written first and is
        # the one sampled while the run lasts.
        volumes = [s.add_volume("x", 128), s.add_volume("y", 64)]
        volumes[0].write_file("keep.bin", bytes(1000))
        volumes[1].write_file("keep.txt", b"y\n")
        steps.expect_nothing_done(s, "0:", ["Return"], texts.confirm_disk("0"), volumes)
        steps.expect_nothing_done(s, "0:", ["Escape"], texts.confirm_disk("0"), volumes)
        steps.expect_nothing_done(s, "7:xyz", ["Return"], texts.confirm_disk("7"), volumes)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
