#!/usr/bin/env python3
# Scenario: voidfill.exe is started with no argument, two arguments, an empty argument, C, CC, #:, -: and 12:.
# Expect: each time the banner and the usage line and nothing else, no window, no volume touched, exit status 0.
import harness
import texts

CASES = [
    (),
    ("x:", "y:"),
    ("",),
    ("C",),
    ("CC",),
    ("#:",),
    ("-:",),
    ("12:",),
]


def scenario():
    with harness.session("usage") as s:
        # A volume that a wrongly accepted argument could reach.
        volume = s.add_volume("x", 64)
        volume.write_file("keep.txt", b"not to be touched\n")
        before = volume.snapshot()
        free_before = volume.free()
        for args in CASES:
            what = "arguments %r" % (args,)
            result = s.run(*args, timeout=60)
            s.expect_equal(result.status, 0, what + ": exit status")
            s.expect_equal(result.text, texts.USAGE_RUN, what + ": console")
            s.expect_equal(result.boxes, [], what + ": message boxes")
        s.expect_equal(volume.snapshot(), before, "volume contents")
        s.expect_equal(volume.free(), free_before, "volume free bytes")
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
