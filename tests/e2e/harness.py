"""End-to-end harness: the real voidfill.exe under Wine, headless, on scratch volumes.

The program fills disks, so this harness never lets it see one of this
machine's disks:

* The Wine prefix (drive C:) is copied from a template into a size-limited
  tmpfs that the session mounts itself; HOME points into that tmpfs too.
* The prefix's Z: mapping and every other dosdevices entry are removed; only
  scratch volumes get drive letters: a tmpfs the session mounted itself, a
  FAT image on such a tmpfs served by fusefat, a stalefs image on such a
  tmpfs, or a mount the scenario made and handed over with ``adopt_volume``
  (a tmpfs, or an image file on a tmpfs or fully allocated, so that filling
  it takes no disk space).
* ``Session.verify_mappings()`` checks all of this (every dosdevices entry,
  every symbolic link under drive_c, the drive keys of the registry) before a
  run starts, before every key press and after every run, and refuses to go
  on otherwise. Serial and parallel port entries (com1, lpt1) that Wine adds
  by itself are accepted only while they name a character device.
* Every mount is undone when the session ends, also on an exception, a
  signal (SIGTERM, SIGINT, SIGHUP) or interpreter exit (the session and its
  volumes are scratch.py's, and so is the clean-up registry); a later
  session in the same folder first sweeps whatever a killed one left behind.

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
from the command line (``take_batch_exe()`` takes the unattended exe's
``--batch-exe`` off it first). Entering it mounts the prefix tmpfs, copies the
template prefix (made once per workdir with wineboot and reused), starts
Xvfb and copies the exe to C:\\voidfill.exe. Leaving it ends Wine and Xvfb and
unmounts everything.

  ``add_volume(letter, size_mb)`` -> scratch.TmpfsVolume: mounts a tmpfs of
      ``size_mb`` MiB and maps it to the letter (before ``start``).
  ``add_fat_volume(letter, size_mb, fat_bits)`` -> scratch.FatVolume: a FAT
      image (mkfs.vfat -F 16 or 32) on its own tmpfs, attached to a loop
      device, served by fusefat and mapped; ``dosdevices/x::`` names the
      loop device, where Wine reads the boot sector that tells FAT from
      FAT32. The session unmounts both when it ends, after Wine.
  ``add_stale_volume(letter, size_mb, write_rate_kib=None)`` ->
      scratch.StaleVolume: tools/stalefs, whose freed blocks keep their
      bytes and whose fallocate (SetFileValidData under Wine) hands them out
      unwritten, as NTFS does; its sparse image on its own tmpfs; Wine
      reports it as NTFS. After the session: ``allocated``, and
      ``dirty_free_blocks`` (free blocks that hold anything but zeros).
  ``adopt_volume(letter, mount_point)`` -> scratch.Volume: maps a mount the
      scenario made itself; accepted only for a tmpfs, or a file system kept
      in an image file that lies on a tmpfs or is fully allocated (not
      sparse), at most 8 GiB. The scenario unmounts it (after the session
      has ended Wine).
  ``add_letter(letter, volume)`` -> volume: maps a volume of the session
      under a second letter too (a FAT volume with its device link), as
      Windows gives one volume two drive names.
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
  ``wineserver_pid()`` (of the session) -> the Unix process id of its
      wineserver, or None.
  ``output`` -> console text so far (escape codes removed, line ends \\n).
  ``wait(timeout)`` -> Result; on a time-out the open windows are saved as
      screenshots and the program is killed.

``Result``: ``status`` (exit status), ``text`` (console text), ``boxes``
(message box texts in order), ``diagnostics`` (Wine's error lines, also
logged), ``raw`` (bytes as the terminal received them).

A volume (``scratch.Volume``): ``letter``, ``mountpoint``, ``path(*parts)``,
``free()``, ``total()`` (statvfs: f_bavail * f_frsize and f_blocks *
f_frsize), ``write_file(name, data)``, ``snapshot()`` -> {relative path:
sha256 hex, or "<dir>"}, ``names()`` -> sorted relative paths.

``FreeSpaceSampler(volume, interval=0)``, a context manager: a thread that
calls statvfs in a tight loop (or every interval seconds); ``minimum``,
``first``, ``samples``, ``timeline`` (time.monotonic() and free bytes at
every change), ``error`` (an OSError that ended the sampling early).

``main(function)``: runs a scenario, prints its failures and exits non-zero
when there are any, or SKIP_STATUS when it raised ``Skipped``.
"""

