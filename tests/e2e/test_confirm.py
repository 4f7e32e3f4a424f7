#!/usr/bin/env python3
# Scenario: the drive confirmation is declined (Escape; the Cancel button; X:\anything) and accepted for x: on a 64 MiB tmpfs, then accepted for q:, a letter with no volume.
# Expect: declined: banner, empty line, END, no progress window, not one byte written; accepted: the report line with statvfs's grouped counts, a run that ends by itself, END; q: the -1/-1 line, the file-system error box, END.
import harness
import steps
import texts


def accepted(s, volume):
    what = "x: accepted"
    before = volume.snapshot()
    free, total = volume.free(), volume.total()
    run = s.start("x:")
    box = run.wait_window()
    s.expect_equal(run.boxes, [texts.confirm_drive("x")], what + ": confirmation text")
    run.press(box, "Return")
    dialog = run.wait_window(exclude={box})
    result = run.wait(timeout=120)
    s.expect_equal(result.status, 0, what + ": exit status")
    s.expect_equal(result.text, texts.drive_run("x:", free, total), what + ": console")
    s.expect_equal(result.boxes, [texts.confirm_drive("x")], what + ": message boxes")
    s.expect_equal(run.seen_windows, [box, dialog], what + ": windows")
    s.expect_equal(volume.snapshot(), before, what + ": volume contents afterwards")
    s.expect_equal(volume.free(), free, what + ": free bytes afterwards")


def no_volume(s):
    what = "q: (no volume) accepted"
    run = s.start("q:")
    box = run.wait_window()
    run.press(box, "Return")
    dialog = run.wait_window(exclude={box})
    error = run.wait_window(exclude={box, dialog})
    run.screenshot(error, "q-file-system-error.png")
    run.press(error, "Return")
    result = run.wait(timeout=60)
    s.expect_equal(result.status, 0, what + ": exit status")
    s.expect_equal(result.text, texts.drive_run("q:", -1, -1), what + ": console")
    s.expect_equal(result.boxes, [texts.confirm_drive("q"), texts.file_system_error("Error", "q:\\")],
                   what + ": message boxes")
    s.expect_equal(run.seen_windows, [box, dialog, error], what + ": windows")


def scenario():
    with harness.session("confirm") as s:
        volume = s.add_volume("x", 64)
        volume.write_file("keep.bin", bytes(range(256)) * 400)
        volume.write_file("folder/note.txt", "メモ\n".encode("utf-8"))
        # The Escape key and the box's Cancel button (Tab moves the focus
        # from OK to it) both decline.
        steps.expect_nothing_done(s, "x:", ["Escape"], texts.confirm_drive("x"), [volume])
        steps.expect_nothing_done(s, "x:", ["Tab", "space"], texts.confirm_drive("x"), [volume])
        # Only the first two characters count; the letter keeps its case.
        steps.expect_nothing_done(s, "X:\\anything", ["Escape"], texts.confirm_drive("X"),
                                  [volume])
        accepted(s, volume)
        no_volume(s)
        return s.failures


if __name__ == "__main__":
    harness.main(scenario)
