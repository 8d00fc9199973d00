#!/usr/bin/env python3
"""Checks a built ShadeLedgerZizadezavav.app without a Mac.

Usage: scripts/check_macos_app.py APP [--arch ARCH ...]

- Contents/Info.plist is a valid property list naming the executable, the bundle
  identifier of src/platform/bundle.h, the project's version, LSMinimumSystemVersion 13.0,
  LSUIElement, NSHighResolutionCapable and the icon (CFBundleIconFile), an .icns in
  Resources as in the repository;
- every file in Contents/MacOS (the agent and its helpers) is a Mach-O executable for
  exactly the architectures asked for (arm64 and x86_64 by default), and each of its
  slices, read as that architecture, has LC_BUILD_VERSION minos 13.0 for macOS, a code
  signature and only the system's libraries, every import bound to one of them;
- Resources holds server.mjs and both template images as in the repository, and node:
  a real executable file (not a link) for macOS, for x86_64 at least, each slice of which
  runs on macOS 13.0 and needs nothing outside the system's libraries. The report says
  which architectures node has: a node without arm64 runs on Apple silicon only through
  Rosetta 2.
Reads each slice with llvm-objdump --arch, which honours the architecture (llvm-otool's
-arch does not: it prints the first slice), and checks that the slice read is the one asked
for. Uses LLVM's llvm-lipo, llvm-objdump and llvm-nm (Debian's llvm-14).
"""
import argparse
import os
import plistlib
import re
import shutil
import stat
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MINIMUM_SYSTEM = "13.0"
SYSTEM_LIBRARIES = ("/usr/lib/", "/System/Library/")
# The first four bytes of a Mach-O file, thin (either byte order) or universal.
MACH_O_MAGICS = {bytes.fromhex(magic) for magic in (
    "feedface", "cefaedfe", "feedfacf", "cffaedfe", "cafebabe", "cafebabf")}
# How llvm-objdump names each architecture's CPU in a Mach-O header.
CPU_TYPES = {"arm64": "ARM64", "x86_64": "X86_64"}

failures = []


def fail(message):
    failures.append(message)
    print(f"FAIL {message}", file=sys.stderr)


def tool(name):
    for candidate in (f"{name}-14", name):
        found = shutil.which(candidate)
        if found:
            return found
    sys.exit(f"check_macos_app: {name} not found (Debian package llvm-14)")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def is_mach_o(path):
    with open(path, "rb") as file:
        return file.read(4) in MACH_O_MAGICS


def architectures(binary):
    return sorted(run(tool("llvm-lipo"), "-archs", str(binary)).split())


def read_slice(binary, arch, what):
    """The load commands of one slice, each as a dict of its fields; None when the slice
    read is not the one asked for."""
    lines = run(tool("llvm-objdump"), "--macho", "--private-headers", f"--arch={arch}",
                str(binary)).splitlines()
    header = next((index for index, line in enumerate(lines)
                   if line.split()[:2] == ["magic", "cputype"]), None)
    cpu = lines[header + 1].split()[1] if header is not None and header + 1 < len(lines) else None
    if cpu != CPU_TYPES[arch]:
        fail(f"{what}: asked for its {arch} slice, the tool read {cpu}")
        return None
    commands = []
    for line in lines[header + 2:]:
        line = line.strip()
        if line.startswith("Load command"):
            commands.append({})
        elif commands and " " in line:
            key, value = line.split(None, 1)
            commands[-1].setdefault(key, value)
    return commands


def minimum_system(commands):
    for command in commands:
        if command.get("cmd") == "LC_BUILD_VERSION":
            return command.get("platform"), command.get("minos")
        if command.get("cmd") == "LC_VERSION_MIN_MACOSX":
            return "macos", command.get("version")
    return None, None


def libraries(commands):
    return [command["name"].split(" (offset")[0] for command in commands
            if command.get("cmd") in ("LC_LOAD_DYLIB", "LC_LOAD_WEAK_DYLIB", "LC_REEXPORT_DYLIB")]


def check_system_libraries(arch, commands, what):
    for library in libraries(commands):
        if not library.startswith(SYSTEM_LIBRARIES):
            fail(f"{what} ({arch}) loads {library}, which is not part of macOS")


def check_executable(executable, archs):
    what = f"Contents/MacOS/{executable.name}"
    if not executable.is_file() or not os.access(executable, os.X_OK) or not is_mach_o(executable):
        fail(f"{what} is not a Mach-O executable")
        return
    found = architectures(executable)
    if found != sorted(archs):
        fail(f"{what} is for {found}, not {sorted(archs)}")
    for arch in found:
        commands = read_slice(executable, arch, what)
        if commands is None:
            continue
        platform, minos = minimum_system(commands)
        if platform != "macos" or minos != MINIMUM_SYSTEM:
            fail(f"{what} ({arch}) is built for {platform} {minos}, not macos {MINIMUM_SYSTEM}")
        if not any(command.get("cmd") == "LC_CODE_SIGNATURE" for command in commands):
            fail(f"{what} ({arch}) carries no code signature")
        check_system_libraries(arch, commands, what)
        imports = run(tool("llvm-nm"), "-u", "-m", "--arch", arch, str(executable)).splitlines()
        unbound = [line.strip() for line in imports if line.strip() and "(from " not in line]
        if unbound:
            fail(f"{what} ({arch}) has imports bound to no library: {unbound[:5]}")
        print(f"{what} {arch}: macos {minos}, {len(imports)} imports, "
              f"{len(libraries(commands))} libraries, signed")


