#!/usr/bin/env python3
"""Checks a cross-built voidfill.exe without running it: the PE format of
its architecture, the console subsystem, and imports that every Windows has
(the MinGW runtime must be linked in, not left to DLLs beside the exe), and
Vista (6.0) as the oldest system in the header's subsystem and OS versions.
With --unattended (voidfill-batch.exe), no user32 either: the program must
start where there is no desktop.

    check_pe.py [--unattended] i686|x86_64 voidfill.exe
"""
import re
import subprocess
import sys

# objdump's name of the format and the optional header's magic.
FORMATS = {"i686": ("pei-i386", "PE32"), "x86_64": ("pei-x86-64", "PE32+")}
CONSOLE_SUBSYSTEM = 3
# What the header claims as the oldest system: Vista, which the program's
# imports (GetTickCount64, CancelSynchronousIo) need.
OLDEST_SYSTEM = {"MajorSubsystemVersion": 6, "MinorSubsystemVersion": 0,
                 "MajorOSystemVersion": 6, "MinorOSystemVersion": 0}
NEEDED = {"kernel32.dll", "user32.dll"}
# Windows' own C runtimes; libstdc++-6.dll, libgcc_s_*.dll or
# libwinpthread-1.dll would have to be shipped beside the exe.
SYSTEM = NEEDED | {"advapi32.dll", "msvcrt.dll", "ucrtbase.dll"}


# What the unattended exe may import: no user32, nor anything else that
# wants a window station (advapi32 enables the process's rights).
UNATTENDED_NEEDED = {"kernel32.dll"}
UNATTENDED_SYSTEM = UNATTENDED_NEEDED | {"advapi32.dll", "msvcrt.dll", "ucrtbase.dll"}


def check(arch, exe, needed=NEEDED, system=SYSTEM):
    done = subprocess.run(["%s-w64-mingw32-objdump" % arch, "-p", exe],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        return ["objdump cannot read it: " + done.stdout.strip()]
    dump = done.stdout
    file_format = re.search(r"file format (\S+)", dump)
    magic = re.search(r"^Magic\s+\S+\s+\((\S+)\)", dump, re.M)
    subsystem = re.search(r"^Subsystem\s+([0-9a-f]+)", dump, re.M)
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    problems = []
    found = (file_format and file_format.group(1), magic and magic.group(1))
    if found != FORMATS[arch]:
        problems.append("format %s %s, expected %s %s" % (found + FORMATS[arch]))
    if not subsystem or int(subsystem.group(1), 16) != CONSOLE_SUBSYSTEM:
        problems.append("subsystem %s, expected %d (console)"
                        % (subsystem and subsystem.group(1), CONSOLE_SUBSYSTEM))
    for field, wanted in OLDEST_SYSTEM.items():
        found_version = re.search(r"^%s\s+(\d+)" % field, dump, re.M)
        if not found_version or int(found_version.group(1)) != wanted:
            problems.append("%s %s, expected %d (Vista)"
                            % (field, found_version and found_version.group(1), wanted))
    if needed - dlls:
        problems.append("does not import %s" % ", ".join(sorted(needed - dlls)))
    foreign = sorted(d for d in dlls - system if not d.startswith("api-ms-win-crt-"))
    if foreign:
        problems.append("imports DLLs beyond the system's own (%s): %s"
                        % (", ".join(sorted(system)), ", ".join(foreign)))
    print("%s: %s %s, subsystem %s, imports %s"
          % (exe, found[0], found[1], subsystem and subsystem.group(1), ", ".join(sorted(dlls))))
    return problems


if __name__ == "__main__":
    arguments = sys.argv[1:]
    unattended = arguments[:1] == ["--unattended"]
    if unattended:
        arguments = arguments[1:]
    if len(arguments) != 2 or arguments[0] not in FORMATS:
        sys.exit("usage: check_pe.py [--unattended] i686|x86_64 voidfill.exe")
    if unattended:
        problems = check(arguments[0], arguments[1], UNATTENDED_NEEDED, UNATTENDED_SYSTEM)
    else:
        problems = check(arguments[0], arguments[1])
    for problem in problems:
        print("FAILED: " + problem)
    sys.exit(1 if problems else 0)
