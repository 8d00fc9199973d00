#!/usr/bin/env python3
"""Checks a built ShadeLedgerZizadezavav.app without a Mac.

Usage: scripts/check_macos_app.py APP [--arch ARCH ...]

- Contents/Info.plist is a valid property list naming the executable, the bundle
  identifier of src/platform/bundle.h, the project's version, LSMinimumSystemVersion 13.0
  and LSUIElement;
- the executable holds exactly the architectures asked for (arm64 and x86_64 by default),
  each a Mach-O for macOS with LC_BUILD_VERSION minos 13.0 and a code signature, linked
  only against the system's libraries, every import bound to one of them;
- Resources holds server.mjs and both template images as in the repository, and node:
  a real executable file (not a link) for macOS, for x86_64 at least, that runs on
  macOS 13.0 and needs nothing outside the system's libraries.
Uses LLVM's llvm-lipo, llvm-otool and llvm-nm (Debian's llvm-14).
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


def load_commands(binary, arch):
    """The load commands of one slice, each as a dict of its fields."""
    commands = []
    for line in run(tool("llvm-otool"), "-arch", arch, "-l", binary).splitlines():
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


def check_system_libraries(binary, arch, commands, what):
    for library in libraries(commands):
        if not library.startswith(SYSTEM_LIBRARIES):
            fail(f"{what} ({arch}) loads {library}, which is not part of macOS")


def check_executable(app, info, archs):
    executable = app / "Contents/MacOS" / info.get("CFBundleExecutable", "")
    if not executable.is_file() or not os.access(executable, os.X_OK):
        fail(f"no executable at {executable}")
        return
    found = sorted(run(tool("llvm-lipo"), "-archs", str(executable)).split())
    if found != sorted(archs):
        fail(f"the executable is for {found}, not {sorted(archs)}")
    for arch in found:
        commands = load_commands(str(executable), arch)
        platform, minos = minimum_system(commands)
        if platform != "macos" or minos != MINIMUM_SYSTEM:
            fail(f"the executable ({arch}) is built for {platform} {minos}, not macos {MINIMUM_SYSTEM}")
        if not any(command.get("cmd") == "LC_CODE_SIGNATURE" for command in commands):
            fail(f"the executable ({arch}) carries no code signature")
        check_system_libraries(str(executable), arch, commands, "the executable")
        imports = run(tool("llvm-nm"), "-u", "-m", "--arch", arch, str(executable)).splitlines()
        unbound = [line.strip() for line in imports if line.strip() and "(from " not in line]
        if unbound:
            fail(f"the executable ({arch}) has imports bound to no library: {unbound[:5]}")
        print(f"executable {arch}: macos {minos}, {len(imports)} imports, "
              f"{len(libraries(commands))} libraries, signed")


def check_node(node):
    if node.is_symlink() or not node.is_file() or not node.stat().st_mode & stat.S_IXUSR:
        fail(f"{node} is not an executable file of the bundle's own")
        return
    archs = run(tool("llvm-lipo"), "-archs", str(node)).split()
    if "x86_64" not in archs:
        fail(f"node is for {archs}: an Intel Mac could not run it")
    for arch in archs:
        commands = load_commands(str(node), arch)
        platform, minos = minimum_system(commands)
        if platform != "macos" or not minos or version_tuple(minos) > version_tuple(MINIMUM_SYSTEM):
            fail(f"node ({arch}) needs {platform} {minos}: it must run on macOS {MINIMUM_SYSTEM}")
        check_system_libraries(str(node), arch, commands, "node")
        print(f"node {arch}: macos {minos}")


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
    }
    for key, value in expected.items():
        if info.get(key) != value:
            fail(f"Info.plist {key} is {info.get(key)!r}, not {value!r}")

    check_executable(app, info, archs)

    resources = app / "Contents/Resources"
    for name, source in (("server.mjs", "resources/server.mjs"),
                         ("MenuBarTemplate.png", "resources/macos/MenuBarTemplate.png"),
                         ("MenuBarTemplate@2x.png", "resources/macos/MenuBarTemplate@2x.png")):
        copy = resources / name
        if not copy.is_file() or copy.read_bytes() != (ROOT / source).read_bytes():
            fail(f"Resources/{name} is missing or differs from {source}")
    check_node(resources / "node")

    if failures:
        print(f"check_macos_app: {len(failures)} problem(s) in {app}", file=sys.stderr)
        return 1
    print(f"{app}: complete, for {' and '.join(archs)}, macOS {MINIMUM_SYSTEM} or later")
    return 0


if __name__ == "__main__":
    sys.exit(main())
