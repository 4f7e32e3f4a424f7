"""Scratch volumes, and everything that mounts, watches and releases them,
for the end-to-end scenarios, the demo and the benchmark.

voidfill fills whatever volume it is given, so it only ever sees volumes made
here: a tmpfs, an ext4 image on a loop device, an NTFS image served by
ntfs-3g, a FAT image served by fusefat or a stalefs image (whose free
blocks keep their old bytes, tools/stalefs), each sized in MiB, living under
/tmp or the project's build folder, and unmounted again on every way out
(normal return, exception, Ctrl+C, SIGTERM, SIGHUP, interpreter exit): every
volume, and every Wine session (harness.py), registers its clean-up here,
and the clean-ups still pending when the interpreter ends run newest first.
What a killed process left behind, release_under() finds and undoes.

The NTFS image is first covered with a recognisable pattern that stands for
old deleted data, then formatted quickly (which writes only the metadata), so
that after a run the image itself shows which of its 4 KiB blocks were
overwritten: see analyse_image().
"""

import atexit
import contextlib
import dataclasses
import hashlib
import itertools
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import threading
import time

import psutil

BLOCK_SIZE = 4096
# 16 bytes, repeated over each 4 KiB block of a fresh image.
MARKER = b"OLD DELETED DATA"
PATTERN_BLOCK = MARKER * (BLOCK_SIZE // len(MARKER))
ZERO_BLOCK = bytes(BLOCK_SIZE)

MIB = 1024 * 1024
# No scratch volume may be larger than this: a mistaken size is refused
# instead of eating the machine's memory (a tmpfs, or an image on one, takes
# memory as it is written).
MAX_VOLUME_MB = 8192
# An image file on the build folder's disk takes all its space at once.
MAX_DISK_IMAGE_MB = 2048

# The folder in which the program's step over the free MFT records of an
# NTFS volume makes its small files.
RECORD_FOLDER = "VOIDFILL-MFT-7C2E9A41D3B6F058.TMP"

REPO_ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEFAULT_WORK_ROOT = os.path.join(REPO_ROOT, "build", "scratch")


class HarnessError(RuntimeError):
    """A scratch volume or a Wine session that cannot be had, or is refused."""


# ---------------------------------------------------------------------------
# Clean-up that runs however the script ends.

_cleanups = []  # (token, description, action), run newest first
_cleanup_lock = threading.RLock()
_tokens = itertools.count(1)
_CLEANUP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def on_cleanup(description, action):
    """Registers action to run at clean-up; returns a token for forget()."""
    with _cleanup_lock:
        token = next(_tokens)
        _cleanups.append((token, description, action))
        return token


def forget(token):
    with _cleanup_lock:
        _cleanups[:] = [c for c in _cleanups if c[0] != token]


@contextlib.contextmanager
def signals_held():
    """Signals wait while a clean-up runs, so that a second Ctrl+C cannot
    leave a mount behind; they arrive once it is done."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _CLEANUP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def cleanup_all():
    """Runs every pending clean-up, newest first: a session registered
    after the volume it maps ends Wine before that volume is unmounted."""
    with signals_held():
        while True:
            with _cleanup_lock:
                if not _cleanups:
                    return
                _, description, action = _cleanups.pop()
            try:
                action()
            except Exception as error:  # keep going: the rest must still run
                print(f"scratch: clean-up of {description} failed: {error}", flush=True)


atexit.register(cleanup_all)


def _raise_exit(signum, frame):
    raise SystemExit(128 + signum)


def install_signal_handlers():
    """SIGTERM and SIGHUP unwind like Ctrl+C does, so finally blocks and
    clean-ups run; handlers somebody else installed are left alone."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) in (signal.SIG_DFL, None):
            signal.signal(signum, _raise_exit)


install_signal_handlers()


# ---------------------------------------------------------------------------
# Commands, processes, mounts.


def run(argv, timeout=300, check=True, **kwargs):
    """Runs a command to its end and returns its output (standard output
    and error, as text); raises with that output when it fails."""
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace",
                          timeout=timeout, **kwargs)
    if check and done.returncode != 0:
        raise HarnessError(f"{' '.join(argv)} failed ({done.returncode}):\n{done.stdout}")
    return done.stdout


