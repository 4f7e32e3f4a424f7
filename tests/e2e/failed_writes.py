"""strace on the program's Unix process, recording its writes that fail:
whether a block really came back short, as the kernel saw it."""

import shutil
import subprocess
import time

from scratch import HarnessError


class FailedWrites:
    """Records the write calls of a process that fail, with strace attached
    to it, to tell whether a block really came back short."""

    def __init__(self, pid, log_path):
        if shutil.which("strace") is None:
            raise HarnessError("strace is missing (tools/bootstrap installs it)")
        self.log_path = log_path
        self._process = subprocess.Popen(
            ["strace", "-f", "-qq", "-e", "trace=write,pwrite64,writev", "-e", "status=failed",
             "-o", log_path, "-p", str(pid)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # strace has attached once the process shows it as its tracer.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self._tracer(pid) == 0:
            time.sleep(0.01)

    @staticmethod
    def _tracer(pid):
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("TracerPid:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return -1

    def disk_full(self, timeout=30):
        """Waits for strace to end with its process; the number of writes
        that failed because the volume was full."""
        try:
            self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.terminate()
            self._process.wait()
        # Only writes of the zero block count, not those of Wine's own pipes.
        with open(self.log_path) as f:
            return sum(1 for line in f if "ENOSPC" in line and '"\\0\\0\\0\\0' in line)
