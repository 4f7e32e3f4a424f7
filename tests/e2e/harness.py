"""End-to-end harness: the real voidfill.exe under Wine, headless, on scratch volumes.

The program fills disks, so this harness never lets it see one of this
machine's disks:

* The Wine prefix (drive C:) is copied from a template into a size-limited
  tmpfs that the session mounts itself; HOME points into that tmpfs too.
* The prefix's Z: mapping and every other dosdevices entry are removed; only
  scratch volumes get drive letters: a tmpfs the session mounted itself, a
  FAT image on such a tmpfs served by fusefat, or a mount the scenario made
  and handed over with ``adopt_volume`` (a tmpfs, or an image file on a
  tmpfs or fully allocated, so that filling it takes no disk space).
* ``Session.verify_mappings()`` checks all of this (every dosdevices entry,
  every symbolic link under drive_c, the drive keys of the registry) before a
  run starts, before every key press and after every run, and refuses to go
  on otherwise. Serial and parallel port entries (com1, lpt1) that Wine adds
  by itself are accepted only while they name a character device.
* Every mount is undone when the session ends, also on an exception, a
  signal (SIGTERM, SIGINT, SIGHUP) or interpreter exit; a later session in the
  same folder first sweeps whatever a killed one left behind.

Requires root (mount), wine64 (and wine32 for the i686 exe), Xvfb, xdotool
and ImageMagick's import.

Wine's loaders are started directly, never through the ``wine`` command,
which picks the 32-bit loader whenever wine32 is installed: the x86_64 exe
and every Wine command (wineboot, reg, wineserver) run with the 64-bit
loader, so they work on a kernel that refuses 32-bit programs. Whether the
32-bit loader starts is tried once; where it does not, or where
VOIDFILL_E2E_NO_WIN32=1 is set, an i686 session raises ``Skipped`` before
anything is mounted, and ``main`` exits with SKIP_STATUS (77).

API
---
``parse_args(description)`` -> argparse namespace with ``exe`` (path of
    voidfill.exe), ``arch`` (i686 or x86_64) and ``workdir`` (default
    build/host/e2e under the repository).

``template_ready(workdir, arch)`` -> whether a session of arch in workdir
    finds its template prefix made already (the first one makes it: a minute
    or more).

``win32_problem()`` -> None where the 32-bit loader runs a Windows program,
    else the reason why not (also printed by ``python3 harness.py --win32-problem``).

``i386_emulator()`` -> the emulator that binfmt_misc runs 32-bit programs
    with, or None; ``Session.emulator`` is that for an i686 session.
    ``without_emulator_exit_crash(text)`` -> console text without the lines
    that qemu-user's occasional crash of a 32-bit Wine process at exit adds.

``Session(name, args)``, a context manager; ``session(name)`` builds one
from the command line. Entering it mounts the prefix tmpfs, copies the
template prefix (made once per workdir with wineboot and reused), starts
Xvfb and copies the exe to C:\\voidfill.exe. Leaving it ends Wine and Xvfb and
unmounts everything.

  ``add_volume(letter, size)`` -> Volume: mounts a tmpfs of ``size`` bytes and
      maps it to the letter (before ``start``).
  ``add_fat_volume(letter, size, fat_bits)`` -> Volume: a FAT image of
      ``size`` bytes (mkfs.vfat -F 16 or 32) on its own tmpfs, attached to a
      loop device, served by fusefat and mapped; ``dosdevices/x::`` names the
      loop device, where Wine reads the boot sector that tells FAT from
      FAT32. The sweep ends fusefat and detaches the loop device.
  ``adopt_volume(letter, mount_point)`` -> Volume: maps a mount the scenario
      made itself; accepted only for a tmpfs, or a file system kept in an
      image file that lies on a tmpfs or is fully allocated (not sparse),
      at most 8 GiB. The scenario unmounts it (after the session has ended
      Wine).
  ``start(*args, preexec=None, beside=False)`` -> Run: kills the previous
      wineserver (``wineserver -k``, ``wineserver -w``), starts a fresh one
      with Wine's services (``wine64 wineboot``, its output in
      artifacts/wine-boot-NN.log), checks the mappings and starts
      ``<loader> C:\\voidfill.exe args`` on a pseudo-terminal, with the
      loader of the exe's architecture; started again (at most 3 times) when
      Wine's loader fails before the program runs. ``beside=True`` keeps the
      wineserver, so that the run shares it with the runs still going, as
      when a user starts the program twice. ``preexec`` runs in the child
      before the loader starts (subprocess's preexec_fn), to give the
      program a resource limit.
  ``run(*args, timeout)`` -> Result: ``start`` and ``wait`` for runs that
      show no window.
  ``verify_mappings()``: the safety check above; raises UnsafeMapping.
  ``artifact(name)`` -> path under workdir/artifacts/<name>-<arch>/ for
      screenshots and logs.
  ``expect(condition, message)``, ``expect_equal(actual, expected, what)``:
      record a failed check and go on; ``failures`` lists them. ``main``
      turns them into the exit status.
  ``log(message)``: a time-stamped line on standard output.

``Run``, one process of the program:
  ``windows()`` -> visible windows titled with the banner (message boxes and
      the progress window share that title), as X window ids.
  ``seen_windows`` -> every such window seen so far, in order (a watcher
      polls every 20 ms).
  ``wait_window(timeout, exclude=())`` -> the first window seen that is not
      in ``exclude`` and still visible (or, once the program has ended, the
      first such window seen at all).
  ``wait_gone(window, timeout)``: until the window is no longer visible.
  ``press(window, *keys)``: ``xdotool windowfocus --sync`` and ``key``
      (names such as Return, Escape).
  ``boxes`` -> texts of the message boxes shown so far, in order (Wine's
      msgbox trace, taken out of the console stream).
  ``screenshot(window, filename)`` -> path of a PNG under the artifacts.
  ``interrupt(how)``: Ctrl+C. ``"tty"`` writes the ETX byte to the terminal,
      as a key press in a terminal window would; ``"signal"`` sends SIGINT
      to the program's own Unix process.
  ``pause()``, ``resume()``: SIGSTOP and SIGCONT to the program, to take a
      screenshot of a window that would close within milliseconds; pause()
      is False when the program has already ended.
  ``exe_pid()`` -> Unix process id of voidfill.exe (Wine starts it through
      start.exe, a separate process in the same process group).
  ``output`` -> console text so far (escape codes removed, line ends \\n).
  ``wait(timeout)`` -> Result; on a time-out the open windows are saved as
      screenshots and the program is killed.

``Result``: ``status`` (exit status), ``text`` (console text), ``boxes``
(message box texts in order), ``diagnostics`` (Wine's error lines, also
logged), ``raw`` (bytes as the terminal received them).

``Volume``: ``letter``, ``path`` (mount point), ``free()``, ``total()``
(statvfs: f_bavail * f_frsize and f_blocks * f_frsize), ``write_file(name,
data)``, ``snapshot()`` -> {relative path: sha256 hex, or "<dir>"},
``names()`` -> sorted relative paths.

``FreeSpaceSampler(volume, interval=0)``, a context manager: a thread that
calls statvfs in a tight loop (or every interval seconds); ``minimum``,
``first``, ``samples``, ``timeline`` (time.monotonic() and free bytes at
every change), ``error`` (an OSError that ended the sampling early).

``main(function)``: runs a scenario, prints its failures and exits non-zero
when there are any, or SKIP_STATUS when it raised ``Skipped``.
"""

