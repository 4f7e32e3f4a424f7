"""Scratch volumes for the end-to-end scenarios, the demo and the benchmark.

voidfill fills whatever volume it is given, so it only ever sees volumes made
here: a tmpfs, an ext4 image on a loop device or an NTFS image served by
ntfs-3g, each sized in MiB, living under /tmp or the project's build folder,
and unmounted again on every way out (normal return, exception, Ctrl+C,
SIGTERM, interpreter exit).

The NTFS image is first covered with a recognisable pattern that stands for
old deleted data, then formatted quickly (which writes only the metadata), so
that after a run the image itself shows which of its 4 KiB blocks were
overwritten: see analyse_image().
"""

import atexit
import contextlib
import dataclasses
import hashlib
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import threading
import time

BLOCK_SIZE = 4096
# 16 bytes, repeated over each 4 KiB block of a fresh image.
MARKER = b"OLD DELETED DATA"
PATTERN_BLOCK = MARKER * (BLOCK_SIZE // len(MARKER))
ZERO_BLOCK = bytes(BLOCK_SIZE)

MAX_SIZE_MB = 2048
MIB = 1024 * 1024

# The folder in which the program's step over the free MFT records of an
# NTFS volume makes its small files.
RECORD_FOLDER = "VOIDFILL-MFT-7C2E9A41D3B6F058.TMP"

REPO_ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEFAULT_WORK_ROOT = os.path.join(REPO_ROOT, "build", "scratch")


class ScratchError(RuntimeError):
    pass


# ---------------------------------------------------------------------------
# Clean-up that runs however the script ends.

_cleanups = []  # (token, description, callable), run newest first
_cleanup_lock = threading.RLock()
_next_token = [0]
_CLEANUP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def on_cleanup(description, action):
    """Registers action to run at clean-up; returns a token for forget()."""
    with _cleanup_lock:
        _next_token[0] += 1
        token = _next_token[0]
        _cleanups.append((token, description, action))
        return token


def forget(token):
    with _cleanup_lock:
        _cleanups[:] = [c for c in _cleanups if c[0] != token]


def cleanup_all():
    """Runs every pending clean-up, newest first; signals wait meanwhile so
    that a second Ctrl+C cannot leave a mount behind."""
    blocked = False
    if threading.current_thread() is threading.main_thread():
        signal.pthread_sigmask(signal.SIG_BLOCK, _CLEANUP_SIGNALS)
        blocked = True
    try:
        while True:
            with _cleanup_lock:
                if not _cleanups:
                    return
                _, description, action = _cleanups.pop()
            try:
                action()
            except Exception as error:  # keep going: the rest must still run
                print(f"scratch: clean-up of {description} failed: {error}", flush=True)
    finally:
        if blocked:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _CLEANUP_SIGNALS)


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
# Helpers.


def run(argv, **kwargs):
    """Runs a command, raising with its output when it fails."""
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)
    if done.returncode != 0:
        raise ScratchError(f"{' '.join(argv)} failed ({done.returncode}):\n{done.stdout}")
    return done.stdout


def _check_size(size_mb):
    if not isinstance(size_mb, int) or size_mb <= 0 or size_mb > MAX_SIZE_MB:
        raise ScratchError(f"scratch volumes are 1..{MAX_SIZE_MB} MiB, not {size_mb!r}")


def _check_place(path):
    """Scratch files and mount points only under /tmp or the build folder."""
    real = os.path.realpath(path)
    allowed = ("/tmp/", os.path.join(REPO_ROOT, "build") + "/")
    if not real.startswith(allowed):
        raise ScratchError(f"{real} is not under /tmp or {REPO_ROOT}/build")
    return real


def is_mounted(path):
    real = os.path.realpath(path)
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            if len(fields) > 1 and fields[1].replace("\\040", " ") == real:
                return True
    return False