import argparse
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

import scratch
from scratch import MIB, REPO_ROOT, HarnessError
from texts import BANNER

EXE_NAME = "voidfill.exe"

# Bump when the way the template prefix is made changes.
TEMPLATE_VERSION = "1"

# Room for what Wine writes into C: while the program runs.
PREFIX_HEADROOM = 256 * MIB
MAX_VOLUME_BYTES = scratch.MAX_VOLUME_MB * MIB

_T0 = time.monotonic()


def log(message):
    print("[%7.3f] %s" % (time.monotonic() - _T0, message), flush=True)


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


def take_batch_exe():
    """--batch-exe, voidfill-batch.exe, taken off the command line before
    parse_args reads it."""
    index = sys.argv.index("--batch-exe")
    exe = sys.argv[index + 1]
    del sys.argv[index:index + 2]
    return exe


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


def _check_scratch_mount(point):
    """The fstype of a mount that may get a drive letter; raises otherwise."""
    entry = scratch.mount_entry(point)
    if entry is None:
        raise UnsafeMapping("%s is not a mount point" % point)
    _, fstype, source = entry
    if scratch.total_bytes(point) > MAX_VOLUME_BYTES:
        raise UnsafeMapping("%s is larger than a scratch volume may be" % point)
    if fstype == "tmpfs":
        return fstype
    image = scratch.loop_backing_file(source) or source
    if not (image.startswith("/") and os.path.isfile(image)):
        raise UnsafeMapping("%s (%s from %s) is not kept in an image file" % (point, fstype, source))
    holder = scratch.mount_of(image)
    if holder[1] != "tmpfs":
        info = os.stat(image)
        if info.st_blocks * 512 < info.st_size:
            raise UnsafeMapping("the image %s of %s is sparse on %s: filling the volume would "
                                "take disk space; allocate it fully or keep it on a tmpfs"
                                % (image, point, holder[0]))
    return fstype


# Set for every process a session starts (Xvfb, Wine), so that a sweep finds
# them after the session itself was killed.
SESSION_MARK = "VOIDFILL_E2E_SESSION"


def _of_a_session_under(process, folder):
    environ = process.environ()
    return any(scratch.is_under(environ[mark], folder)
               for mark in ("WINEPREFIX", SESSION_MARK) if mark in environ)


def _end_sessions_under(folder):
    scratch.kill(scratch.processes(lambda p: _of_a_session_under(p, folder)))


def sweep(folder):
    """Ends the sessions' processes and undoes every mount and loop device
    under folder (deepest first)."""
    _end_sessions_under(folder)
    scratch.release_under(folder)


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


# --- watching a volume --------------------------------------------------------------

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
        free_bytes = scratch.free_bytes
        path = self.volume.mountpoint
        last = None
        while not self._stop.is_set():
            try:
                free = free_bytes(path)
            except OSError as error:
                self.error = error
                return
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
                raise HarnessError("cannot sample %s: %s" % (self.volume.mountpoint, self.error))
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        return False


# --- one process of the program ---------------------------------------------------