import argparse
import atexit
import fcntl
import functools
import glob
import os
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

from scratch import MIB, REPO_ROOT, sha256_file
from texts import BANNER

EXE_NAME = "voidfill.exe"

# Bump when the way the template prefix is made changes.
TEMPLATE_VERSION = "1"

# Room for what Wine writes into C: while the program runs.
PREFIX_HEADROOM = 256 * MIB
# No scratch volume may be larger than this: a mistaken size is refused
# instead of eating the machine's memory.
MAX_VOLUME_BYTES = 8 * 1024 * MIB

_T0 = time.monotonic()


def log(message):
    print("[%7.3f] %s" % (time.monotonic() - _T0, message), flush=True)


class HarnessError(Exception):
    pass


class UnsafeMapping(HarnessError):
    pass


class Skipped(HarnessError):
    """This host cannot run the scenario at all; main() reports it as skipped."""


def parse_args(description=None):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--exe", required=True, help="path of voidfill.exe")
    parser.add_argument("--arch", required=True, choices=["i686", "x86_64"])
    parser.add_argument("--workdir", default=os.path.join(REPO_ROOT, "build", "host", "e2e"),
                        help="folder for the template prefix, mounts and artifacts")
    return parser.parse_args()


def session(name, description=None):
    return Session(name, parse_args(description))


def main(function):
    """Runs a scenario (a function returning its failed checks) and exits
    with its verdict."""
    try:
        failures = function()
    except Skipped as reason:
        log("SKIPPED: %s" % reason)
        sys.exit(SKIP_STATUS)
    except Exception as error:  # the scenario's own failure, reported once
        import traceback
        traceback.print_exc()
        log("FAILED: %s" % error)
        sys.exit(1)
    if failures:
        for failure in failures:
            log("FAILED: %s" % failure)
        sys.exit(1)
    log("passed")
    sys.exit(0)


# --- small helpers -------------------------------------------------------------

