"""What tools/demo and tools/bench need before they can run voidfill.exe:
the packages (through tools/bootstrap), the cross-built executables and
Wine's template prefix. Each of these steps, which take minutes on a fresh
machine, shows as one line while it runs, its output kept in a log file."""

import os
import shutil
import subprocess
import sys
import time

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
E2E_DIR = os.path.join(REPO_ROOT, "tests", "e2e")
BUILD_DIR = os.path.join(REPO_ROOT, "build")
ARCHES = ("x86_64", "i686")

COMMANDS = ("wine", "wineserver", "Xvfb", "xdotool", "import", "ntfs-3g", "mkntfs", "ntfscat",
            "mkfs.ext4", "cmake", "ninja", "i686-w64-mingw32-g++", "x86_64-w64-mingw32-g++",
            "qemu-img")
# Lines of a failed step's log shown with its message.
LOG_TAIL_LINES = 15


def say(text=""):
    print(text, flush=True)


def require_root(tool):
    if os.geteuid() != 0:
        sys.exit(f"{tool} mounts scratch volumes and needs root: sudo {sys.argv[0]}")


class Phase:
    """The line of one step: its name as soon as the step begins, how long
    it took once it is done. The step's own output goes to a log file."""

    WIDTH = 34
    current = None

    def __init__(self, name):
        self.started = time.monotonic()
        print(f"  {name} {'.' * max(2, self.WIDTH - len(name))} ", end="", flush=True)
        Phase.current = self

    def done(self, note=""):
        print(f"{time.monotonic() - self.started:6.1f} s" + (f"   {note}" if note else ""),
              flush=True)
        Phase.current = None

    @classmethod
    def cut_short(cls, stop):
        """Ends the open line, if any, when an exception or a signal ends the tool."""
        if cls.current is not None:
            signalled = isinstance(stop, (KeyboardInterrupt, SystemExit)) and interrupted(stop)
            cls.current.done("stopped" if signalled else "failed")


def shown(path):
    """A path as the tools print it: relative to the current folder."""
    return os.path.relpath(path)


def run_logged(argv, log):
    """Runs a command with its output appended to the open file log; on a
    failure the tool stops with the end of that log."""
    log.write(f"$ {' '.join(argv)}\n")
    log.flush()
    status = subprocess.run(argv, cwd=REPO_ROOT, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT).returncode
    if status != 0:
        log.flush()
        with open(log.name, errors="replace") as f:
            tail = "".join(f.readlines()[-LOG_TAIL_LINES:])
        sys.exit(f"{' '.join(argv)} failed (status {status}); the end of {shown(log.name)}:\n"
                 f"{tail}")


def ensure_packages(folder):
    """tools/bootstrap installs whatever is missing (minutes on a fresh
    machine) and is quick otherwise; its output goes to folder/bootstrap.log."""
    phase = Phase("installing packages")
    path = os.path.join(folder, "bootstrap.log")
    with open(path, "w") as log:
        run_logged([os.path.join(REPO_ROOT, "tools", "bootstrap")], log)
    with open(path) as log:
        outcome = (log.read().strip().splitlines() or ["done"])[-1].removeprefix("bootstrap: ")
    missing = [c for c in COMMANDS if shutil.which(c) is None]
    if missing:
        sys.exit(f"missing after tools/bootstrap: {' '.join(missing)}")
    phase.done(f"{outcome}; log {shown(path)}")


def exe_path(arch):
    return os.path.join(BUILD_DIR, f"mingw-{arch}", "voidfill.exe")


def build_exes(arches, log):
    """Cross-builds each architecture whose executable is missing, its
    output into the open file log; the executables it built."""
    built = []
    for arch in arches:
        if os.path.isfile(exe_path(arch)):
            continue
        run_logged(["cmake", "--preset", f"mingw-{arch}"], log)
        run_logged(["cmake", "--build", f"build/mingw-{arch}", "-j2"], log)
        built.append(exe_path(arch))
    return built


def building_note(built, log):
    return (f"built {', '.join(shown(p) for p in built)}; log {shown(log)}" if built
            else "nothing to build")


def ensure_exes(arches, folder):
    """build_exes on a line of its own, logged into folder/build.log."""
    phase = Phase("building")
    path = os.path.join(folder, "build.log")
    with open(path, "w") as log:
        built = build_exes(arches, log)
    phase.done(building_note(built, path))


def ensure_wine(harness, options, log):
    """The first session in a build folder makes Wine's template prefix
    (a minute or more); that gets a line of its own, the harness's lines
    going to log. Later sessions only copy the template."""
    if harness.template_ready(options.workdir, options.arch):
        return
    phase = Phase("preparing Wine (first time only)")
    with harness.Session("prepare", options):
        pass
    phase.done(f"log {shown(log)}")


def import_e2e():
    """Makes the end-to-end harness and the scratch volumes importable."""
    if E2E_DIR not in sys.path:
        sys.path.insert(0, E2E_DIR)


def require_loader(arch, tool):
    """Stops the tool, with the reason, where Wine cannot start the exe of
    arch on this host (the i686 one needs the 32-bit loader)."""
    import harness
    try:
        harness.loader_for(arch)
    except harness.HarnessError as error:
        sys.exit(f"{tool}: the {arch} build cannot run here: {error}; "
                 "the x86_64 build (the default) can")


def interrupted(stop):
    """Whether a KeyboardInterrupt or SystemExit ended the tool because of a
    signal (the handlers raise SystemExit(128 + signal)), not because it
    stopped by itself, for example with a message."""
    return not isinstance(stop, SystemExit) or (isinstance(stop.code, int) and stop.code >= 128)


def run_main(main, stopped):
    """Runs a tool's main and exits with its status. A step cut short ends
    its line first; a signal or Ctrl+C ends the tool with the text stopped."""
    try:
        sys.exit(main())
    except (KeyboardInterrupt, SystemExit) as stop:
        Phase.cut_short(stop)
        if not interrupted(stop):
            raise
        say("\n" + stopped)
        sys.exit(130)
    except BaseException as error:
        Phase.cut_short(error)
        raise


def log_to_file(path):
    """A replacement for the harness's log lines: into a file, so that the
    tool's own output stays short."""
    started = time.monotonic()
    log = open(path, "w", buffering=1)

    def write(message):
        log.write("[%7.3f] %s\n" % (time.monotonic() - started, message))
    return write
