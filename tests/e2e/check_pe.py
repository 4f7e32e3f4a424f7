#!/usr/bin/env python3
"""Checks a cross-built voidfill.exe without running it: the PE format of
its architecture, the console subsystem, and imports that every Windows has
(the MinGW runtime must be linked in, not left to DLLs beside the exe).

    check_pe.py i686|x86_64 voidfill.exe
"""
import re
import subprocess
import sys

# objdump's name of the format and the optional header's magic.
FORMATS = {"i686": ("pei-i386", "PE32"), "x86_64": ("pei-x86-64", "PE32+")}
CONSOLE_SUBSYSTEM = 3
NEEDED = {"kernel32.dll", "user32.dll"}
# Windows' own C runtimes; libstdc++-6.dll, libgcc_s_*.dll or
# libwinpthread-1.dll would have to be shipped beside the exe.
SYSTEM = NEEDED | {"msvcrt.dll", "ucrtbase.dll"}


def check(arch, exe):
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
    if NEEDED - dlls:
        problems.append("does not import %s" % ", ".join(sorted(NEEDED - dlls)))
    foreign = sorted(d for d in dlls - SYSTEM if not d.startswith("api-ms-win-crt-"))
    if foreign:
        problems.append("imports DLLs that Windows lacks: %s" % ", ".join(foreign))
    print("%s: %s %s, subsystem %s, imports %s"
          % (exe, found[0], found[1], subsystem and subsystem.group(1), ", ".join(sorted(dlls))))
    return problems


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in FORMATS:
        sys.exit("usage: check_pe.py i686|x86_64 voidfill.exe")
    problems = check(sys.argv[1], sys.argv[2])
    for problem in problems:
        print("FAILED: " + problem)
    sys.exit(1 if problems else 0)