def _command(argv, env=None, timeout=60, check=True, cwd=None):
    completed = subprocess.run(argv, env=env, cwd=cwd, timeout=timeout,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    if check and completed.returncode != 0:
        raise HarnessError("%s failed (%d): %s" % (" ".join(argv), completed.returncode,
                                                   completed.stdout.decode(errors="replace")))
    return completed


# --- Wine's loaders -------------------------------------------------------------
#
# The "wine" command starts the 32-bit loader whenever wine32 is installed,
# and a kernel without 32-bit support refuses it ("Exec format error"). So
# the harness starts the loader of each architecture itself, and every other
# Wine command with the 64-bit one.

# Set to 1, the harness acts as if this host could not start the 32-bit
# loader, so that the 64-bit-only path can be tested on any host.
NO_WIN32_SWITCH = "VOIDFILL_E2E_NO_WIN32"
# An i686 scenario exits with this status where the 32-bit loader cannot run;
# tests/e2e/CMakeLists.txt gives CTest the same number (SKIP_RETURN_CODE).
SKIP_STATUS = 77
ELF32, ELF64 = 1, 2


def _elf_class(path):
    """ELF32 or ELF64 for an executable ELF file; None for anything else,
    such as the shell script wrappers Debian puts in front of the loaders."""
    try:
        with open(path, "rb") as f:
            head = f.read(5)
    except OSError:
        return None
    if head[:4] != b"\x7fELF" or not os.access(path, os.X_OK):
        return None
    return head[4]


def _wine_binary(names, elf_class):
    """The first of names that is an ELF executable of elf_class, in Debian's
    folder for Wine's binaries or beside the wine commands on PATH."""
    folders = ["/usr/lib/wine"]
    for command in ("wine64", "wine", "wineserver"):
        found = shutil.which(command)
        if found:
            folders.append(os.path.dirname(os.path.realpath(found)))
    for folder in folders:
        for name in names:
            path = os.path.join(folder, name)
            if _elf_class(path) == elf_class:
                return path
    return None


@functools.lru_cache(maxsize=None)
def wine_binaries():
    """(64-bit loader, 64-bit wineserver) that every Wine command runs with."""
    loader = _wine_binary(("wine64", "wine"), ELF64)
    server = _wine_binary(("wineserver64", "wineserver"), ELF64)
    if loader is None or server is None:
        raise HarnessError("Wine's 64-bit loader or wineserver is missing "
                           "(tools/bootstrap installs wine64)")
    return loader, server


def _builtin_folder(name):
    """Wine's folder of builtin Windows programs of one architecture
    (i386-windows), or None."""
    for folder in sorted(glob.glob("/usr/lib/*/wine/" + name)) + ["/usr/lib/wine/" + name,
                                                                   "/usr/local/lib/wine/" + name]:
        if os.path.isfile(os.path.join(folder, "cmd.exe")):
            return folder
    return None


# A 32-bit Windows program, really started. "--version" is not enough: it
# answers under an emulator that cannot start any program (qemu-user 7.2).
PROBE_STATUS = 7
PROBE_TIMEOUT = 30


@functools.lru_cache(maxsize=None)
def win32_problem():
    """None where Wine's 32-bit loader runs a Windows program on this host,
    otherwise why it does not; decided once, by trying it: 32-bit cmd.exe
    /c exit 7, in a throwaway prefix that has C: only and takes its 32-bit
    system folder from Wine's builtin programs."""
    if os.environ.get(NO_WIN32_SWITCH, "0") not in ("", "0"):
        return ("%s is set, so the harness acts as if this host could not start Wine's "
                "32-bit loader" % NO_WIN32_SWITCH)
    loader = _wine_binary(("wine",), ELF32)
    builtins = _builtin_folder("i386-windows")
    if loader is None or builtins is None:
        return "Wine's 32-bit loader is not installed (wine32:i386)"
    folder = tempfile.mkdtemp(prefix="voidfill-win32-probe-")
    prefix = os.path.join(folder, "prefix")
    windows = os.path.join(prefix, "drive_c", "windows")
    os.makedirs(windows)
    # An existing dosdevices keeps Wine from adding Z: (the root folder).
    os.makedirs(os.path.join(prefix, "dosdevices"))
    os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
    os.symlink(builtins, os.path.join(windows, "syswow64"))
    with open(os.path.join(prefix, ".update-timestamp"), "w") as f:
        f.write("disable")  # no wineboot
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": folder,
           "WINEPREFIX": prefix, "WINESERVER": wine_binaries()[1], "WINEDEBUG": "-all"}
    command = [loader, "cmd.exe", "/c", "exit", str(PROBE_STATUS)]
    try:
        done = subprocess.run(command, env=env, cwd=windows, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=PROBE_TIMEOUT)
        outcome = "status %d, %r" % (done.returncode,
                                     done.stdout.decode(errors="replace").strip()[-300:])
    except OSError as error:
        return "this host cannot start Wine's 32-bit loader (%s)" % error.strerror
    except subprocess.TimeoutExpired:
        done, outcome = None, "no end within %d s" % PROBE_TIMEOUT
    finally:
        subprocess.run([wine_binaries()[1], "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(folder, ignore_errors=True)
    if done is None or done.returncode != PROBE_STATUS:
        return ("Wine's 32-bit loader starts no Windows program on this host (%s: %s); "
                "where the kernel refuses 32-bit programs, tools/emulate-i386 install, "
                "then on, sets up an emulator" % (" ".join(command[1:]), outcome))
    return None


# binfmt_misc's match for 32-bit x86 programs, as tools/emulate-i386 and
# Debian's qemu packages register it.
I386_ELF_MAGIC = "7f454c4601010100000000000000000002000300"


def i386_emulator():
    """The program that binfmt_misc starts 32-bit x86 programs with (such as
    /usr/bin/qemu-i386), or None where the kernel runs them itself."""
    folder = "/proc/sys/fs/binfmt_misc"
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    for name in names:
        try:
            with open(os.path.join(folder, name)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        fields = dict(line.split(" ", 1) for line in lines if " " in line)
        if lines[:1] == ["enabled"] and fields.get("magic") == I386_ELF_MAGIC \
                and fields.get("offset", "0") == "0":
            return fields.get("interpreter")
    return None


# Under qemu-user a 32-bit Wine process sometimes crashes at exit in a
# thread that was ending on its own when the process ended: Wine's SIGQUIT
# finds it in a system call, and from there it faults over and over at an
# instruction pointer inside its own stack. No program code is on that
# thread any more (the same lines come from a program whose threads do
# nothing but end as it ends), and a kernel that runs 32-bit programs itself
# never shows them. These lines, after the program's last line, are all it
# leaves.
_EMULATOR_EXIT_CRASH = re.compile(
    r"(?:wine: Unhandled exception 0x00000000 in thread [0-9a-f]+ at address 00000000 "
    r"\(thread [0-9a-f]+\), starting debugger\.\.\.\n|Got unexpected trap -1\n)+\Z")


def without_emulator_exit_crash(text):
    """Console text without the lines of that crash at its end."""
    return _EMULATOR_EXIT_CRASH.sub("", text)


def loader_for(arch):
    """The loader that starts the exe of arch; raises Skipped for i686 where
    the 32-bit loader cannot run."""
    if arch == "x86_64":
        return wine_binaries()[0]
    problem = win32_problem()
    if problem:
        raise Skipped(problem)
    return _wine_binary(("wine",), ELF32)


def _unescape_mount_field(field):
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)


def mounts():
    """(mount point, fstype, source) of every mount of this process."""
    result = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, right = line.split(" - ", 1)
            mount_point = _unescape_mount_field(left.split()[4])
            fstype, source = right.split()[:2]
            result.append((mount_point, fstype, _unescape_mount_field(source)))
    return result


def _mount_of(path):
    """The mount (point, fstype, source) that holds path."""
    path = os.path.realpath(path)
    best = None
    for entry in mounts():
        point = entry[0]
        if path == point or path.startswith(point.rstrip("/") + "/") or point == "/":
            if best is None or len(point) >= len(best[0]):
                best = entry
    return best


def _mount_entry(point):
    """(mount point, fstype, source) of the mount whose point this is, or None."""
    point = os.path.realpath(point)
    found = None
    for entry in mounts():
        if entry[0] == point:
            found = entry  # the last one is the one on top
    return found


def _loop_backing_file(device):
    match = re.fullmatch(r"/dev/(loop[0-9]+)", device)
    if not match:
        return None
    try:
        with open("/sys/block/%s/loop/backing_file" % match.group(1)) as f:
            return f.read().strip()
    except OSError:
        return None


def _check_scratch_mount(point):
    """The fstype of a mount that may get a drive letter; raises otherwise."""
    entry = _mount_entry(point)
    if entry is None:
        raise UnsafeMapping("%s is not a mount point" % point)
    _, fstype, source = entry
    s = os.statvfs(point)
    if s.f_blocks * s.f_frsize > MAX_VOLUME_BYTES:
        raise UnsafeMapping("%s is larger than a scratch volume may be" % point)
    if fstype == "tmpfs":
        return fstype
    image = _loop_backing_file(source) or source
    if not (image.startswith("/") and os.path.isfile(image)):
        raise UnsafeMapping("%s (%s from %s) is not kept in an image file" % (point, fstype, source))
    holder = _mount_of(image)
    if holder[1] != "tmpfs":
        info = os.stat(image)
        if info.st_blocks * 512 < info.st_size:
            raise UnsafeMapping("the image %s of %s is sparse on %s: filling the volume would "
                                "take disk space; allocate it fully or keep it on a tmpfs"
                                % (image, point, holder[0]))
    return fstype


def _is_under(path, folder):
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return path == folder or path.startswith(folder + "/")


def _unmount(path):
    for attempt in range(20):
        if subprocess.run(["umount", path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return
        time.sleep(0.1)
    # Still busy: detach it; whatever holds it can only write into the same
    # size-limited file system.
    subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# Set for every process a session starts (Xvfb, Wine), so that a sweep finds
# them after the session itself was killed.
SESSION_MARK = "VOIDFILL_E2E_SESSION"


def _processes_of_sessions_under(folder):
    pids = []
    folder = os.path.realpath(folder)
    marks = (b"WINEPREFIX=", SESSION_MARK.encode() + b"=")
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        for item in environ:
            mark = next((m for m in marks if item.startswith(m)), None)
            if mark and _is_under(item[len(mark):].decode(errors="replace"), folder):
                pids.append(int(name))
                break
    return pids


def _unmount_under(folder, wanted):
    """Unmounts, deepest first, the mounts under folder whose fstype is wanted."""
    stale = [point for point, fstype, _ in mounts() if _is_under(point, folder) and wanted(fstype)]
    for point in sorted(stale, key=len, reverse=True):
        _unmount(point)


def _fat_drivers_under(folder):
    """Process ids of the fusefat processes that serve a mount point under
    folder; started in sessions of their own, they outlive a killed session."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                argv = f.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        if os.path.basename(argv[0]) == "fusefat" and \
                any(arg.startswith("/") and _is_under(arg, folder) for arg in argv[1:]):
            pids.append(int(name))
    return pids


def _end_fat_drivers(folder, timeout=10):
    """Gives fusefat time to write out its volume once it is unmounted,
    then kills whatever is still running."""
    deadline = time.monotonic() + timeout
    while _fat_drivers_under(folder) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in _fat_drivers_under(folder):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _detach_loops(folder):
    """Detaches the loop devices whose backing file lies under folder."""
    for name in os.listdir("/sys/block"):
        device = "/dev/" + name
        image = _loop_backing_file(device)
        if image and _is_under(image, folder):
            subprocess.run(["losetup", "-d", device], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)


def sweep(folder):
    """Ends the sessions' processes and undoes every mount and loop device
    under folder (deepest first)."""
    for pid in _processes_of_sessions_under(folder):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    folder = os.path.realpath(folder)
    # FUSE mounts first: a FAT volume's driver holds a loop device whose
    # image keeps its tmpfs busy until the device is detached.
    _unmount_under(folder, lambda fstype: fstype.startswith("fuse"))
    _end_fat_drivers(folder)
    _detach_loops(folder)
    _unmount_under(folder, lambda fstype: True)
    left = [point for point, _, _ in mounts() if _is_under(point, folder)]
    if left:
        raise HarnessError("cannot unmount %s" % left)


# Wine's own diagnostics: one line each on the process's standard error,
# which is the terminal. The message box channel names the text of every box
# in debugstr_w form.
_WINE_DEBUG_LINE = re.compile(rb"[0-9a-f]{4,8}:(?:err|warn|fixme|trace):[^\r\n]*\r*\n")
_MSGBOX_TRACE = re.compile(rb'^[0-9a-f]{4,8}:trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"')
# Now and then Wine's 32-bit loader finds the address of the shared user data
# taken and gives up before the program's first instruction. Nothing ran, so
# the run is started again, a few times at most.
_LOADER_FAILURE = re.compile(rb"[^\r\n]*wine: failed to map the shared user data[^\r\n]*")
LOADER_ATTEMPTS = 3
_DEBUGSTR_ESCAPE = re.compile(r"\\([0-9a-f]{4}|.)")


def _decode_debugstr(body):
    def replace(match):
        code = match.group(1)
        if len(code) == 4:
            return chr(int(code, 16))
        return {"n": "\n", "r": "\r", "t": "\t"}.get(code, code)
    return _DEBUGSTR_ESCAPE.sub(replace, body.decode("ascii", errors="replace"))


def split_terminal_output(raw):
    """(console bytes, message box texts, other Wine diagnostics) of a run."""
    boxes = []
    diagnostics = []
    for line in _WINE_DEBUG_LINE.findall(raw):
        box = _MSGBOX_TRACE.match(line)
        if box:
            boxes.append(_decode_debugstr(box.group(1)))
        else:
            diagnostics.append(line.rstrip(b"\r\n").decode("utf-8", errors="replace"))
    return _WINE_DEBUG_LINE.sub(b"", raw), boxes, diagnostics


_ESCAPE = re.compile(rb"\x1b(\[[0-?]*[ -/]*[@-~]|\][^\x07\x1b]*(\x07|\x1b\\)|[()][0-9A-Za-z]|[@-Z\\-_=>])")


def clean_terminal_text(raw):
    """The console text without terminal escape codes, with \\n line ends."""
    text = _ESCAPE.sub(b"", split_terminal_output(raw)[0])
    text = re.sub(rb"\r+\n", b"\n", text).replace(b"\r", b"")
    return text.decode("utf-8", errors="replace")


# --- volumes ---------------------------------------------------------------------

class Volume:
    def __init__(self, letter, path, fstype):
        self.letter = letter.lower()
        self.path = path
        self.fstype = fstype

    def _statvfs(self):
        return os.statvfs(self.path)

    def free(self):
        s = self._statvfs()
        return s.f_bavail * s.f_frsize

    def total(self):
        s = self._statvfs()
        return s.f_blocks * s.f_frsize

    def write_file(self, name, data):
        path = os.path.join(self.path, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        return path

    def names(self):
        result = []
        for folder, dirs, files in os.walk(self.path):
            for name in dirs + files:
                result.append(os.path.relpath(os.path.join(folder, name), self.path))
        return sorted(result)

    def snapshot(self):
        result = {}
        for name in self.names():
            path = os.path.join(self.path, name)
            result[name] = "<dir>" if os.path.isdir(path) else sha256_file(path)
        return result


class FreeSpaceSampler:
    """Samples a volume's free bytes on its own thread: in a tight loop by
    default, since the lowest point of a run lasts milliseconds; a benchmark
    passes an interval, to leave the CPU to what it measures."""

    def __init__(self, volume, interval=0):
        self.volume = volume
        self.interval = interval
        self.minimum = None
        self.first = None
        self.samples = 0
        self.timeline = []
        self.error = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)

    def _loop(self):
        statvfs = os.statvfs
        path = self.volume.path
        last = None
        while not self._stop.is_set():
            try:
                s = statvfs(path)
            except OSError as error:
                self.error = error
                return
            free = s.f_bavail * s.f_frsize
            self.samples += 1
            if free != last:
                self.timeline.append((time.monotonic(), free))
                last = free
                if self.minimum is None or free < self.minimum:
                    self.minimum = free
                if self.first is None:
                    self.first = free
            if self.interval:
                time.sleep(self.interval)

    def __enter__(self):
        self._thread.start()
        while self.first is None:
            if self.error is not None:
                raise HarnessError("cannot sample %s: %s" % (self.volume.path, self.error))
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        return False


# --- one process of the program ---------------------------------------------------

class Result:
    def __init__(self, status, raw):
        self.status = status
        self.raw = raw
        self.text = clean_terminal_text(raw)
        _, self.boxes, self.diagnostics = split_terminal_output(raw)

    def __repr__(self):
        return "Result(status=%r, text=%r, boxes=%r)" % (self.status, self.text, self.boxes)


class Run:
    POLL = 0.02

    def __init__(self, session, args, preexec=None, columns=120, rows=30):
        self.session = session
        self.args = list(args)
        self._raw = bytearray()
        self._raw_lock = threading.Lock()
        self._seen = []
        self._done = threading.Event()
        self._exe_pid = None
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self._master = master
        command = [session.loader, "C:\\" + EXE_NAME] + self.args
        session.log("run: %s" % " ".join(repr(a) if a == "" or " " in a else a for a in command))
        # A new session that owns the terminal, as in a terminal window, so
        # that Ctrl+C typed there reaches the program's process group.
        # setsid execs in place (the child leads no process group yet), so
        # the process id is also the session's and the group's.
        self.proc = subprocess.Popen(["setsid", "--ctty", "--wait"] + command,
                                     stdin=slave, stdout=slave, stderr=slave,
                                     cwd=session.drive_c, preexec_fn=preexec,
                                     env=dict(session.wine_env, WINELOADER=session.loader))
        os.close(slave)
        self.started = time.monotonic()
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()
        self._watcher = threading.Thread(target=self._watch_loop, daemon=True)
        self._watcher.start()

    def wait_started(self, timeout=20):
        """None once the program has printed its banner (or has ended, or is
        slow to start: the scenario's own checks judge that); otherwise the
        line of a Wine loader failure that ended the process before the
        program ran at all. Such a run is finished here."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._raw_lock:
                raw = bytes(self._raw)
            if BANNER.encode() in raw:
                return None
            if self.proc.poll() is not None:
                self._finish()
                with self._raw_lock:
                    raw = bytes(self._raw)
                failure = _LOADER_FAILURE.search(raw)
                return failure.group(0).decode(errors="replace").strip() if failure else None
            time.sleep(self.POLL)
        return None

    # console
    def _read_loop(self):
        while True:
            try:
                ready, _, _ = select.select([self._master], [], [], 0.1)
            except (OSError, ValueError):
                return
            if ready:
                try:
                    data = os.read(self._master, 65536)
                except OSError:
                    return
                if not data:
                    return
                with self._raw_lock:
                    self._raw += data
            elif self._done.is_set():
                return

    @property
    def output(self):
        with self._raw_lock:
            return clean_terminal_text(bytes(self._raw))

    @property
    def boxes(self):
        """Texts of the message boxes shown so far, in order."""
        with self._raw_lock:
            return split_terminal_output(bytes(self._raw))[1]

    # windows
    def _search(self):
        completed = subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                    "^%s$" % re.escape(BANNER)],
                                   env=self.session.x_env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        return [int(w) for w in completed.stdout.split()]

    def _watch_loop(self):
        while not self._done.is_set():
            for window in self._search():
                if window not in self._seen:
                    self._seen.append(window)
                    self.session.log("window 0x%x appeared" % window)
            time.sleep(self.POLL)

    def windows(self):
        return self._search()

    @property
    def seen_windows(self):
        return list(self._seen)

    def wait_window(self, timeout=30, exclude=()):
        deadline = time.monotonic() + timeout
        exclude = set(exclude)
        while time.monotonic() < deadline:
            visible = set(self._search())
            for window in self._seen:
                if window not in exclude and window in visible:
                    return window
            if self.proc.poll() is not None:
                # A window that opened and closed between two of these
                # searches, as a quick run's progress window can, was still
                # seen by the watcher.
                gone = [window for window in self._seen if window not in exclude]
                if gone:
                    return gone[0]
                with open(self.session.artifact("last-raw.bin"), "wb") as f:
                    f.write(bytes(self._raw))
                raise HarnessError("the program ended (status %s) before a window showed; "
                                   "console: %r; boxes: %r; wine: %r"
                                   % (self.proc.returncode, self.output, self.boxes,
                                      split_terminal_output(bytes(self._raw))[2]))
            time.sleep(self.POLL)
        raise HarnessError("no window titled %r within %ss; console: %r"
                           % (BANNER, timeout, self.output))

    def wait_gone(self, window, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if window not in self._search():
                return
            time.sleep(self.POLL)
        raise HarnessError("window 0x%x still open after %ss" % (window, timeout))

    def _xdotool(self, *argv):
        _command(["xdotool"] + [str(a) for a in argv], env=self.session.x_env, timeout=20)

    def press(self, window, *keys):
        self.session.verify_mappings()
        self.session.log("keys %s -> window 0x%x" % (" ".join(keys), window))
        self._xdotool("windowfocus", "--sync", window, "key", *keys)

    def screenshot(self, window, filename):
        # import falls back to asking for a mouse click when the window is
        # gone, so it must still be there.
        if window not in self._search():
            raise HarnessError("window 0x%x is gone; no screenshot %s" % (window, filename))
        path = self.session.artifact(filename)
        _command(["import", "-window", str(window), path], env=self.session.x_env, timeout=15)
        self.session.log("screenshot %s" % path)
        return path

    # process
    def exe_pid(self, timeout=10):
        if self._exe_pid is not None:
            return self._exe_pid
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for name in os.listdir("/proc"):
                if not name.isdigit():
                    continue
                try:
                    if os.getsid(int(name)) != self.proc.pid:
                        continue
                    # Not the command line: under an emulator it reads
                    # "qemu-i386 .../wine C:\\voidfill.exe" for start.exe too.
                    with open("/proc/%s/comm" % name) as f:
                        comm = f.read().strip()
                except OSError:
                    continue
                if comm.lower() == EXE_NAME:
                    self._exe_pid = int(name)
                    return self._exe_pid
            time.sleep(0.02)
        raise HarnessError("no Unix process of %s found" % EXE_NAME)

    def pause(self):
        """Stops the program (SIGSTOP), for example to take a screenshot of a
        window that would otherwise close within milliseconds. False when
        the program has ended already."""
        try:
            os.kill(self.exe_pid(), signal.SIGSTOP)
        except ProcessLookupError:
            return False
        return True

    def resume(self):
        try:
            os.kill(self.exe_pid(), signal.SIGCONT)
        except ProcessLookupError:
            pass

    def interrupt(self, how="tty"):
        if how == "tty":
            self.session.log("Ctrl+C typed on the terminal")
            os.write(self._master, b"\x03")
        elif how == "signal":
            pid = self.exe_pid()
            self.session.log("SIGINT to %s (pid %d)" % (EXE_NAME, pid))
            os.kill(pid, signal.SIGINT)
        else:
            raise ValueError(how)

    def wait(self, timeout=60):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            for window in self._search():
                try:
                    self.screenshot(window, "timeout-0x%x.png" % window)
                except HarnessError:
                    pass
            self.kill()
            raise HarnessError("the program did not end within %ss; windows %s; console: %r"
                               % (timeout, [hex(w) for w in self._search()], self.output))
        finally:
            self._finish()
        result = Result(status, bytes(self._raw))
        for line in result.diagnostics:
            self.session.log("wine: %s" % line)
        self.session.log("ended: status %d after %.2fs, console %r"
                         % (status, time.monotonic() - self.started, result.text))
        self.session.verify_mappings()
        return result

    def _finish(self):
        # Once only: wait_started may have finished the run already, and a
        # second close could hit a descriptor opened since under that number.
        if self._done.is_set():
            return
        # Conhost may still be flushing when the program has ended.
        time.sleep(0.1)
        self._done.set()
        self._reader.join(2)
        self._watcher.join(2)
        try:
            os.close(self._master)
        except OSError:
            pass
        self.session._runs.discard(self)

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass


# --- the session ----------------------------------------------------------------------

class Session:
    def __init__(self, name, args):
        # Before anything is mounted: an i686 scenario is skipped here where
        # the 32-bit loader cannot run.
        self.loader = loader_for(args.arch)
        self.emulator = i386_emulator() if args.arch == "i686" else None
        self.wine64, self.wineserver = wine_binaries()
        if os.geteuid() != 0:
            raise HarnessError("the e2e tests mount file systems and need root")
        self.name = name
        self.arch = args.arch
        self.exe = os.path.abspath(args.exe)
        self.workdir = os.path.abspath(args.workdir)
        self.folder = os.path.join(self.workdir, "run", "%s-%s" % (name, args.arch))
        self.artifacts = os.path.join(self.workdir, "artifacts", "%s-%s" % (name, args.arch))
        self.prefix_mount = os.path.join(self.folder, "c")
        self.prefix = os.path.join(self.prefix_mount, "prefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.home = os.path.join(self.prefix_mount, "home")
        self.volumes = {}
        self.failures = []
        self._own_mounts = {}  # mount point -> fstype
        self._adopted = {}  # mount point -> fstype, mounted by the scenario
        self._fat_devices = {}  # letter -> (loop device, image) of a FAT volume
        self._xvfb = None
        self._runs = set()
        self._boots = 0
        self._closed = False
        self._old_handlers = {}
        self.x_env = None
        self.wine_env = None

    def log(self, message):
        log(message)

    # checks
    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
            self.log("check failed: %s" % message)
        return condition

    def expect_equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))

    def artifact(self, filename):
        os.makedirs(self.artifacts, exist_ok=True)
        return os.path.join(self.artifacts, filename)

    # lifecycle
    def __enter__(self):
        for tool in ("Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                raise HarnessError("%s is missing (tools/bootstrap installs it)" % tool)
        if not os.path.isfile(self.exe):
            raise HarnessError("%s does not exist: build the mingw-%s preset first"
                               % (self.exe, self.arch))
        atexit.register(self.close)
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            self._old_handlers[signum] = signal.signal(signum, self._on_signal)
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _on_signal(self, signum, frame):
        raise SystemExit(128 + signum)

    def _open(self):
        os.makedirs(self.folder, exist_ok=True)
        sweep(self.folder)
        for entry in os.listdir(self.folder):
            shutil.rmtree(os.path.join(self.folder, entry), ignore_errors=True)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        if self.emulator:
            self.log("32-bit programs run under %s" % self.emulator)
        locpath = self._ensure_locale()
        self._start_xvfb()
        self.wine_env = self._make_wine_env(self.prefix, self.home, locpath)
        template = self._ensure_template(locpath)
        size = _tree_size(template) + PREFIX_HEADROOM
        self._mount_tmpfs(self.prefix_mount, size)
        started = time.monotonic()
        _command(["cp", "-a", template, self.prefix], timeout=300)
        os.makedirs(self.home)
        shutil.copyfile(self.exe, os.path.join(self.drive_c, EXE_NAME))
        self.log("prefix copied to a %d MiB tmpfs in %.2fs"
                 % (size // MIB, time.monotonic() - started))
        self._strip_mappings()
        self.verify_mappings()

    def close(self):
        if self._closed:
            return
        self._closed = True
        # A second signal must not cut the clean-up short.
        for signum in self._old_handlers:
            signal.signal(signum, signal.SIG_IGN)
        try:
            for run in list(self._runs):
                run.kill()
            if self.wine_env is not None and os.path.isdir(self.prefix):
                subprocess.run([self.wineserver, "-k"], env=self.wine_env, timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self._xvfb is not None:
                self._xvfb.terminate()
                try:
                    self._xvfb.wait(10)
                except subprocess.TimeoutExpired:
                    self._xvfb.kill()
            sweep(self.folder)
        finally:
            for signum, handler in self._old_handlers.items():
                signal.signal(signum, handler)
        self.log("session closed, everything unmounted")

    # environment
    def _ensure_locale(self):
        """LOCPATH for ja_JP.UTF-8, or None when the system has the locale."""
        listed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL).stdout.decode(errors="replace")
        if any(l.strip().lower().replace("-", "") == "ja_jp.utf8" for l in listed.split()):
            return None
        locpath = os.path.join(self.workdir, "locale")
        target = os.path.join(locpath, "ja_JP.UTF-8")
        with _file_lock(os.path.join(self.workdir, "locale.lock")):
            if not os.path.isfile(os.path.join(target, "LC_CTYPE")):
                self.log("compiling the ja_JP.UTF-8 locale into %s" % locpath)
                os.makedirs(locpath, exist_ok=True)
                _command(["localedef", "-i", "ja_JP", "-f", "UTF-8", target], timeout=120,
                         check=False)
                if not os.path.isfile(os.path.join(target, "LC_CTYPE")):
                    raise HarnessError("localedef could not build ja_JP.UTF-8")
        return locpath

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        # -noreset: by default the server resets whenever its last client
        # leaves (each xdotool call), and a client connecting meanwhile,
        # such as Wine, is refused.
        self._xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                       "1024x768x24", "-nolisten", "tcp", "-noreset"],
                                      pass_fds=[write_end], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, start_new_session=True,
                                      env=dict(os.environ, **{SESSION_MARK: self.folder}))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 1)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip():
            raise HarnessError("Xvfb did not start")
        display = ":" + number.decode().strip()
        self.x_env = dict(os.environ, DISPLAY=display)
        self.log("Xvfb on %s" % display)

    def _make_wine_env(self, prefix, home, locpath):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "USER": os.environ.get("USER", "root"),
            "LANG": "ja_JP.UTF-8",
            "LC_ALL": "ja_JP.UTF-8",
            "TERM": "xterm",
            "DISPLAY": self.x_env["DISPLAY"],
            "WINEPREFIX": prefix,
            "WINEARCH": "win64",
            # Every Wine command runs with the 64-bit loader and server, which
            # start 32-bit processes through the 32-bit loader where it can.
            "WINELOADER": self.wine64,
            "WINESERVER": self.wineserver,
            # Errors, and the message box channel, which names the text of
            # every box the program shows; the harness takes both out of the
            # console stream (Run.boxes, Result.diagnostics).
            "WINEDEBUG": "-all,err+all,+msgbox",
            # No prompts to install Mono or Gecko.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            SESSION_MARK: self.folder,
        }
        if locpath:
            env["LOCPATH"] = locpath
        return env

    def _ensure_template(self, locpath):
        template = os.path.join(self.workdir, "template")
        key = _template_key()
        with _file_lock(os.path.join(self.workdir, "template.lock")):
            if template_ready(self.workdir, self.arch):
                return template
            self.log("creating the template prefix (%s), once per build folder"
                     % key.split(" ", 1)[1].strip())
            started = time.monotonic()
            fresh = template + ".new"
            home = os.path.join(self.workdir, "template-home")
            for folder in (fresh, home):
                shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(home)
            env = self._make_wine_env(fresh, home, locpath)
            _command([self.wine64, "wineboot", "-i"], env=env, timeout=600, cwd=self.workdir)
            # Without a window manager, Wine's own window management costs
            # seconds per closed window.
            _command([self.wine64, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver",
                      "/v", "Managed", "/d", "N", "/f"], env=env, timeout=120, cwd=self.workdir)
            _command([self.wineserver, "-w"], env=env, timeout=120)
            # Only C: stays; the user folders must not lead out of the prefix.
            dosdevices = os.path.join(fresh, "dosdevices")
            for entry in os.listdir(dosdevices):
                if entry != "c:":
                    os.remove(os.path.join(dosdevices, entry))
            for folder, dirs, files in os.walk(os.path.join(fresh, "drive_c")):
                for entry in dirs + files:
                    path = os.path.join(folder, entry)
                    if os.path.islink(path):
                        os.remove(path)
                        os.makedirs(path)
            shutil.rmtree(home, ignore_errors=True)
            with open(os.path.join(fresh, ".voidfill-template"), "w") as f:
                f.write(key)
            shutil.rmtree(template, ignore_errors=True)
            os.rename(fresh, template)
            self.log("template prefix ready in %.1fs" % (time.monotonic() - started))
        return template

    # mounts
    def _mount_tmpfs(self, path, size):
        if size > MAX_VOLUME_BYTES:
            raise HarnessError("refusing a tmpfs of %d bytes" % size)
        os.makedirs(path, exist_ok=True)
        if _mount_of(path)[0] == os.path.realpath(path):
            raise HarnessError("%s is already a mount point" % path)
        _command(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size,
                  "voidfill-e2e", path])
        self._own_mounts[os.path.realpath(path)] = "tmpfs"

    def add_volume(self, letter, size):
        letter = letter.lower()
        self._check_letter(letter)
        path = os.path.join(self.folder, "vol-" + letter)
        self._mount_tmpfs(path, size)
        return self._map(letter, path, "tmpfs")

    def add_fat_volume(self, letter, size, fat_bits=32):
        """A FAT image as a Windows drive with a device behind it: the kernel
        may have no vfat driver, so fusefat serves the volume, and Wine tells
        FAT from FAT32 by the boot sector it reads through dosdevices/x::,
        a loop device on the image. The sweep ends fusefat (found by its
        mount point) and detaches the loop device (by its image)."""
        letter = letter.lower()
        self._check_letter(letter)
        holder = os.path.join(self.folder, "img-" + letter)
        self._mount_tmpfs(holder, size + 16 * MIB)
        image = os.path.join(holder, "volume.img")
        with open(image, "wb") as f:
            f.truncate(size)
        # Clusters of 4 KiB: Wine reports free and total space in 4 KiB units,
        # so that what the program sees matches the volume to the byte. No
        # label: fusefat would list its directory entry as a file.
        _command(["mkfs.vfat", "-F", str(fat_bits), "-S", "512", "-s", "8", image], timeout=120)
        device = _command(["losetup", "-f", "--show", image]).stdout.decode().strip()
        self._fat_devices[letter] = (device, image)
        path = os.path.join(self.folder, "vol-" + letter)
        os.makedirs(path, exist_ok=True)
        # In the foreground, a session of its own: a Ctrl+C meant for the
        # scenario must not end it while Wine still writes to the volume.
        # big_writes: with 4 KiB writes fusefat manages some 10 MB/s.
        with open(self.artifact("fusefat-%s.log" % letter), "ab") as driver_log:
            driver = subprocess.Popen(["fusefat", "-f", "-o", "rw+,big_writes", device, path],
                                      stdin=subprocess.DEVNULL, stdout=driver_log,
                                      stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 20
        while (_mount_entry(path) or (None, ""))[1] != "fuse.fusefat":
            if driver.poll() is not None or time.monotonic() > deadline:
                raise HarnessError("fusefat did not mount %s; see %s"
                                   % (device, self.artifact("fusefat-%s.log" % letter)))
            time.sleep(0.05)
        self._own_mounts[os.path.realpath(path)] = "fuse.fusefat"
        os.symlink(device, os.path.join(self.prefix, "dosdevices", letter + "::"))
        return self._map(letter, path, "fuse.fusefat")

    def _check_fat_device(self, entry, target):
        """dosdevices/x:: may only name the loop device of this session's FAT
        volume x:, still backed by its image on the session's own tmpfs."""
        device, image = self._fat_devices.get(entry[0], (None, None))
        if device is None or target != os.path.realpath(device):
            raise UnsafeMapping("%s names %s, not a FAT volume of this session" % (entry, target))
        if not stat.S_ISBLK(os.stat(target).st_mode) or _loop_backing_file(target) != image:
            raise UnsafeMapping("%s: %s is no longer the loop device of %s" % (entry, target, image))
        holder = _mount_of(image)[0]
        if self._own_mounts.get(holder) != "tmpfs" or not os.path.isfile(image):
            raise UnsafeMapping("%s: the image %s is not on a tmpfs of this session"
                                % (entry, image))

    def adopt_volume(self, letter, mount_point):
        """Maps a scratch mount that the scenario made itself (an ext4 image
        on a loop device, ntfs-3g started with its own options). Accepted
        only while it is a tmpfs, or a file system in an image file that
        lies on a tmpfs or is fully allocated (no sparse holes), so that
        filling it cannot take any more of the machine's disks."""
        letter = letter.lower()
        self._check_letter(letter)
        point = os.path.realpath(mount_point)
        fstype = _check_scratch_mount(point)
        self._adopted[point] = fstype
        return self._map(letter, point, fstype)

    def _check_letter(self, letter):
        if not re.fullmatch(r"[a-z]", letter) or letter == "c" or letter in self.volumes:
            raise HarnessError("drive letter %r is not free" % letter)

    def _map(self, letter, path, fstype):
        os.symlink(path, os.path.join(self.prefix, "dosdevices", letter + ":"))
        volume = Volume(letter, path, fstype)
        self.volumes[letter] = volume
        self.log("volume %s: -> %s (%s, %d bytes)" % (letter, path, fstype, volume.total()))
        self.verify_mappings()
        return volume

    def _strip_mappings(self):
        dosdevices = os.path.join(self.prefix, "dosdevices")
        mapped = {letter + ":" for letter in self.volumes} | {"c:"}
        mapped |= {letter + "::" for letter in self._fat_devices}
        for entry in os.listdir(dosdevices):
            if entry not in mapped:
                os.remove(os.path.join(dosdevices, entry))

    def verify_mappings(self):
        """Refuses unless every way out of the prefix leads to a scratch mount."""
        table = {point: fstype for point, fstype, _ in mounts()}
        prefix_real = os.path.realpath(self.prefix_mount)
        if table.get(prefix_real) != "tmpfs" or self._own_mounts.get(prefix_real) != "tmpfs":
            raise UnsafeMapping("the prefix is not on the session's tmpfs")
        if _mount_of(self.drive_c)[0] != prefix_real:
            raise UnsafeMapping("drive_c is not on the prefix tmpfs")
        for point, fstype in self._own_mounts.items():
            if table.get(point) != fstype:
                raise UnsafeMapping("%s is no longer a %s mount" % (point, fstype))
            s = os.statvfs(point)
            if s.f_blocks * s.f_frsize > MAX_VOLUME_BYTES:
                raise UnsafeMapping("%s is not size-limited" % point)
        dosdevices = os.path.join(self.prefix, "dosdevices")
        if _mount_of(dosdevices)[0] != prefix_real:
            raise UnsafeMapping("dosdevices is not on the prefix tmpfs")
        for entry in sorted(os.listdir(dosdevices)):
            path = os.path.join(dosdevices, entry)
            target = os.path.realpath(path)
            if re.fullmatch(r"[a-z]:", entry):
                if entry == "c:":
                    allowed = os.path.realpath(self.drive_c)
                else:
                    volume = self.volumes.get(entry[0])
                    allowed = os.path.realpath(volume.path) if volume else None
                if allowed is None or target != allowed:
                    raise UnsafeMapping("%s maps %s" % (entry, target))
                if entry == "c:":
                    continue
                if target in self._adopted:
                    if _check_scratch_mount(target) != self._adopted[target]:
                        raise UnsafeMapping("%s changed its file system" % target)
                elif self._own_mounts.get(target) not in ("tmpfs", "fuse.fusefat"):
                    raise UnsafeMapping("%s is not a scratch mount of this session" % entry)
            elif re.fullmatch(r"(com|lpt)[0-9]+", entry):
                # Wine adds serial and parallel ports by itself; a port is
                # a character device, never a volume.
                if not stat.S_ISCHR(os.stat(path).st_mode):
                    raise UnsafeMapping("%s maps %s, which is no character device" % (entry, target))
            elif re.fullmatch(r"[a-z]::", entry):
                self._check_fat_device(entry, target)
            else:
                raise UnsafeMapping("unexpected dosdevices entry %s -> %s" % (entry, target))
        for folder, dirs, files in os.walk(self.drive_c):
            for entry in dirs + files:
                path = os.path.join(folder, entry)
                if os.path.islink(path) and not _is_under(path, prefix_real):
                    raise UnsafeMapping("%s leads out of the prefix to %s"
                                        % (path, os.path.realpath(path)))
        letters = {letter for letter in self.volumes} | {"c"}
        for hive in ("system.reg", "user.reg"):
            with open(os.path.join(self.prefix, hive), encoding="utf-8", errors="replace") as f:
                content = f.read()
            for section in re.finditer(r"^\[(?:Software\\\\Wine\\\\Drives|System\\\\MountedDevices)\][^\n]*\n(.*?)(?:\n\n|\Z)",
                                       content, re.M | re.S):
                for value in re.finditer(r'^"(?:\\\\DosDevices\\\\)?([A-Za-z]):"', section.group(1), re.M):
                    if value.group(1).lower() not in letters:
                        raise UnsafeMapping("the registry (%s) maps drive %s:" % (hive, value.group(1)))

    # runs
    def _boot_wine(self):
        """A fresh wineserver with Wine's own services already running.

        Keys or windows of an earlier run cannot reach the next one, and the
        services write to a log file instead of the program's terminal."""
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run([self.wineserver, "-k"], env=self.wine_env, timeout=30, **quiet)
        subprocess.run([self.wineserver, "-w"], env=self.wine_env, timeout=60, **quiet)
        self._strip_mappings()
        self.verify_mappings()
        # Kept alive until the next run's "wineserver -k" or the session's end.
        subprocess.run([self.wineserver, "-p"], env=self.wine_env, timeout=30, **quiet)
        self._boots += 1
        with open(self.artifact("wine-boot-%02d.log" % self._boots), "wb") as boot_log:
            subprocess.run([self.wine64, "wineboot"], env=self.wine_env, cwd=self.drive_c,
                           timeout=120, stdin=subprocess.DEVNULL, stdout=boot_log,
                           stderr=subprocess.STDOUT)

    def start(self, *args, preexec=None, beside=False):
        for attempt in range(1, LOADER_ATTEMPTS + 1):
            if not beside:
                self._boot_wine()
            # Whatever Wine's start-up added must pass the check before the
            # program exists.
            self.verify_mappings()
            run = Run(self, args, preexec)
            self._runs.add(run)
            failure = run.wait_started()
            if failure is None:
                return run
            self.log("Wine failed before the program started (attempt %d of %d): %s"
                     % (attempt, LOADER_ATTEMPTS, failure))
        return run

    def run(self, *args, timeout=60):
        return self.start(*args).wait(timeout)


def _tree_size(folder):
    total = 0
    for root, dirs, files in os.walk(folder):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
        total += 4096 * (len(dirs) + len(files))
    return total


def _template_key():
    """What the template's stamp holds: how it was made, and by which Wine."""
    wine_version = _command([wine_binaries()[0], "--version"]).stdout.decode().strip()
    return "%s %s\n" % (TEMPLATE_VERSION, wine_version)


def template_ready(workdir, arch="x86_64"):
    """Whether a session of arch in workdir finds its template prefix made
    already; otherwise the first one makes it, which takes Wine a minute or
    more. An i686 session also wants the 32-bit system files, which a prefix
    made before wine32 was installed lacks (wineboot copies them from wine32
    even where its loader cannot run): without them every 32-bit program
    exits 53, kernel32.dll not found."""
    template = os.path.join(workdir, "template")
    try:
        with open(os.path.join(template, ".voidfill-template")) as f:
            if f.read() != _template_key():
                return False
    except OSError:
        return False
    return arch != "i686" or os.path.isfile(
        os.path.join(template, "drive_c", "windows", "syswow64", "kernel32.dll"))


class _file_lock:
    def __init__(self, path):
        self.path = path

    def __enter__(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.fd = os.open(self.path, os.O_CREAT | os.O_RDWR, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.fd, fcntl.LOCK_UN)
        os.close(self.fd)
        return False


# --- a console program with no display --------------------------------------------

class ConsoleRun:
    """One process of a console exe started by ``start_console``: its
    standard output and error on pipes, each line kept with the
    time.monotonic() at which it came; Wine's own diagnostic lines are kept
    apart from the program's standard error."""

    def __init__(self, session, name, args, env):
        self.session = session
        self.name = name
        self.out, self.err, self.diagnostics = [], [], []
        self._exe_pid = None
        command = [session.loader, "C:\\" + name] + list(args)
        session.log("console run: %s" % " ".join(command))
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=session.drive_c, env=env,
                                     start_new_session=True)
        self._readers = [threading.Thread(target=self._read, args=(self.proc.stdout, False),
                                          daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, True),
                                          daemon=True)]
        for reader in self._readers:
            reader.start()
        session._runs.add(self)

    def _read(self, stream, is_err):
        for raw in iter(stream.readline, b""):
            line = (time.monotonic(), raw.decode("ascii", errors="replace").rstrip("\r\n"))
            if is_err and _WINE_DEBUG_LINE.fullmatch(raw.rstrip(b"\r\n") + b"\n"):
                self.diagnostics.append(line[1])
            else:
                (self.err if is_err else self.out).append(line)

    def exe_pid(self, timeout=10):
        """Unix process id of the exe (its name, as the kernel keeps it: 15 bytes)."""
        deadline = time.monotonic() + timeout
        while self._exe_pid is None and time.monotonic() < deadline:
            for name in os.listdir("/proc"):
                try:
                    if name.isdigit() and os.getsid(int(name)) == self.proc.pid:
                        with open("/proc/%s/comm" % name) as f:
                            if f.read().strip().lower() == self.name[:15].lower():
                                self._exe_pid = int(name)
                except OSError:
                    continue
            time.sleep(0.02)
        if self._exe_pid is None:
            raise HarnessError("no Unix process of %s found" % self.name)
        return self._exe_pid

    def signal(self, signum):
        self.session.log("signal %d to %s" % (signum, self.name))
        os.kill(self.exe_pid(), signum)

    def wait(self, timeout=120):
        """The exit status; on a time-out the program is killed."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise HarnessError("%s did not end within %ss; out %r err %r"
                               % (self.name, timeout, self.out, self.err))
        for reader in self._readers:
            reader.join(5)
        self.session._runs.discard(self)
        for line in self.diagnostics:
            self.session.log("wine: %s" % line)
        self.session.log("ended: status %d\n  out: %s\n  err: %s" % (
            status, "\n       ".join(l for _, l in self.out),
            "\n       ".join(l for _, l in self.err)))
        self.session.verify_mappings()
        return status

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass


def start_console(session, exe, *args, beside=False):
    """Copies the console exe to C:\\ under its own name and starts it there
    with no DISPLAY at all, for it and for the Wine server and services it
    runs with (restarted first, unless ``beside``): a program that wanted a
    window could not get one. The mappings are checked as for ``start``."""
    name = os.path.basename(exe)
    shutil.copyfile(exe, os.path.join(session.drive_c, name))
    env = {key: value for key, value in session.wine_env.items() if key != "DISPLAY"}
    env["WINELOADER"] = session.loader
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not beside:
        subprocess.run([session.wineserver, "-k"], env=env, timeout=30, **quiet)
        subprocess.run([session.wineserver, "-w"], env=env, timeout=60, **quiet)
        session._strip_mappings()
        session.verify_mappings()
        subprocess.run([session.wineserver, "-p"], env=env, timeout=30, **quiet)
        with open(session.artifact("wine-boot-console.log"), "ab") as boot_log:
            subprocess.run([session.wine64, "wineboot"], env=env, cwd=session.drive_c,
                           timeout=120, stdin=subprocess.DEVNULL, stdout=boot_log,
                           stderr=subprocess.STDOUT)
    session.verify_mappings()
    return ConsoleRun(session, name, args, env)


if __name__ == "__main__":
    # python3 harness.py --sweep FOLDER: undo whatever a killed session left.
    if len(sys.argv) == 3 and sys.argv[1] == "--sweep":
        sweep(sys.argv[2])
        sys.exit(0)
    # python3 harness.py --win32-problem: why the i686 scenarios are skipped
    # here (nothing where they run).
    if sys.argv[1:] == ["--win32-problem"]:
        print(win32_problem() or "")
        sys.exit(0)
    print(__doc__)