def processes(wanted):
    """The processes but this one for which wanted(psutil.Process) holds;
    one that ends meanwhile, or cannot be read, is left out."""
    found = []
    for process in psutil.process_iter():
        try:
            if process.pid != os.getpid() and wanted(process):
                found.append(process)
        except (psutil.Error, OSError):
            continue
    return found


def kill(found):
    for process in found:
        with contextlib.suppress(psutil.NoSuchProcess):
            process.kill()


def is_under(path, folder):
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def mounts():
    """(mount point, fstype, source) of every mount this process sees, in
    the kernel's order: of two on one point, the later is on top."""
    return [(part.mountpoint, part.fstype, part.device)
            for part in psutil.disk_partitions(all=True)]


def mount_entry(point):
    """(mount point, fstype, source) of the mount on top of this point, or None."""
    point = os.path.realpath(point)
    found = None
    for entry in mounts():
        if entry[0] == point:
            found = entry
    return found


def is_mounted(point):
    return mount_entry(point) is not None


def mount_of(path):
    """(mount point, fstype, source) of the mount that holds path."""
    path = os.path.realpath(path)
    best = None
    for entry in mounts():
        if is_under(path, entry[0]) and (best is None or len(entry[0]) >= len(best[0])):
            best = entry
    return best


def umount(point, timeout=30.0):
    """Unmounts (every mount stacked on the point), retrying while a process
    that is still ending holds it. Past the time-out it detaches the mount
    from the tree, which goes once its last user ends, and raises."""
    deadline = time.monotonic() + timeout
    while is_mounted(point):
        done = subprocess.run(["umount", point], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        if done.returncode == 0:
            continue
        if time.monotonic() > deadline:
            # Whatever still holds it can only write into the same
            # size-limited file system.
            subprocess.run(["umount", "-l", point], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            raise HarnessError(f"umount {point}: {done.stdout.strip()}")
        time.sleep(0.2)


def loop_backing_file(device):
    """The image file behind a loop device such as /dev/loop3, or None."""
    match = re.fullmatch(r"/dev/(loop[0-9]+)", device)
    if not match:
        return None
    try:
        with open("/sys/block/%s/loop/backing_file" % match.group(1)) as f:
            return f.read().strip()
    except OSError:
        return None


# FUSE drivers run in sessions of their own (so that a Ctrl+C meant for the
# script does not end them while Wine still writes), so they outlive a killed
# script.
FUSE_DRIVERS = ("fusefat", "ntfs-3g", "stalefs")


def _fuse_drivers_under(folder):
    return processes(lambda p: p.name() in FUSE_DRIVERS and any(
        arg.startswith("/") and is_under(arg, folder) for arg in p.cmdline()[1:]))


def release_under(folder):
    """Undoes every mount and loop device under folder, deepest first, and
    ends the FUSE drivers that served one: what a killed script left."""
    folder = os.path.realpath(folder)
    failed = []

    def umount_all(wanted):
        points = [p for p, fstype, _ in mounts() if is_under(p, folder) and wanted(fstype)]
        for point in sorted(set(points), key=len, reverse=True):
            try:
                umount(point)
            except HarnessError as error:
                failed.append(str(error))

    # FUSE mounts first: a FAT volume's driver holds a loop device whose
    # image keeps its tmpfs busy until the device is detached.
    umount_all(lambda fstype: fstype.startswith("fuse"))
    # Time to write out their volumes, then the rest are killed.
    psutil.wait_procs(_fuse_drivers_under(folder), timeout=10)
    kill(_fuse_drivers_under(folder))
    for name in os.listdir("/sys/block"):
        image = loop_backing_file("/dev/" + name)
        if image and is_under(image, folder):
            subprocess.run(["losetup", "-d", "/dev/" + name], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    umount_all(lambda fstype: True)
    left = [point for point, _, _ in mounts() if is_under(point, folder)]
    if left:
        raise HarnessError("cannot unmount %s (%s)" % (left, "; ".join(failed)))


def free_bytes(path):
    """Bytes free for an unprivileged user, as Windows programs see it."""
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def total_bytes(path):
    st = os.statvfs(path)
    return st.f_blocks * st.f_frsize


def wait_until(predicate, timeout, interval=0.01):
    """Polls predicate until it is true; returns whether it became true."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)


# ---------------------------------------------------------------------------
# Files on a volume.


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MIB), b""):
            digest.update(chunk)
    return digest.hexdigest()


def put_user_files(root, files, seed=2008):
    """Writes files {relative name: size in bytes} of random content and
    returns {relative name: SHA-256}."""
    rng = random.Random(seed)
    hashes = {}
    for name, size in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
            f.flush()
            os.fsync(f.fileno())
        hashes[name] = sha256_file(path)
    return hashes


def changed_files(root, hashes):
    """Names whose content is missing or differs from hashes."""
    changed = []
    for name, digest in hashes.items():
        path = os.path.join(root, name)
        if not os.path.isfile(path) or sha256_file(path) != digest:
            changed.append(name)
    return changed


def leftovers(root, kept=()):
    """The program's temporary files and folders, if any are on the volume;
    kept names a user's own among them."""
    found = []
    for entry in os.listdir(root):
        upper = entry.upper()
        if entry in kept:
            continue
        if (upper in ("VOIDTEMP", RECORD_FOLDER) or
                (upper.startswith("V_") and upper.endswith(".TMP"))):
            found.append(entry)
    return sorted(found)


# ---------------------------------------------------------------------------
# Volumes.


class Volume:
    """A file system mounted at mountpoint, as the host sees it. A session
    that maps it to a drive sets letter."""

    def __init__(self, mountpoint):
        self.mountpoint = mountpoint
        self.letter = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.unmount()
        return False

    def unmount(self):
        """Nothing for a mount made elsewhere; see ScratchVolume."""

    def path(self, *parts):
        return os.path.join(self.mountpoint, *parts)

    def free(self):
        return free_bytes(self.mountpoint)

    def total(self):
        return total_bytes(self.mountpoint)

    def write_file(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        return path

    def names(self):
        """Sorted relative paths of every file and folder on it."""
        result = []
        for folder, dirs, files in os.walk(self.mountpoint):
            for name in dirs + files:
                result.append(os.path.relpath(os.path.join(folder, name), self.mountpoint))
        return sorted(result)

    def snapshot(self):
        """{relative path: SHA-256, or "<dir>"}."""
        result = {}
        for name in self.names():
            path = self.path(name)
            result[name] = "<dir>" if os.path.isdir(path) else sha256_file(path)
        return result


class ScratchVolume(Volume):
    """A volume mounted here, at work_root/name, unmounted by unmount() or
    leaving the context. With cleanup (the default) its clean-up is
    registered too; without, whoever made it undoes it (a session, once Wine
    has ended)."""

    kind = "volume"
    fstype = None  # as the mount table names it; None: not known beforehand
    max_mb = MAX_DISK_IMAGE_MB

    def __init__(self, name, size_mb, work_root, cleanup=True):
        if not isinstance(size_mb, int) or not 0 < size_mb <= self.max_mb:
            raise HarnessError(f"a {self.kind} scratch volume is 1..{self.max_mb} MiB, "
                               f"not {size_mb!r}")
        self.name = name
        self.size_mb = size_mb
        self.work_root = self._check_place(work_root)
        os.makedirs(self.work_root, exist_ok=True)
        super().__init__(os.path.join(self.work_root, name))
        self._cleanup = cleanup
        self._token = None
        self._mounted = False
        if is_mounted(self.mountpoint):
            # Left by a run that was killed outright; the place is ours.
            print(f"scratch: unmounting {self.mountpoint}, left by an earlier run", flush=True)
            umount(self.mountpoint)
        os.makedirs(self.mountpoint, exist_ok=True)
        if os.listdir(self.mountpoint):
            raise HarnessError(f"{self.mountpoint} is not empty")
        self._set_up()

    @staticmethod
    def _check_place(path):
        """Scratch files and mount points only under /tmp or the build folder."""
        real = os.path.realpath(path)
        allowed = ("/tmp/", os.path.join(REPO_ROOT, "build") + "/")
        if not real.startswith(allowed):
            raise HarnessError(f"{real} is not under /tmp or {REPO_ROOT}/build")
        return real

    def _set_up(self):
        """Mounts, its clean-up registered before anything exists, so that a
        signal in the middle leaves nothing behind; undone at once when the
        mount fails."""
        self._mounted = True
        if self._cleanup:
            self._token = on_cleanup(f"{self.kind} {self.mountpoint}", self.unmount)
        try:
            self._mount()
        except BaseException:
            self.unmount()
            raise

    def _mount(self):
        raise NotImplementedError

    def unmount(self):
        """Unmounts now; a second call does nothing."""
        if not self._mounted:
            return
        self._mounted = False
        forget(self._token)
        self._token = None
        with signals_held():
            self._teardown()

    def _teardown(self):
        umount(self.mountpoint)


class TmpfsVolume(ScratchVolume):
    """Takes memory only for what is written."""

    kind = fstype = "tmpfs"
    max_mb = MAX_VOLUME_MB

    def __init__(self, name="tmpfs", size_mb=64, work_root=DEFAULT_WORK_ROOT, cleanup=True):
        super().__init__(name, size_mb, work_root, cleanup)

    def _mount(self):
        run(["mount", "-t", "tmpfs", "-o", f"size={self.size_mb}m,mode=0755", "voidfill-scratch",
             self.mountpoint])


class ImageVolume(ScratchVolume):
    """A volume kept in an image file beside its mount point."""

    @property
    def image(self):
        return os.path.join(self.work_root, self.name + ".img")

    def _create_image(self, pattern):
        with open(self.image, "wb") as f:
            if pattern:
                chunk = PATTERN_BLOCK * (4 * MIB // BLOCK_SIZE)
                for _ in range(self.size_mb // 4):
                    f.write(chunk)
                f.write(PATTERN_BLOCK * ((self.size_mb % 4) * MIB // BLOCK_SIZE))
            else:
                # Allocated on the disk now, not while a test fills the
                # volume: nothing else on the machine can run short of space.
                os.posix_fallocate(f.fileno(), 0, self.size_mb * MIB)
            f.flush()
            os.fsync(f.fileno())

    def remove_image(self):
        if is_mounted(self.mountpoint):
            raise HarnessError(f"{self.mountpoint} is still mounted")
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.image)


class Ext4Volume(ImageVolume):
    """ext4 in an image file on the build folder's disk, through a loop device.
    No blocks are reserved for root and the inode tables are written at once,
    so neither distorts a measurement made on it."""

    kind = "ext4"

    def __init__(self, name="ext4", size_mb=2048, work_root=DEFAULT_WORK_ROOT):
        super().__init__(name, size_mb, work_root)

    def _mount(self):
        self._create_image(pattern=False)
        # nodiscard: on an image file a discard punches holes into it.
        run(["mkfs.ext4", "-q", "-F", "-m", "0",
             "-E", "lazy_itable_init=0,lazy_journal_init=0,nodiscard", self.image])
        run(["mount", "-o", "loop", self.image, self.mountpoint])


class FuseVolume(ImageVolume):
    """An image served by a FUSE driver running in the foreground as our own
    child, so that its end can be waited for before the image is read (it
    goes on writing for a moment after umount returns)."""

    _driver = None

    def _serve(self, argv, log):
        # A session of its own: a Ctrl+C at the terminal must not end it
        # before the programs using the volume are gone.
        with open(log, "ab") as output:
            self._driver = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output,
                                            stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            entry = mount_entry(self.mountpoint)
            if entry and self.fstype in (None, entry[1]):
                break
            if self._driver.poll() is not None:
                raise HarnessError(f"{argv[0]} ended at once; see {log}")
            if time.monotonic() > deadline:
                raise HarnessError(f"{argv[0]} did not mount {self.image}; see {log}")
            time.sleep(0.05)

    def _teardown(self):
        try:
            umount(self.mountpoint)
        finally:
            self._wait_for_driver()

    def _wait_for_driver(self):
        if self._driver is None:
            return
        try:
            self._driver.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self._driver.terminate()
            try:
                self._driver.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._driver.kill()
                self._driver.wait()
        self._driver = None


class NtfsVolume(FuseVolume):
    """NTFS in an image file, served by ntfs-3g."""

    kind = "ntfs"

    def __init__(self, name="ntfs", size_mb=256, work_root=DEFAULT_WORK_ROOT,
                 pattern=True, readonly=False):
        self.pattern = pattern
        self.readonly = readonly
        self._formatted = False
        super().__init__(name, size_mb, work_root)

    @property
    def log(self):
        return os.path.join(self.work_root, self.name + ".ntfs-3g.log")

    def _mount(self):
        if not self._formatted:
            self._create_image(self.pattern)
            # Quick format: only the metadata is written, the pattern stays.
            run(["mkntfs", "--fast", "--force", "--quiet", "-c", str(BLOCK_SIZE),
                 "-L", self.name.upper()[:32], self.image])
            self._formatted = True
        options = "no_detach,big_writes" + (",ro" if self.readonly else "")
        self._serve(["ntfs-3g", "-o", options, self.image, self.mountpoint], self.log)

    def remount(self, readonly):
        """ntfs-3g cannot switch in place: unmount and serve the image again."""
        self.unmount()
        self.readonly = readonly
        self._set_up()


class FatVolume(FuseVolume):
    """A FAT or FAT32 image on a tmpfs of its own, attached to a loop device
    (device), served by fusefat: the kernel may have no vfat driver, and
    Wine tells FAT from FAT32 by the boot sector it reads from a device."""

    kind = "fat"
    fstype = "fuse.fusefat"
    max_mb = MAX_VOLUME_MB

    def __init__(self, name, size_mb, work_root, fat_bits, log, cleanup=True):
        self.fat_bits = fat_bits
        self.log = log
        self.holder = None
        self.device = None
        super().__init__(name, size_mb, work_root, cleanup)

    @property
    def image(self):
        return self.holder.path("volume.img")

    def _mount(self):
        self.holder = TmpfsVolume(self.name + "-image", self.size_mb + 16, self.work_root,
                                  cleanup=False)
        with open(self.image, "wb") as f:
            f.truncate(self.size_mb * MIB)
        # Clusters of 4 KiB: Wine reports free and total space in 4 KiB units,
        # so that what the program sees matches the volume to the byte. No
        # label: fusefat would list its directory entry as a file.
        run(["mkfs.vfat", "-F", str(self.fat_bits), "-S", "512", "-s", "8", self.image])
        self.device = run(["losetup", "-f", "--show", self.image]).strip()
        # big_writes: with 4 KiB writes fusefat manages some 10 MB/s.
        self._serve(["fusefat", "-f", "-o", "rw+,big_writes", self.device, self.mountpoint],
                    self.log)

    def _teardown(self):
        try:
            super()._teardown()
        finally:
            if self.device is not None:
                run(["losetup", "-d", self.device], check=False)
                self.device = None
            if self.holder is not None:
                self.holder.unmount()


class StaleVolume(FuseVolume):
    """A volume of tools/stalefs, whose freed blocks keep their bytes and
    whose fallocate hands them out unwritten, as NTFS does after
    SetFileValidData. Its sparse image lies on a tmpfs of its own, so that
    filling it takes memory only for the blocks written. At unmount it
    measures what is left: allocated (bytes the image holds) and
    dirty_free_blocks (free blocks that read anything but zeros), or None
    where the driver left no map of its free blocks."""

    kind = "stalefs"
    fstype = "fuse.stalefs"
    max_mb = MAX_VOLUME_MB
    tool = os.path.join(REPO_ROOT, "tools", "stalefs")

    def __init__(self, name="stale", size_mb=256, work_root=DEFAULT_WORK_ROOT, log=None,
                 write_rate_kib=None, cleanup=True):
        self.log = log or os.path.join(os.path.realpath(work_root), name + ".stalefs.log")
        self.write_rate_kib = write_rate_kib
        self.holder = None
        self.allocated = self.dirty_free_blocks = None
        super().__init__(name, size_mb, work_root, cleanup)

    @property
    def image(self):
        return self.holder.path("volume.img")

    @property
    def map_file(self):
        return os.path.join(self.work_root, self.name + ".free")

    def _mount(self):
        run([self.tool, "--build"])
        self.holder = TmpfsVolume(self.name + "-image", self.size_mb + 1, self.work_root,
                                  cleanup=False)
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.map_file)
        rate = ["--write-rate", str(self.write_rate_kib)] if self.write_rate_kib else []
        self._serve([self.tool, self.image, self.mountpoint, "--size", str(self.size_mb),
                     "--map", self.map_file, "--foreground"] + rate, self.log)

    def allocated_bytes(self):
        """What the image takes now: blocks ever written, as on a thin disk."""
        return os.stat(self.image).st_blocks * 512

    def _teardown(self):
        try:
            super()._teardown()
        finally:
            if self.holder is not None:
                try:
                    self.allocated = self.allocated_bytes()
                    self.dirty_free_blocks = self._dirty_free_blocks()
                finally:
                    self.holder.unmount()
                    self.holder = None

    def _dirty_free_blocks(self):
        if not os.path.isfile(self.map_file) or os.path.getsize(self.map_file) == 0:
            return None
        dirty = 0
        with open(self.map_file) as ranges, open(self.image, "rb") as image:
            for line in ranges:
                first, last = (int(n) for n in line.split("-"))
                image.seek(first * BLOCK_SIZE)
                for start in range(first, last + 1, 1024):
                    data = image.read(min(1024, last + 1 - start) * BLOCK_SIZE)
                    if data.count(0) != len(data):
                        view = memoryview(data)
                        dirty += sum(view[o:o + BLOCK_SIZE] != ZERO_BLOCK
                                     for o in range(0, len(data), BLOCK_SIZE))
        return dirty


# ---------------------------------------------------------------------------
# What a run left on the image.


@dataclasses.dataclass
class BlockCounts:
    stale: int  # still the pattern: old data nobody overwrote
    zero: int   # all zero bytes
    other: int  # anything else: metadata, user files, partly written blocks

    @property
    def total(self):
        return self.stale + self.zero + self.other

    def __str__(self):
        return f"stale {self.stale}, zero {self.zero}, other {self.other} (of {self.total})"


def analyse_image(image, stale_blocks=None):
    """Counts the 4 KiB blocks of image that still hold the old pattern, that
    are all zero and that hold anything else. With a list for stale_blocks,
    the numbers of the stale blocks are appended to it."""
    stale = zero = other = 0
    index = 0
    with open(image, "rb") as f:
        while True:
            chunk = f.read(4 * MIB)
            if not chunk:
                break
            view = memoryview(chunk)
            for offset in range(0, len(chunk) - len(chunk) % BLOCK_SIZE, BLOCK_SIZE):
                block = view[offset:offset + BLOCK_SIZE]
                if block == PATTERN_BLOCK:
                    stale += 1
                    if stale_blocks is not None:
                        stale_blocks.append(index)
                elif block == ZERO_BLOCK:
                    zero += 1
                else:
                    other += 1
                index += 1
            if len(chunk) % BLOCK_SIZE:
                other += 1
                index += 1
    return BlockCounts(stale, zero, other)


def ntfs_free_clusters(image):
    """Numbers of the clusters that the volume's own bitmap marks free (the
    image must not be mounted)."""
    bitmap = subprocess.run(["ntfscat", "-f", image, "$Bitmap"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, check=True).stdout
    clusters = os.path.getsize(image) // BLOCK_SIZE
    free = []
    for number in range(clusters):
        if not bitmap[number >> 3] & (1 << (number & 7)):
            free.append(number)
    return free


# ---------------------------------------------------------------------------
# Deleted small files and long names, and where a raw image still holds them.
#
# A file of a few hundred bytes lives inside its MFT record, and a freed
# record is not free space: a fill of the free space alone never reaches it.

SMALL_FILE_BYTES = 400
NAME_CHARS = 100
SMALL_PREFIX = b"VFSMALL-"
NAME_PREFIX = "vfname-"
# A marker is its prefix, six digits and a dash; a name is stored in UTF-16LE.
_SMALL_RE = re.compile(re.escape(SMALL_PREFIX) + rb"(\d{6})-")
_NAME_RE = re.compile(re.escape(NAME_PREFIX.encode("utf-16-le")) + rb"((?:\d\x00){6})-\x00")
_MARKER_MAX = 32


def small_marker(number):
    return SMALL_PREFIX + b"%06d-" % number


def long_name(number):
    head = "%s%06d-" % (NAME_PREFIX, number)
    return head + "x" * (NAME_CHARS - len(head))


def put_deleted_markers(root, small_files, names):
    """Writes small_files files of SMALL_FILE_BYTES, each its own marker
    repeated, and names empty files with long marked names into a folder,
    then deletes the folder: their MFT records are freed, not wiped."""
    folder = os.path.join(root, "deleted")
    os.makedirs(folder)
    for number in range(small_files):
        marker = small_marker(number)
        data = (marker * (SMALL_FILE_BYTES // len(marker) + 1))[:SMALL_FILE_BYTES]
        with open(os.path.join(folder, "s%06d.bin" % number), "wb") as f:
            f.write(data)
    for number in range(names):
        open(os.path.join(folder, long_name(number)), "wb").close()
    shutil.rmtree(folder)


def find_markers(image):
    """Scans the raw image for the markers of put_deleted_markers. Returns
    ({small file number: [byte offsets]}, {name number: [byte offsets]})."""
    small, names = {}, {}
    with open(image, "rb") as f:
        base = 0
        tail = b""
        while True:
            chunk = f.read(16 * MIB)
            if not chunk:
                break
            data = tail + chunk
            start = base - len(tail)
            # A match that ends in the overlap is found again with the next chunk.
            limit = len(data) - _MARKER_MAX if len(chunk) == 16 * MIB else len(data)
            for regex, found, digits in ((_SMALL_RE, small, bytes),
                                         (_NAME_RE, names, lambda d: d[::2])):
                for match in regex.finditer(data):
                    if match.start() < limit:
                        number = int(digits(match.group(1)))
                        found.setdefault(number, []).append(start + match.start())
            tail = data[limit:]
            base += len(chunk)
    return small, names


def _fixed_up(record, sector):
    """An MFT record with its update-sequence fixups undone: the last two
    bytes of each sector hold the sequence number on disk."""
    offset, count = struct.unpack_from("<HH", record, 4)
    record = bytearray(record)
    usn = record[offset:offset + 2]
    for index in range(1, count):
        end = index * sector
        if record[end - 2:end] != usn:
            raise HarnessError("MFT record with a torn sector %d" % index)
        record[end - 2:end] = record[offset + 2 * index:offset + 2 * index + 2]
    return bytes(record)


def _runlist(data):
    """(first cluster, clusters) of each run of a non-resident attribute."""
    runs = []
    position = 0
    lcn = 0
    while position < len(data) and data[position]:
        header = data[position]
        length_size, offset_size = header & 0xF, header >> 4
        position += 1
        length = int.from_bytes(data[position:position + length_size], "little")
        position += length_size
        if offset_size == 0:
            raise HarnessError("sparse run in the MFT")
        lcn += int.from_bytes(data[position:position + offset_size], "little", signed=True)
        position += offset_size
        runs.append((lcn, length))
    return runs


def _attributes(record):
    """(type, name length, non-resident, attribute bytes) of each attribute."""
    position = struct.unpack_from("<H", record, 0x14)[0]
    while True:
        kind, length = struct.unpack_from("<II", record, position)
        if kind == 0xFFFFFFFF:
            return
        yield kind, record[position + 9], record[position + 8], record[position:position + length]
        position += length


@dataclasses.dataclass
class MftLayout:
    """Where an NTFS image keeps its MFT records and which are in use."""
    cluster_bytes: int
    record_bytes: int
    runs: list      # (first cluster, clusters) of the $MFT data
    data_bytes: int
    in_use: bytes   # the $MFT's $BITMAP

    def record_at(self, offset):
        """The number of the MFT record holding the image's byte offset, or None."""
        vcn = 0
        for lcn, length in self.runs:
            start = lcn * self.cluster_bytes
            if start <= offset < start + length * self.cluster_bytes:
                number = (vcn * self.cluster_bytes + offset - start) // self.record_bytes
                return number if number * self.record_bytes < self.data_bytes else None
            vcn += length
        return None

    def used(self, number):
        return bool(self.in_use[number >> 3] & (1 << (number & 7)))


def mft_layout(image):
    """Reads the boot sector and record 0 ($MFT) of an unmounted image."""
    with open(image, "rb") as f:
        boot = f.read(512)
        sector, per_cluster = struct.unpack_from("<HB", boot, 0x0B)
        mft_lcn = struct.unpack_from("<Q", boot, 0x30)[0]
        per_record = struct.unpack_from("<b", boot, 0x40)[0]
        cluster = sector * per_cluster
        record_bytes = per_record * cluster if per_record > 0 else 1 << -per_record
        f.seek(mft_lcn * cluster)
        record = _fixed_up(f.read(record_bytes), sector)
        runs, data_bytes, bitmap = None, 0, None
        for kind, name_length, non_resident, attribute in _attributes(record):
            if kind == 0x20:
                raise HarnessError("$MFT has an attribute list; not read here")
            if kind == 0x80 and name_length == 0:
                runs = _runlist(attribute[struct.unpack_from("<H", attribute, 0x20)[0]:])
                data_bytes = struct.unpack_from("<Q", attribute, 0x30)[0]
            elif kind == 0xB0 and not non_resident:
                length, offset = struct.unpack_from("<IH", attribute, 0x10)
                bitmap = attribute[offset:offset + length]
            elif kind == 0xB0:
                size = struct.unpack_from("<Q", attribute, 0x30)[0]
                bitmap = b""
                for lcn, length in _runlist(attribute[struct.unpack_from("<H", attribute, 0x20)[0]:]):
                    f.seek(lcn * cluster)
                    bitmap += f.read(length * cluster)
                bitmap = bitmap[:size]
    return MftLayout(cluster, record_bytes, runs, data_bytes, bitmap)


PLACES = ("free MFT records", "MFT records in use", "free clusters", "elsewhere")


def places(offsets, layout, free_clusters):
    """Counts the markers of {number: [offsets]} by the places that hold
    them (PLACES); a marker found in several places counts in each."""
    counts = dict.fromkeys(PLACES, 0)
    for found in offsets.values():
        seen = set()
        for offset in found:
            record = layout.record_at(offset)
            if record is not None:
                seen.add(PLACES[1] if layout.used(record) else PLACES[0])
            elif offset // layout.cluster_bytes in free_clusters:
                seen.add(PLACES[2])
            else:
                seen.add(PLACES[3])
        for place in seen:
            counts[place] += 1
    return counts


def ntfs_mft_bytes(image):
    """The data size of $MFT as ntfsinfo reports it (unmounted image)."""
    report = run(["ntfsinfo", "-f", "-t", "-i", "0", image])
    data = report.split("Dumping attribute $DATA", 1)[1]
    return int(re.search(r"Data size:\s+(\d+)", data).group(1))


if __name__ == "__main__":
    import sys

    if len(sys.argv) == 3 and sys.argv[1] == "analyse":
        print(analyse_image(sys.argv[2]))
    else:
        print("usage: scratch.py analyse IMAGE", file=sys.stderr)
        sys.exit(2)
