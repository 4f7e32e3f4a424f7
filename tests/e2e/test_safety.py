#!/usr/bin/env python3
# Scenario: the harness's mapping check is shown a prefix with Z: -> /, a letter on a folder of the real disk, a scratch volume unmounted behind its letter, a link out of drive_c, a registry drive entry, and asked to adopt / and a plain folder or to mount an oversized tmpfs.
# Expect: every one refused before the program could be started, the check passing again once the fault is undone, and the session unmounting everything at its end.
import os

import harness
import scratch


def refused(s, what, action):
    try:
        action()
    except harness.HarnessError as error:
        s.log("%s: refused (%s)" % (what, error))
        return True
    s.expect(False, "%s: not refused" % what)
    return False


def scenario():
    with harness.session("safety") as s:
        volume = s.add_volume("x", 16)
        dosdevices = os.path.join(s.prefix, "dosdevices")
        s.verify_mappings()

        z = os.path.join(dosdevices, "z:")
        os.symlink("/", z)
        refused(s, "Z: -> /", s.verify_mappings)
        os.remove(z)
        s.verify_mappings()

        on_disk = os.path.join(s.workdir, "not-a-volume")
        os.makedirs(on_disk, exist_ok=True)
        w = os.path.join(dosdevices, "w:")
        os.symlink(on_disk, w)
        refused(s, "W: -> a folder on the disk", s.verify_mappings)
        os.remove(w)
        s.verify_mappings()

        # The letter stays, the tmpfs behind it goes: X: would now lead to
        # the folder on the disk under the mount point.
        scratch.run(["umount", volume.mountpoint])
        refused(s, "X: after its tmpfs was unmounted", s.verify_mappings)
        refused(s, "starting the program then", lambda: s.start("x:"))
        scratch.run(["mount", "-t", "tmpfs", "-o", "size=%d" % (16 * harness.MIB),
                     "voidfill-e2e", volume.mountpoint])
        s.verify_mappings()

        desktop = os.path.join(s.drive_c, "users", "leak")
        os.symlink("/root", desktop)
        refused(s, "a link from drive_c to /root", s.verify_mappings)
        os.remove(desktop)
        s.verify_mappings()

        hive = os.path.join(s.prefix, "system.reg")
        with open(hive, "rb") as f:
            original = f.read()
        with open(hive, "ab") as f:
            f.write(b'\n[Software\\\\Wine\\\\Drives] 1\n"d:"="hd"\n\n')
        refused(s, "a registry entry for D:", s.verify_mappings)
        with open(hive, "wb") as f:
            f.write(original)
        s.verify_mappings()

        refused(s, "adopting /", lambda: s.adopt_volume("e", "/"))
        refused(s, "adopting a plain folder", lambda: s.adopt_volume("e", on_disk))
        refused(s, "a 16 GiB tmpfs", lambda: s.add_volume("f", 16 * 1024))
        os.rmdir(on_disk)

        # After all that, a real run still works.
        result = s.run("C")
        s.expect_equal(result.status, 0, "a run after the checks: exit status")
        mount_points = [p for p, _, _ in scratch.mounts() if p.startswith(s.folder + "/")]
        s.expect(len(mount_points) >= 2, "the session's mounts are there while it is open")
    left = [p for p, _, _ in scratch.mounts() if p.startswith(s.folder + "/")]
    s.expect_equal(left, [], "mounts left after the session")
    return s.failures


if __name__ == "__main__":
    harness.main(scenario)