def _kill_group(proc):
    """Kills a program started in a session of its own, and all it started."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        pass


def _exe_pid(proc, name, timeout):
    """The Unix process id of the exe called name, started in the session
    of proc; by its name as the kernel keeps it (15 bytes), not its command
    line: under an emulator that reads "qemu-i386 .../wine C:\\name" for
    start.exe too."""
    deadline = time.monotonic() + timeout

    def ours(process):
        return os.getsid(process.pid) == proc.pid and process.name().lower() == name[:15].lower()
    while time.monotonic() < deadline:
        found = scratch.processes(ours)
        if found:
            return found[0].pid
        time.sleep(0.02)
    raise HarnessError("no Unix process of %s found" % name)


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
        scratch.run(["xdotool"] + [str(a) for a in argv], env=self.session.x_env, timeout=20)

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
        scratch.run(["import", "-window", str(window), path], env=self.session.x_env, timeout=15)
        self.session.log("screenshot %s" % path)
        return path

    # process
    def exe_pid(self, timeout=10):
        if self._exe_pid is None:
            self._exe_pid = _exe_pid(self.proc, EXE_NAME, timeout)
        return self._exe_pid

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
        _kill_group(self.proc)


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
        self._owned = []  # the session's own volumes, the prefix's first
        self._own_mounts = {}  # mount point -> fstype, of those volumes
        self._adopted = {}  # mount point -> fstype, mounted by the scenario
        self._xvfb = None
        self._runs = set()
        self._boots = 0
        self._closed = False
        self._token = None
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
        # Registered after the volumes a scenario made for it, so that Wine
        # ends before they are unmounted.
        self._token = scratch.on_cleanup("session %s" % self.folder, self.close)
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

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
        size_mb = -(-(_tree_size(template) + PREFIX_HEADROOM) // MIB)
        self._own(scratch.TmpfsVolume("c", size_mb, self.folder, cleanup=False))
        started = time.monotonic()
        scratch.run(["cp", "-a", template, self.prefix], timeout=300)
        os.makedirs(self.home)
        shutil.copyfile(self.exe, os.path.join(self.drive_c, EXE_NAME))
        self.log("prefix copied to a %d MiB tmpfs in %.2fs"
                 % (size_mb, time.monotonic() - started))
        self._strip_mappings()
        self.verify_mappings()

    def close(self):
        """Ends Wine and Xvfb, then unmounts the session's volumes, newest
        first; whatever is still left in its folder goes with the sweep."""
        if self._closed:
            return
        self._closed = True
        scratch.forget(self._token)
        # A second signal must not cut the clean-up short.
        with scratch.signals_held():
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
            # Whatever Wine process is left holds the volumes.
            _end_sessions_under(self.folder)
            for volume in reversed(self._owned):
                try:
                    volume.unmount()
                except HarnessError as error:
                    self.log("clean-up: %s" % error)
            sweep(self.folder)
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
                scratch.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", target], timeout=120,
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
            scratch.run([self.wine64, "wineboot", "-i"], env=env, timeout=600, cwd=self.workdir)
            # Without a window manager, Wine's own window management costs
            # seconds per closed window.
            scratch.run([self.wine64, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver",
                         "/v", "Managed", "/d", "N", "/f"], env=env, timeout=120, cwd=self.workdir)
            scratch.run([self.wineserver, "-w"], env=env, timeout=120)
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

    # volumes
    def _own(self, volume):
        """A volume of the session's own: unmounted when it closes, after Wine."""
        self._owned.append(volume)
        self._own_mounts[volume.mountpoint] = volume.fstype
        return volume

    def add_volume(self, letter, size_mb):
        letter = self._free_letter(letter)
        volume = self._own(scratch.TmpfsVolume("vol-" + letter, size_mb, self.folder,
                                               cleanup=False))
        return self._map(letter, volume, volume.fstype)

    def add_fat_volume(self, letter, size_mb, fat_bits=32):
        """A FAT image as a Windows drive with a device behind it: the kernel
        may have no vfat driver, so fusefat serves the volume, and Wine tells
        FAT from FAT32 by the boot sector it reads through dosdevices/x::,
        a loop device on the image."""
        letter = self._free_letter(letter)
        volume = self._own(scratch.FatVolume("vol-" + letter, size_mb, self.folder, fat_bits,
                                             self.artifact("fusefat-%s.log" % letter),
                                             cleanup=False))
        self._own_mounts[volume.holder.mountpoint] = "tmpfs"
        os.symlink(volume.device, os.path.join(self.prefix, "dosdevices", letter + "::"))
        return self._map(letter, volume, volume.fstype)

    def add_stale_volume(self, letter, size_mb, write_rate_kib=None):
        """A stalefs volume (tools/stalefs: freed blocks keep their bytes, and
        SetFileValidData hands them out as they are), its sparse image on a
        tmpfs of its own; Wine reports it as NTFS."""
        letter = self._free_letter(letter)
        volume = self._own(scratch.StaleVolume("vol-" + letter, size_mb, self.folder,
                                               self.artifact("stalefs-%s.log" % letter),
                                               write_rate_kib, cleanup=False))
        self._own_mounts[volume.holder.mountpoint] = "tmpfs"
        return self._map(letter, volume, volume.fstype)

    def _check_fat_device(self, entry, target):
        """dosdevices/x:: may only name the loop device of this session's FAT
        volume x:, still backed by its image on the session's own tmpfs."""
        volume = self.volumes.get(entry[0])
        if not isinstance(volume, scratch.FatVolume) or target != os.path.realpath(volume.device):
            raise UnsafeMapping("%s names %s, not a FAT volume of this session" % (entry, target))
        image = volume.image
        if not stat.S_ISBLK(os.stat(target).st_mode) or scratch.loop_backing_file(target) != image:
            raise UnsafeMapping("%s: %s is no longer the loop device of %s" % (entry, target, image))
        holder = scratch.mount_of(image)[0]
        if self._own_mounts.get(holder) != "tmpfs" or not os.path.isfile(image):
            raise UnsafeMapping("%s: the image %s is not on a tmpfs of this session"
                                % (entry, image))

    def adopt_volume(self, letter, mount_point):
        """Maps a scratch mount that the scenario made itself (an ext4 image
        on a loop device, ntfs-3g started with its own options). Accepted
        only while it is a tmpfs, or a file system in an image file that
        lies on a tmpfs or is fully allocated (no sparse holes), so that
        filling it cannot take any more of the machine's disks."""
        letter = self._free_letter(letter)
        point = os.path.realpath(mount_point)
        fstype = _check_scratch_mount(point)
        self._adopted[point] = fstype
        return self._map(letter, scratch.Volume(point), fstype)

    def add_letter(self, letter, volume):
        """Maps a volume the session maps already under a second letter too,
        as Windows gives one volume two drive names; a FAT volume gets its
        device link under that letter as well."""
        letter = self._free_letter(letter)
        if volume not in self.volumes.values():
            raise HarnessError("%s is not mapped in this session" % volume.mountpoint)
        if isinstance(volume, scratch.FatVolume):
            os.symlink(volume.device, os.path.join(self.prefix, "dosdevices", letter + "::"))
        os.symlink(volume.mountpoint, os.path.join(self.prefix, "dosdevices", letter + ":"))
        self.volumes[letter] = volume
        self.log("volume %s: -> %s, a second letter" % (letter, volume.mountpoint))
        self.verify_mappings()
        return volume

    def _free_letter(self, letter):
        letter = letter.lower()
        if not re.fullmatch(r"[a-z]", letter) or letter == "c" or letter in self.volumes:
            raise HarnessError("drive letter %r is not free" % letter)
        return letter

    def _map(self, letter, volume, fstype):
        os.symlink(volume.mountpoint, os.path.join(self.prefix, "dosdevices", letter + ":"))
        volume.letter = letter
        self.volumes[letter] = volume
        self.log("volume %s: -> %s (%s, %d bytes)"
                 % (letter, volume.mountpoint, fstype, volume.total()))
        self.verify_mappings()
        return volume

    def _strip_mappings(self):
        dosdevices = os.path.join(self.prefix, "dosdevices")
        mapped = {letter + ":" for letter in self.volumes} | {"c:"}
        mapped |= {letter + "::" for letter, volume in self.volumes.items()
                   if isinstance(volume, scratch.FatVolume)}
        for entry in os.listdir(dosdevices):
            if entry not in mapped:
                os.remove(os.path.join(dosdevices, entry))

    def verify_mappings(self):
        """Refuses unless every way out of the prefix leads to a scratch mount."""
        table = {point: fstype for point, fstype, _ in scratch.mounts()}
        prefix_real = os.path.realpath(self.prefix_mount)
        if table.get(prefix_real) != "tmpfs" or self._own_mounts.get(prefix_real) != "tmpfs":
            raise UnsafeMapping("the prefix is not on the session's tmpfs")
        if scratch.mount_of(self.drive_c)[0] != prefix_real:
            raise UnsafeMapping("drive_c is not on the prefix tmpfs")
        for point, fstype in self._own_mounts.items():
            if table.get(point) != fstype:
                raise UnsafeMapping("%s is no longer a %s mount" % (point, fstype))
            if scratch.total_bytes(point) > MAX_VOLUME_BYTES:
                raise UnsafeMapping("%s is not size-limited" % point)
        dosdevices = os.path.join(self.prefix, "dosdevices")
        if scratch.mount_of(dosdevices)[0] != prefix_real:
            raise UnsafeMapping("dosdevices is not on the prefix tmpfs")
        for entry in sorted(os.listdir(dosdevices)):
            path = os.path.join(dosdevices, entry)
            target = os.path.realpath(path)
            if re.fullmatch(r"[a-z]:", entry):
                if entry == "c:":
                    allowed = os.path.realpath(self.drive_c)
                else:
                    volume = self.volumes.get(entry[0])
                    allowed = os.path.realpath(volume.mountpoint) if volume else None
                if allowed is None or target != allowed:
                    raise UnsafeMapping("%s maps %s" % (entry, target))
                if entry == "c:":
                    continue
                if target in self._adopted:
                    if _check_scratch_mount(target) != self._adopted[target]:
                        raise UnsafeMapping("%s changed its file system" % target)
                elif self._own_mounts.get(target) not in ("tmpfs", "fuse.fusefat", "fuse.stalefs"):
                    raise UnsafeMapping("%s is not a scratch mount of this session" % entry)
                elif isinstance(volume, scratch.StaleVolume) and self._own_mounts.get(
                        scratch.mount_of(volume.image)[0]) != "tmpfs":
                    raise UnsafeMapping("%s: the image %s is not on a tmpfs of this session"
                                        % (entry, volume.image))
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
                if os.path.islink(path) and not scratch.is_under(path, prefix_real):
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

    def wineserver_pid(self):
        found = scratch.processes(lambda p: p.name().startswith("wineserver")
                                  and p.environ().get("WINEPREFIX") == self.prefix)
        return found[0].pid if found else None


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
    wine_version = scratch.run([wine_binaries()[0], "--version"]).strip()
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
    """One process of a console program started by ``start_console``: its
    standard output and error on pipes, each line kept with the
    time.monotonic() at which it came; Wine's own diagnostic lines are kept
    apart from the program's standard error. With ``blocked_stdout`` its
    standard output is a pipe of one page, full before the program starts
    and not read until ``release_stdout()``: a log that nobody reads."""

    def __init__(self, session, name, program, args, env, blocked_stdout=False):
        self.session = session
        self.name = name
        self.out, self.err, self.diagnostics = [], [], []
        self._exe_pid = None
        self._out_gate = threading.Event()
        command = [session.loader, program] + list(args)
        session.log("console run: %s" % " ".join(command))
        stdout, filler = subprocess.PIPE, b""
        if blocked_stdout:
            read_end, stdout = os.pipe()
            fcntl.fcntl(stdout, fcntl.F_SETPIPE_SZ, PIPE_PAGE)
            filler = b"#" * (PIPE_PAGE - 1) + b"\n"
            os.write(stdout, filler)
        else:
            self._out_gate.set()
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=subprocess.PIPE, cwd=session.drive_c, env=env,
                                     start_new_session=True)
        out_stream = self.proc.stdout
        if blocked_stdout:
            os.close(stdout)
            out_stream = os.fdopen(read_end, "rb")
        self._readers = [threading.Thread(target=self._read, args=(out_stream, False, filler),
                                          daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, True, b""),
                                          daemon=True)]
        for reader in self._readers:
            reader.start()
        session._runs.add(self)

    def _read(self, stream, is_err, filler):
        if not is_err:
            self._out_gate.wait()
        if filler:
            stream.read(len(filler))
        for raw in iter(stream.readline, b""):
            line = (time.monotonic(), raw.decode("ascii", errors="replace").rstrip("\r\n"))
            if is_err and _WINE_DEBUG_LINE.fullmatch(raw.rstrip(b"\r\n") + b"\n"):
                self.diagnostics.append(line[1])
            else:
                (self.err if is_err else self.out).append(line)
        stream.close()

    def release_stdout(self):
        self.session.log("standard output of %s read from now on" % self.name)
        self._out_gate.set()

    def exe_pid(self, timeout=10):
        if self._exe_pid is None:
            self._exe_pid = _exe_pid(self.proc, self.name, timeout)
        return self._exe_pid

    def signal(self, signum):
        self.session.log("signal %d to %s" % (signum, self.name))
        os.kill(self.exe_pid(), signum)

    def wait(self, timeout=120):
        """The exit status; on a time-out the program is killed."""
        self._out_gate.set()
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
        self._out_gate.set()
        _kill_group(self.proc)


# The least a Linux pipe holds (F_SETPIPE_SZ rounds up to a page).
PIPE_PAGE = 4096


def start_console(session, exe, *args, beside=False, blocked_stdout=False):
    """Copies the console exe to C:\\ under its own name and starts it
    there, or starts ``exe`` as it is when it is a Windows path already
    (C:\\windows\\system32\\cmd.exe), with no DISPLAY at all, for it and
    for the Wine server and services it runs with (restarted first, unless
    ``beside``): a program that wanted a window could not get one. The
    mappings are checked as for ``start``."""
    if re.match(r"^[A-Za-z]:\\", exe):
        program, name = exe, exe.rsplit("\\", 1)[-1]
    else:
        name = os.path.basename(exe)
        program = "C:\\" + name
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
    return ConsoleRun(session, name, program, args, env, blocked_stdout)


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
