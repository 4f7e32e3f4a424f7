#!/usr/bin/env python3
"""Checks the resources of a built voidfill.exe without running it: its
manifest (what Windows reads before the program starts: execution level,
themed controls, DPI awareness, supported systems) and its version
information (what Explorer shows), read from the PE resource directory.
With --unattended (voidfill-batch.exe, which has no window): the execution
level and the supported systems only.

    check_resources.py [--unattended] VERSION voidfill.exe     (VERSION as in 1.0.0.0)
"""
import struct
import sys
import xml.etree.ElementTree as ET

RT_VERSION, RT_MANIFEST = 16, 24
ASM1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
VISTA_TO_11 = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                   "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
COMMON_CONTROLS_6 = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                     "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df"}


def resources(image):
    """{(type, name, language): data} from the resource directory, whose
    offsets are relative to its start and whose leaves hold image RVAs."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 96)
    root_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]

    def offset(rva):
        for at in range(optional + optional_size, optional + optional_size + 40 * sections, 40):
            size, start, _, raw = struct.unpack_from("<4I", image, at + 8)
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x lies in no section" % rva)

    root = offset(root_rva)

    def walk(table, path):
        named, numbered = struct.unpack_from("<12xHH", image, root + table)
        for entry in range(root + table + 16, root + table + 16 + 8 * (named + numbered), 8):
            name, target = struct.unpack_from("<II", image, entry)
            if name & 0x80000000:
                length = struct.unpack_from("<H", image, root + (name & 0x7FFFFFFF))[0]
                start = root + (name & 0x7FFFFFFF) + 2
                name = image[start:start + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                yield from walk(target & 0x7FFFFFFF, path + (name,))
            else:
                rva, size = struct.unpack_from("<II", image, root + target)
                yield path + (name,), image[offset(rva):offset(rva) + size]

    return dict(walk(0, ()))


def version_node(data, at=0):
    """(key, value bytes, children) of one VS_VERSIONINFO node: length, value
    length (in characters for text), type, UTF-16 key, value and children,
    each 32-bit aligned."""
    length, value_length, is_text = struct.unpack_from("<3H", data, at)
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value = data[value_at:value_at + value_length * (2 if is_text else 1)]
    children, child = [], (value_at + len(value) + 3) & ~3
    while child < at + length:
        children.append(version_node(data, child))
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, value, children


def check_manifest(text, windowed=True):
    """The four settings (two without a window), each where Windows looks
    for it: in its element and XML namespace; a misplaced one is silently
    ignored."""
    root = ET.fromstring(text)
    path = "/".join
    level = root.find(path(ASM3 + tag for tag in ("trustInfo", "security", "requestedPrivileges",
                                                  "requestedExecutionLevel")))
    identities = [e.attrib for e in root.iterfind(path(ASM1 + tag for tag in ("dependency",
                                                       "dependentAssembly", "assemblyIdentity")))]
    settings = root.find(path((ASM3 + "application", ASM3 + "windowsSettings")))
    supported = {e.get("Id") for e in root.iterfind(path(COMPAT + tag for tag in ("compatibility",
                                                          "application", "supportedOS")))}
    problems = [] if root.tag == ASM1 + "assembly" else ["root element %s" % root.tag]
    if level is None or (level.get("level"), level.get("uiAccess")) != ("asInvoker", "false"):
        problems.append("execution level not asInvoker without uiAccess")
    if windowed and not any(COMMON_CONTROLS_6.items() <= identity.items()
                            for identity in identities):
        problems.append("no dependency on Common-Controls 6: %s" % identities)
    aware = settings is not None and settings.findtext(WS2005 + "dpiAware", "").strip()
    awareness = settings is not None and settings.findtext(WS2016 + "dpiAwareness", "").strip()
    if windowed and (aware, awareness) != ("true/pm", "PerMonitorV2"):
        problems.append("DPI awareness %r, fallback %r" % (awareness, aware))
    if supported != VISTA_TO_11:
        problems.append("supported systems %s" % sorted(supported))
    return problems


def check_version(data, version, exe_name):
    """The numbers Windows compares and the strings Explorer shows, both
    equal to the build's version."""
    key, fixed, children = version_node(data)
    numbers = struct.unpack_from("<13I", fixed) if len(fixed) == 52 else (0,) * 13
    wanted = tuple(int(n) for n in version.split("."))
    as_words = lambda high, low: (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
    blocks = {child[0]: child[2] for child in children}
    strings = {table[0]: {k: v.decode("utf-16-le").rstrip("\0") for k, v, _ in table[2]}
               for table in blocks.get("StringFileInfo", [])}
    translations = {k: struct.unpack("<%dH" % (len(v) // 2), v) for k, v, _ in blocks.get("VarFileInfo", [])}
    problems = []
    if key != "VS_VERSION_INFO" or numbers[0] != 0xFEEF04BD:
        problems.append("no VS_FIXEDFILEINFO")
    if as_words(*numbers[2:4]) != wanted or as_words(*numbers[4:6]) != wanted:
        problems.append("file version %s, product version %s, expected %s"
                        % (as_words(*numbers[2:4]), as_words(*numbers[4:6]), version))
    if list(strings) != ["040904B0"]:
        problems.append("string tables %s, expected US English, Unicode (040904B0)" % list(strings))
    table = strings.get("040904B0", {})
    exact = {"ProductName": "VOIDFILL", "OriginalFilename": exe_name,
             "FileVersion": version, "ProductVersion": version}
    for name, text in exact.items():
        if table.get(name) != text:
            problems.append("%s %r, expected %r" % (name, table.get(name), text))
    for name in ("FileDescription", "InternalName"):
        if not table.get(name):
            problems.append("no " + name)
    if not table.get("LegalCopyright", "").startswith("Copyright (C) "):
        problems.append("LegalCopyright %r" % table.get("LegalCopyright"))
    if translations != {"Translation": (0x0409, 1200)}:
        problems.append("translations %s, expected US English, Unicode" % translations)
    return problems


def check(version, exe, windowed=True):
    with open(exe, "rb") as file:
        found = resources(file.read())
    manifests = [key for key in found if key[0] == RT_MANIFEST]
    versions = [key for key in found if key[0] == RT_VERSION]
    print("%s: resources %s" % (exe, sorted(found, key=str)))
    problems = []
    if [key[1] for key in manifests] != [1]:
        problems.append("manifests %s, expected one, id 1" % manifests)
    else:
        problems += check_manifest(found[manifests[0]], windowed)
    if [key[1] for key in versions] != [1]:
        problems.append("version resources %s, expected one, id 1" % versions)
    else:
        problems += check_version(found[versions[0]], version,
                                  "voidfill.exe" if windowed else "voidfill-batch.exe")
    return problems


if __name__ == "__main__":
    arguments = sys.argv[1:]
    unattended = arguments[:1] == ["--unattended"]
    if unattended:
        arguments = arguments[1:]
    if len(arguments) != 2:
        sys.exit(__doc__.strip().split("\n")[-1].strip())
    problems = check(arguments[0], arguments[1], not unattended)
    for problem in problems:
        print("FAILED: " + problem)
    sys.exit(1 if problems else 0)
