"""Another program that fills the volume while voidfill runs: started by a
scenario, it runs this file as a script of its own (python3 occupier.py
VOLUME NAME), so that its allocation races voidfill's writes from outside.
"""

import errno
import hashlib
import os
import random
import select
import subprocess
import sys
import time

import scratch
import steps
import texts

MARGIN = 64 * 1024  # far below the reserve: voidfill never plans to use it
HEADER_BYTES = 2 * 1024 * 1024
# The grab is made this close to the end, where it is small and quick.
OCCUPY_BELOW = 64 * 1024 * 1024


def header(seed=77):
    return random.Random(seed).randbytes(HEADER_BYTES)


def sha256(size):
    """What the occupier's file must hold: its header, then zeros."""
    digest = hashlib.sha256(header())
    zeros = bytes(1024 * 1024)
    rest = size - HEADER_BYTES
    while rest > 0:
        digest.update(zeros[:min(rest, len(zeros))])
        rest -= len(zeros)
    return digest.hexdigest()


def start(volume_path, name):
    """Starts another process that takes almost all free space of the volume
    while voidfill is in the middle of a block. It prints the size of the
    file it made when voidfill's temporary file is gone."""
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), volume_path, name],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    # It holds a file open on the volume: it must not outlive the scenario.
    scratch.on_cleanup("occupier %d" % process.pid, process.kill)
    return process


def size(process, timeout=60):
    """Tells the occupier that the run is over (its standard input closes)
    and returns the size of its file."""
    output = process.communicate(timeout=timeout)[0]
    if process.returncode != 0 or not output.strip().isdigit():
        raise scratch.HarnessError("the occupier failed: %r" % output)
    return int(output)


def occupy(volume_path, name):
    """Writes a known header, waits until voidfill is close to the end and in
    the middle of a full block, then allocates all free space but MARGIN in
    one call: on ext4 that takes a fraction of the time voidfill needs for
    the rest of its block, which therefore comes back short. Waits for the
    temporary file to go, then prints the file's size."""
    path = os.path.join(volume_path, name)
    temp = os.path.join(volume_path, steps.TEMP_NAME)
    stat = os.stat
    free_bytes = scratch.free_bytes

    def temp_size():
        try:
            return stat(temp).st_size
        except FileNotFoundError:
            return None

    fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o644)
    try:
        os.write(fd, header())
        os.fsync(fd)
        size = HEADER_BYTES
        while temp_size() is None:
            if select.select([sys.stdin], [], [], 0.001)[0]:
                break
        while True:
            length = temp_size()
            if length is None:
                break
            free = free_bytes(volume_path)
            if free > OCCUPY_BELOW:
                time.sleep(0.0005)
                continue
            in_block = length % steps.BLOCK_BYTES
            # A full block is on its way: it was planned with more than the
            # reserve and a whole block free.
            if in_block and free + in_block > texts.RESERVE_BYTES + steps.BLOCK_BYTES:
                try:
                    os.posix_fallocate(fd, size, free - MARGIN)
                    break
                except OSError as error:
                    # voidfill's block came first; try again on the next one.
                    if error.errno != errno.ENOSPC:
                        raise
        # Until the temporary file is gone or the run is over.
        while temp_size() is not None:
            if select.select([sys.stdin], [], [], 0.005)[0]:
                break
        os.fsync(fd)
        # A failed attempt may have kept part of its allocation.
        size = os.fstat(fd).st_size
    finally:
        os.close(fd)
    print(size)


if __name__ == "__main__":
    if len(sys.argv) == 3:
        occupy(sys.argv[1], sys.argv[2])
    else:
        sys.exit("usage: occupier.py VOLUME NAME")
