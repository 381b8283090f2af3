#!/usr/bin/env python3
"""Checks what macOS reads from a laid-out veltoVpn.app before it runs anything.

  macos_bundle_check.py APP [--no-sections]

Every property list in the bundle must parse. The Info.plist needs bundle
versions the system accepts (up to three integers separated by dots) and names
the helper in SMPrivilegedExecutables (SMJobBless, macOS 11-12). The job in
Contents/Library/LaunchDaemons names the helper through BundleProgram
(SMAppService, macOS 13+). Every Mach-O slice of the helper carries its own
Info.plist (with SMAuthorizedClients) and launchd job as __TEXT sections;
--no-sections skips that for stand-in programs. Prints one line per finding and
exits 1 when there is any.
"""
import pathlib
import plistlib
import re
import struct
import sys

VERSION = re.compile(r"^[0-9]+(\.[0-9]+){0,2}$")
FAT_MAGIC = 0xCAFEBABE
MH_MAGIC_64 = 0xFEEDFACF
LC_SEGMENT_64 = 0x19

findings = []


def check(condition, message):
    if not condition:
        findings.append(message)
    return condition


def macho_slices(data):
    """(offset, size) of each 64-bit Mach-O image in a fat or thin file."""
    if len(data) >= 8 and struct.unpack_from(">I", data)[0] == FAT_MAGIC:
        count = struct.unpack_from(">I", data, 4)[0]
        return [struct.unpack_from(">5I", data, 8 + 20 * i)[2:4] for i in range(count)]
    return [(0, len(data))]


def sections(data, offset):
    """{(segment, section): bytes} of the 64-bit little-endian image at offset."""
    magic, _, _, _, ncmds = struct.unpack_from("<5I", data, offset)
    if magic != MH_MAGIC_64:
        return None
    found = {}
    cursor = offset + 32
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<2I", data, cursor)
        if cmd == LC_SEGMENT_64:
            nsects = struct.unpack_from("<I", data, cursor + 64)[0]
            for i in range(nsects):
                base = cursor + 72 + 80 * i
                sectname = data[base:base + 16].rstrip(b"\0").decode()
                segname = data[base + 16:base + 32].rstrip(b"\0").decode()
                size, = struct.unpack_from("<Q", data, base + 40)
                fileoff, = struct.unpack_from("<I", data, base + 48)
                found[(segname, sectname)] = data[offset + fileoff:offset + fileoff + size]
        cursor += cmdsize
    return found


def load(path):
    try:
        with open(path, "rb") as f:
            return plistlib.load(f)
    except Exception as error:  # any parse failure is a finding
        findings.append(f"{path}: not a property list ({error})")
        return None


def check_versions(where, plist):
    for key in ("CFBundleShortVersionString", "CFBundleVersion"):
        value = plist.get(key)
        check(isinstance(value, str) and VERSION.match(value),
              f"{where}: {key} {value!r} is not up to three integers separated by dots")


def main(argv):
    app = pathlib.Path(argv[1])
    with_sections = "--no-sections" not in argv[2:]
    contents = app / "Contents"

    plists = sorted(app.rglob("*.plist"))
    check(plists, f"{app}: no property lists")
    for path in plists:
        load(path)

    info = load(contents / "Info.plist") or {}
    bundle_id = info.get("CFBundleIdentifier")
    check(isinstance(bundle_id, str) and bundle_id, "Info.plist: no CFBundleIdentifier")
    executable = info.get("CFBundleExecutable", "")
    check((contents / "MacOS" / executable).is_file(),
          f"Info.plist: CFBundleExecutable {executable!r} is not in Contents/MacOS")
    check_versions("Info.plist", info)
    privileged = info.get("SMPrivilegedExecutables")
    label = None
    if check(isinstance(privileged, dict) and len(privileged) == 1,
             "Info.plist: SMPrivilegedExecutables must name exactly the helper"):
        label, requirement = next(iter(privileged.items()))
        check(isinstance(requirement, str) and f'identifier "{label}"' in requirement,
              f"Info.plist: the helper's requirement does not name its identifier {label}")
    helper = contents / "Library" / "LaunchServices" / (label or "?")
    check(helper.is_file(), f"the helper is not at Contents/Library/LaunchServices/{label}")

    daemons = sorted((contents / "Library" / "LaunchDaemons").glob("*.plist"))
    if check(len(daemons) == 1, "Contents/Library/LaunchDaemons must hold one job"):
        job = load(daemons[0]) or {}
        check(daemons[0].name == f"{label}.plist", f"{daemons[0].name}: not named by the label {label}")
        check(job.get("Label") == label, f"{daemons[0].name}: Label {job.get('Label')!r} is not {label}")
        program = job.get("BundleProgram", "")
        check(program == f"Contents/Library/LaunchServices/{label}",
              f"{daemons[0].name}: BundleProgram {program!r} does not name the helper in the bundle")
        check("Program" not in job and "ProgramArguments" not in job,
              f"{daemons[0].name}: a bundle job names its program by BundleProgram only")
        check(bundle_id in job.get("AssociatedBundleIdentifiers", []),
              f"{daemons[0].name}: AssociatedBundleIdentifiers lacks {bundle_id}")

    if with_sections and helper.is_file():
        data = helper.read_bytes()
        for number, (offset, _) in enumerate(macho_slices(data)):
            found = sections(data, offset)
            where = f"helper slice {number}"
            if not check(found is not None, f"{where}: not a 64-bit Mach-O image"):
                continue
            embedded = {}
            for name in ("__info_plist", "__launchd_plist"):
                if check(("__TEXT", name) in found, f"{where}: no __TEXT,{name} section"):
                    try:
                        embedded[name] = plistlib.loads(found[("__TEXT", name)].rstrip(b"\0"))
                    except Exception as error:
                        findings.append(f"{where}: __TEXT,{name} is not a property list ({error})")
            helper_info = embedded.get("__info_plist")
            if helper_info is not None:
                check(helper_info.get("CFBundleIdentifier") == label,
                      f"{where}: embedded CFBundleIdentifier is not {label}")
                check_versions(f"{where} embedded Info.plist", helper_info)
                clients = helper_info.get("SMAuthorizedClients")
                check(isinstance(clients, list) and clients and all(isinstance(c, str) and c for c in clients),
                      f"{where}: SMAuthorizedClients names no requirement")
            job = embedded.get("__launchd_plist")
            if job is not None:
                check(job.get("Label") == label, f"{where}: embedded job's Label is not {label}")
                arguments = job.get("ProgramArguments") or [job.get("Program")]
                check(arguments[0] == f"/Library/PrivilegedHelperTools/{label}",
                      f"{where}: embedded job does not run /Library/PrivilegedHelperTools/{label}")

    for finding in findings:
        print(f"macos_bundle_check: {finding}")
    if findings:
        return 1
    print(f"macos_bundle_check: OK: {len(plists)} property lists in {app.name}"
          + (", helper sections in every slice" if with_sections else ""))
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv))
