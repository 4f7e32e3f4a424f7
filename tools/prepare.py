"""What tools/demo and tools/bench need before they can run voidfill.exe:
the packages (through tools/bootstrap) and the cross-built executables."""

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
            "mkfs.ext4", "cmake", "ninja", "i686-w64-mingw32-g++", "x86_64-w64-mingw32-g++")


def say(text=""):
    print(text, flush=True)


def require_root(tool):
    if os.geteuid() != 0:
        sys.exit(f"{tool} mounts scratch volumes and needs root: sudo {sys.argv[0]}")


def ensure_packages():
    """tools/bootstrap installs whatever is missing and is quick otherwise."""
    subprocess.run([os.path.join(REPO_ROOT, "tools", "bootstrap")], cwd=REPO_ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    missing = [c for c in COMMANDS if shutil.which(c) is None]
    if missing:
        sys.exit(f"missing after tools/bootstrap: {' '.join(missing)}")


def exe_path(arch):
    return os.path.join(BUILD_DIR, f"mingw-{arch}", "voidfill.exe")


def ensure_exes(arches=ARCHES):
    """Cross-builds each architecture whose executable is missing."""
    for arch in arches:
        if os.path.isfile(exe_path(arch)):
            continue
        say(f"building voidfill.exe for {arch}")
        subprocess.run(["cmake", "--preset", f"mingw-{arch}"], cwd=REPO_ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", f"build/mingw-{arch}", "-j2"], cwd=REPO_ROOT,
                       check=True, stdout=subprocess.DEVNULL)


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


def log_to_file(path):
    """A replacement for the harness's log lines: into a file, so that the
    tool's own output stays short."""
    started = time.monotonic()
    log = open(path, "a", buffering=1)

    def write(message):
        log.write("[%7.3f] %s\n" % (time.monotonic() - started, message))
    return write