def check_executables(app, info, archs):
    folder = app / "Contents/MacOS"
    main = folder / info.get("CFBundleExecutable", "")
    if not main.is_file():
        fail(f"no executable at {main}")
    for executable in sorted(folder.iterdir()) if folder.is_dir() else []:
        check_executable(executable, archs)


def check_node(node):
    if node.is_symlink() or not node.is_file() or not node.stat().st_mode & stat.S_IXUSR:
        fail(f"{node} is not an executable file of the bundle's own")
        return
    archs = architectures(node)
    if "x86_64" not in archs:
        fail(f"node is for {archs}: an Intel Mac could not run it")
    for arch in archs:
        commands = read_slice(node, arch, "node")
        if commands is None:
            continue
        platform, minos = minimum_system(commands)
        if platform != "macos" or not minos or version_tuple(minos) > version_tuple(MINIMUM_SYSTEM):
            fail(f"node ({arch}) needs {platform} {minos}: it must run on macOS {MINIMUM_SYSTEM}")
        check_system_libraries(arch, commands, "node")
        print(f"node {arch}: macos {minos}")
    if "arm64" in archs:
        print(f"node: {' and '.join(archs)}, native on every Mac")
    else:
        print(f"node: {' and '.join(archs)} alone, not the universal build: Apple silicon runs it "
              "only through Rosetta 2 (softwareupdate --install-rosetta)")


def icns_elements(data):
    """The element types of an .icns file, or None when it is not one."""
    if len(data) < 8 or data[:4] != b"icns" or int.from_bytes(data[4:8], "big") != len(data):
        return None
    types, offset = [], 8
    while offset < len(data):
        size = int.from_bytes(data[offset + 4:offset + 8], "big")
        if size < 8 or offset + size > len(data):
            return None
        types.append(data[offset:offset + 4].decode("latin-1"))
        offset += size
    return types


def check_icon(resources, info):
    name = info.get("CFBundleIconFile")
    if not name:
        fail("Info.plist names no icon (CFBundleIconFile)")
        return
    icon = resources / (name if name.endswith(".icns") else f"{name}.icns")
    source = ROOT / "resources/macos/AppIcon.icns"
    if not icon.is_file() or icon.read_bytes() != source.read_bytes():
        fail(f"Resources/{icon.name} is missing or differs from resources/macos/AppIcon.icns")
        return
    elements = icns_elements(icon.read_bytes())
    if elements is None:
        fail(f"Resources/{icon.name} is not an .icns file")
    elif "ic10" not in elements:
        fail(f"Resources/{icon.name} has no 1024 px image (ic10): {elements}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("app", type=Path)
    parser.add_argument("--arch", action="append", dest="archs")
    arguments = parser.parse_args()
    app = arguments.app
    archs = arguments.archs or ["arm64", "x86_64"]

    try:
        with open(app / "Contents/Info.plist", "rb") as file:
            info = plistlib.load(file)
    except (OSError, plistlib.InvalidFileException, ValueError) as error:
        fail(f"Contents/Info.plist is not a valid property list: {error}")
        info = {}
    cmake_lists = (ROOT / "CMakeLists.txt").read_text()
    identifier = re.search(r"set\(SL_BUNDLE_IDENTIFIER (\S+)\)", cmake_lists).group(1)
    version = re.search(r"project\(\S+ VERSION (\S+)", cmake_lists).group(1)
    expected = {
        "CFBundleExecutable": "ShadeLedgerZizadezavav",
        "CFBundleIdentifier": identifier,
        "CFBundlePackageType": "APPL",
        "CFBundleShortVersionString": version,
        "LSMinimumSystemVersion": MINIMUM_SYSTEM,
        "LSUIElement": True,
        "NSHighResolutionCapable": True,
    }
    for key, value in expected.items():
        if info.get(key) != value:
            fail(f"Info.plist {key} is {info.get(key)!r}, not {value!r}")

    check_executables(app, info, archs)

    resources = app / "Contents/Resources"
    for name, source in (("server.mjs", "resources/server.mjs"),
                         ("MenuBarTemplate.png", "resources/macos/MenuBarTemplate.png"),
                         ("MenuBarTemplate@2x.png", "resources/macos/MenuBarTemplate@2x.png")):
        copy = resources / name
        if not copy.is_file() or copy.read_bytes() != (ROOT / source).read_bytes():
            fail(f"Resources/{name} is missing or differs from {source}")
    check_icon(resources, info)
    check_node(resources / "node")

    if failures:
        print(f"check_macos_app: {len(failures)} problem(s) in {app}", file=sys.stderr)
        return 1
    print(f"{app}: complete, for {' and '.join(archs)}, macOS {MINIMUM_SYSTEM} or later")
    return 0


if __name__ == "__main__":
    sys.exit(main())
