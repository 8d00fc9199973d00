#!/usr/bin/env python3
"""The macOS app check against bundles it must reject.

Usage: tests/macos/check_macos_app_test.py APP   (APP: a built, well-formed app)

Each case is a copy of APP (hard links, so cheap) with one fault written into a fresh
file: a slice built for macOS 14.0 in one architecture only, of the agent, of a second
executable in Contents/MacOS, or of node; an agent for one architecture. The check must
pass APP and fail each copy, naming the file and the architecture at fault and only them.
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
CHECK = ROOT / "scripts/check_macos_app.py"
CPU_TYPES = {"x86_64": 0x01000007, "arm64": 0x0100000C}
LC_BUILD_VERSION = 0x32


def slices(data):
    """(cputype, offset) of each slice of a thin 64-bit or universal Mach-O."""
    if data[:4] == bytes.fromhex("cafebabe"):
        count = int.from_bytes(data[4:8], "big")
        entries = [data[8 + 20 * index:28 + 20 * index] for index in range(count)]
        return [(int.from_bytes(entry[0:4], "big"), int.from_bytes(entry[8:12], "big"))
                for entry in entries]
    if data[:4] == bytes.fromhex("cffaedfe"):
        return [(int.from_bytes(data[4:8], "little"), 0)]
    raise ValueError("not a 64-bit Mach-O")


def with_minimum_system(data, arch, version):
    """The Mach-O with LC_BUILD_VERSION's minos of one slice set to version (major.minor)."""
    data = bytearray(data)
    offset = next(start for cpu, start in slices(data) if cpu == CPU_TYPES[arch])
    count = int.from_bytes(data[offset + 16:offset + 20], "little")
    command = offset + 32
    for _ in range(count):
        kind = int.from_bytes(data[command:command + 4], "little")
        if kind == LC_BUILD_VERSION:
            major, minor = (int(part) for part in version.split("."))
            data[command + 12:command + 16] = ((major << 16) | (minor << 8)).to_bytes(4, "little")
            return bytes(data)
        command += int.from_bytes(data[command + 4:command + 8], "little")
    raise ValueError(f"no LC_BUILD_VERSION in the {arch} slice")


def replace(path, data):
    # A fresh file: the hard-linked original stays as built.
    mode = path.stat().st_mode if path.exists() else 0o755
    path.unlink(missing_ok=True)
    path.write_bytes(data)
    path.chmod(mode)


def lipo_thin(path, arch):
    tool = shutil.which("llvm-lipo-14") or shutil.which("llvm-lipo")
    thin = path.with_name(path.name + ".thin")
    subprocess.run([tool, str(path), "-thin", arch, "-output", str(thin)], check=True)
    replace(path, thin.read_bytes())
    thin.unlink()


AGENT = "Contents/MacOS/ShadeLedgerZizadezavav"
NODE = "Contents/Resources/node"


def agent_arm64_on_14(app):
    replace(app / AGENT, with_minimum_system((app / AGENT).read_bytes(), "arm64", "14.0"))


def helper_x86_64_on_14(app):
    helper = app / "Contents/MacOS/helper"
    replace(helper, with_minimum_system((app / AGENT).read_bytes(), "x86_64", "14.0"))


def node_slice_on_14(app):
    node = app / NODE
    arch = "arm64" if slices(node.read_bytes())[-1][0] == CPU_TYPES["arm64"] else "x86_64"
    replace(node, with_minimum_system(node.read_bytes(), arch, "14.0"))
    return arch


def agent_x86_64_alone(app):
    lipo_thin(app / AGENT, "x86_64")


# (what the copy has, the fault, what the check must say, what it must not blame)
CASES = [
    ("the agent's arm64 slice for macOS 14.0", agent_arm64_on_14,
     f"{AGENT} (arm64) is built for macos 14.0", f"{AGENT} (x86_64)"),
    ("a second executable in Contents/MacOS whose x86_64 slice is for macOS 14.0",
     helper_x86_64_on_14, "Contents/MacOS/helper (x86_64) is built for macos 14.0",
     "Contents/MacOS/helper (arm64)"),
    ("node's last slice for macOS 14.0", node_slice_on_14, "node ({arch}) needs macos 14.0", None),
    ("an agent for x86_64 alone", agent_x86_64_alone, f"{AGENT} is for ['x86_64']", None),
]


def check(app):
    return subprocess.run([sys.executable, str(CHECK), str(app)], capture_output=True, text=True)


def main():
    app = Path(sys.argv[1]).resolve()
    problems = []
    passed = check(app)
    if passed.returncode != 0:
        sys.exit(f"the check rejects the app as built:\n{passed.stderr}")
    with tempfile.TemporaryDirectory(dir=app.parent) as scratch:
        for number, (name, fault, expected, innocent) in enumerate(CASES):
            copy = Path(scratch) / str(number) / app.name
            copy.parent.mkdir()
            subprocess.run(["cp", "-al", str(app), str(copy)], check=True)
            arch = fault(copy)
            expected = expected.format(arch=arch)
            result = check(copy)
            if result.returncode != 1:
                problems.append(f"{name}: the check passed it")
            elif expected not in result.stderr:
                problems.append(f"{name}: the check did not say '{expected}':\n{result.stderr}")
            elif innocent and innocent in result.stderr:
                problems.append(f"{name}: the check blamed {innocent} too:\n{result.stderr}")
            else:
                print(f"ok: rejected {name}")
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    print(f"the check passes {app.name} as built and rejects {len(CASES)} faulty copies")
    return 0


if __name__ == "__main__":
    sys.exit(main())