def _umount(mountpoint, timeout=30.0):
    """Unmounts, retrying while a process that is still ending holds it."""
    deadline = time.monotonic() + timeout
    while is_mounted(mountpoint):
        done = subprocess.run(["umount", mountpoint], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        if done.returncode == 0:
            break
        if time.monotonic() > deadline:
            # Detach it from the tree at least; it goes once the last user ends.
            subprocess.run(["umount", "-l", mountpoint])
            raise ScratchError(f"umount {mountpoint}: {done.stdout.strip()}")
        time.sleep(0.2)


def free_bytes(path):
    """Bytes free for an unprivileged user, as Windows programs see it."""
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def total_bytes(path):
    st = os.statvfs(path)
    return st.f_blocks * st.f_frsize


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
    """A mounted scratch volume; a context manager that unmounts on exit."""

    kind = "volume"

    def __init__(self, name, size_mb, work_root):
        _check_size(size_mb)
        self.name = name
        self.size_mb = size_mb
        self.work_root = _check_place(work_root)
        os.makedirs(self.work_root, exist_ok=True)
        self.mountpoint = os.path.join(self.work_root, name)
        self._token = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.unmount()
        return False

    def free_bytes(self):
        return free_bytes(self.mountpoint)

    def total_bytes(self):
        return total_bytes(self.mountpoint)

    def path(self, *parts):
        return os.path.join(self.mountpoint, *parts)

    def _prepare_mountpoint(self):
        if is_mounted(self.mountpoint):
            # Left by a run that was killed outright; the place is ours.
            print(f"scratch: unmounting {self.mountpoint}, left by an earlier run", flush=True)
            _umount(self.mountpoint)
        os.makedirs(self.mountpoint, exist_ok=True)
        if os.listdir(self.mountpoint):
            raise ScratchError(f"{self.mountpoint} is not empty")

    def _registered(self):
        self._token = on_cleanup(f"{self.kind} {self.mountpoint}", self._teardown)

    def unmount(self):
        if self._token is not None:
            forget(self._token)
            self._token = None
            self._teardown()

    def _teardown(self):
        _umount(self.mountpoint)


class TmpfsVolume(Volume):
    kind = "tmpfs"

    def __init__(self, name="tmpfs", size_mb=64, work_root=DEFAULT_WORK_ROOT):
        super().__init__(name, size_mb, work_root)
        self._prepare_mountpoint()
        run(["mount", "-t", "tmpfs", "-o", f"size={size_mb}m,mode=0777", "tmpfs",
             self.mountpoint])
        self._registered()


class ImageVolume(Volume):
    """A volume kept in an image file beside its mount point."""

    def __init__(self, name, size_mb, work_root):
        super().__init__(name, size_mb, work_root)
        self.image = os.path.join(self.work_root, name + ".img")

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
            raise ScratchError(f"{self.mountpoint} is still mounted")
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.image)


class Ext4Volume(ImageVolume):
    """ext4 in an image file on the build folder's disk, through a loop device.
    No blocks are reserved for root and the inode tables are written at once,
    so neither distorts a measurement made on it."""

    kind = "ext4"

    def __init__(self, name="ext4", size_mb=2048, work_root=DEFAULT_WORK_ROOT):
        super().__init__(name, size_mb, work_root)
        self._prepare_mountpoint()
        self._create_image(pattern=False)
        # nodiscard: on an image file a discard punches holes into it.
        run(["mkfs.ext4", "-q", "-F", "-m", "0",
             "-E", "lazy_itable_init=0,lazy_journal_init=0,nodiscard", self.image])
        run(["mount", "-o", "loop", self.image, self.mountpoint])
        self._registered()


class NtfsVolume(ImageVolume):
    """NTFS in an image file, served by ntfs-3g running in the foreground as
    our own child, so that its end can be waited for before the image is
    read (it goes on writing for a moment after umount returns)."""

    kind = "ntfs"

    def __init__(self, name="ntfs", size_mb=256, work_root=DEFAULT_WORK_ROOT,
                 pattern=True, readonly=False):
        super().__init__(name, size_mb, work_root)
        self._prepare_mountpoint()
        self._process = None
        self._create_image(pattern)
        # Quick format: only the metadata is written, the pattern stays.
        run(["mkntfs", "--fast", "--force", "--quiet", "-c", str(BLOCK_SIZE),
             "-L", name.upper()[:32], self.image])
        self.log = os.path.join(self.work_root, name + ".ntfs-3g.log")
        self._start(readonly)

    def _start(self, readonly):
        options = "no_detach,big_writes" + (",ro" if readonly else "")
        with open(self.log, "ab") as log:
            # A session of its own: a Ctrl+C at the terminal must not end it
            # before the programs using the volume are gone.
            self._process = subprocess.Popen(
                ["ntfs-3g", "-o", options, self.image, self.mountpoint],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                start_new_session=True)
        self._registered()
        deadline = time.monotonic() + 20
        while not is_mounted(self.mountpoint):
            if self._process.poll() is not None:
                self.unmount()
                raise ScratchError(f"ntfs-3g ended at once; see {self.log}")
            if time.monotonic() > deadline:
                self.unmount()
                raise ScratchError(f"ntfs-3g did not mount {self.image}")
            time.sleep(0.05)

    def _teardown(self):
        try:
            _umount(self.mountpoint)
        finally:
            self._wait_for_driver()

    def _wait_for_driver(self):
        if self._process is None:
            return
        try:
            self._process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process = None

    def remount(self, readonly):
        """ntfs-3g cannot switch in place: unmount and serve the image again."""
        self.unmount()
        self._start(readonly)


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
            raise ScratchError("MFT record with a torn sector %d" % index)
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
            raise ScratchError("sparse run in the MFT")
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
                raise ScratchError("$MFT has an attribute list; not read here")
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


# ---------------------------------------------------------------------------
# Watching a volume from outside.


def wait_until(predicate, timeout, interval=0.01):
    """Polls predicate until it is true; returns whether it became true."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)


if __name__ == "__main__":
    import sys

    if len(sys.argv) == 3 and sys.argv[1] == "analyse":
        print(analyse_image(sys.argv[2]))
    else:
        print("usage: scratch.py analyse IMAGE", file=sys.stderr)
        sys.exit(2)
