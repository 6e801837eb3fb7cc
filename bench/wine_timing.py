#!/usr/bin/env python3
"""Times clsid-bare-scan under Wine against a program that makes only its registry reads.

Usage (from the repository root):
  cmake --preset windows-x64 -DSCAN_WINE_TESTS=OFF && cmake --build --preset windows-x64
  bench/wine_timing.py [--program build/windows-x64/clsid-bare-scan.exe] [--work-dir build/wine-bench]
                       [--classes 20000] [--bare 100] [--runs 7]

What it does:
  1. builds its two Windows helpers into WORK_DIR with x86_64-w64-mingw32-g++: launch-timer.exe
     (starts a program and times it to its message box or to its exit) and registry-reads-only.exe
     (the walk and registry reads of the bare-server scan, then exit);
  2. makes a Wine prefix of its own in WORK_DIR/prefix (wineboot -i, null graphics driver);
  3. writes a registry of CLASSES classes, BARE of them bare in-process servers and the others near
     misses (ProgID subkeys, ThreadingModel values, TypeLib without braces, an AppID value, local
     servers), deletes the prefix's CLSID keys and imports it with `reg import`;
  4. after one warm-up run of each, runs each program RUNS times, alternating, and prints every
     time, the medians and their ratio (scan time to box / reads-only time to exit).
The scan answers Yes at its box; the clipboard must then hold 4 lines per bare class, or the run
counts as failed. Needs wine (64-bit), the ja_JP.UTF-8 locale and x86_64-w64-mingw32-g++.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HELPER_TIMER = "launch-timer.exe"
HELPER_READS = "registry-reads-only.exe"
CLASSES_KEY = "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID"
DELETED_KEYS = ["HKLM\\Software\\Classes\\CLSID", "HKCU\\Software\\Classes\\CLSID"]
WORDS = ["Widget", "Shell", "Explorer", "Folder", "Printer", "Media", "Player", "Control", "Button",
         "Document", "Property", "Handler", "Filter", "Viewer", "Network", "Search", "Preview"]
MINGW = "x86_64-w64-mingw32-g++"
COMMON_FLAGS = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-static"]


class WineError(Exception):
    pass


def wine_env(prefix):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": str(prefix),
        "WINEARCH": "win64",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "LC_ALL": "ja_JP.UTF-8",
    })
    return env


def run(args, env, timeout=600, check=True):
    # Output to files, not pipes: a wineserver started on the way inherits them and keeps running.
    log = env["WINEPREFIX"] + ".log"
    with open(log, "ab") as err, open(log + ".out", "wb") as out:
        done = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
    text = Path(log + ".out").read_text(errors="replace")
    if check and done.returncode != 0:
        raise WineError(f"{' '.join(map(str, args))}: exit {done.returncode}, see {log}")
    return done.returncode, text


def build_helpers(work):
    sources = {
        HELPER_TIMER: (["-O2"], ["bench/launch_timer.cpp"]),
        HELPER_READS: (["-Os", "-DNDEBUG", "-mwindows", f"-I{ROOT}"],
                       ["bench/registry_reads_only.cpp", "bench/reads_only_rules.cpp", "scanframe/report_text.cpp",
                        "scanframe/class_walk.cpp", "scanframe/platform_win32.cpp",
                        "barescan/bare_server_rule.cpp"]),
    }
    for name, (flags, files) in sources.items():
        subprocess.run([MINGW, *COMMON_FLAGS, *flags, "-o", str(work / name), *[str(ROOT / f) for f in files]],
                       check=True)


def make_prefix(prefix, env):
    if (prefix / "system.reg").exists():
        return
    prefix.mkdir(parents=True, exist_ok=True)
    run(["wine", "wineboot", "-i"], env)
    run(["wine", "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"], env)
    run(["wineserver", "-k"], env, check=False)


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def identifier(rng, braced=True):
    text = "%08X-%04X-%04X-%04X-%012X" % (rng.getrandbits(32), rng.getrandbits(16), rng.getrandbits(16),
                                         rng.getrandbits(16), rng.getrandbits(48))
    return "{" + text + "}" if braced else text


def registry_text(classes, bare, seed=20000):
    """A .reg of `classes` classes, `bare` of them bare in-process servers spread evenly."""
    rng = random.Random(seed)
    keys = sorted({identifier(rng) for _ in range(classes)})
    while len(keys) < classes:
        keys = sorted(set(keys) | {identifier(rng)})
    step = classes // bare if bare else 0
    lines = ["Windows Registry Editor Version 5.00", ""]

    def key(path, values):
        lines.append(f"[{CLASSES_KEY}\\{path}]")
        lines.extend(f"{'@' if name == '' else reg_string(name)}={reg_string(value)}" for name, value in values)
        lines.append("")

    for i, name in enumerate(keys):
        word = rng.choice(WORDS)
        server = f"C:\\Windows\\System32\\{word.lower()}.dll"
        description = word + " Class"
        if step and i % step == step // 2 and i // step < bare:
            key(name, [("", description)])
            key(name + "\\InprocServer32", [("", server)])
            key(name + "\\TypeLib", [("", identifier(rng))])
            continue
        shape = i % 5
        if shape == 0:  # the usual full registration
            key(name, [("", description)])
            key(name + "\\InprocServer32", [("", server), ("ThreadingModel", "Apartment")])
            key(name + "\\ProgID", [("", f"Vendor.{word}.1")])
            key(name + "\\TypeLib", [("", identifier(rng))])
            key(name + "\\VersionIndependentProgID", [("", f"Vendor.{word}")])
        elif shape == 1:  # a ThreadingModel value
            key(name, [("", description)])
            key(name + "\\InprocServer32", [("", server), ("ThreadingModel", "Both")])
            key(name + "\\TypeLib", [("", identifier(rng))])
        elif shape == 2:  # a TypeLib identifier without braces
            key(name, [("", description)])
            key(name + "\\InprocServer32", [("", server)])
            key(name + "\\TypeLib", [("", identifier(rng, braced=False))])
        elif shape == 3:  # an AppID value on the class key
            key(name, [("", description), ("AppID", identifier(rng))])
            key(name + "\\InprocServer32", [("", server)])
            key(name + "\\TypeLib", [("", identifier(rng))])
        else:  # a local server
            key(name, [("", description)])
            key(name + "\\LocalServer32", [("", f"C:\\Program Files\\Vendor\\{word}.exe")])
            key(name + "\\ProgID", [("", f"Vendor.{word}.1")])
    return "\r\n".join(lines) + "\r\n"


def import_registry(work, env, classes, bare):
    reg_file = work / f"classes-{classes}-{bare}.reg"
    reg_file.write_bytes(b"\xff\xfe" + registry_text(classes, bare).encode("utf-16-le"))
    for key in DELETED_KEYS:
        run(["wine", "reg", "delete", key, "/f"], env, check=False)
    run(["wine", "reg", "import", windows_path(reg_file)], env, timeout=1800)


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def timed(work, env, mode, program):
    _, out = run(["wine", windows_path(work / HELPER_TIMER), mode, windows_path(program)], env, timeout=900)
    fields = dict(item.split("=", 1) for item in out.split())
    return float(fields["ms"]), int(fields["lines"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", type=Path, default=ROOT / "build/windows-x64/clsid-bare-scan.exe")
    parser.add_argument("--work-dir", type=Path, default=ROOT / "build/wine-bench")
    parser.add_argument("--classes", type=int, default=20000)
    parser.add_argument("--bare", type=int, default=100)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    if not args.program.exists():
        sys.exit(f"{args.program} is missing: build the windows-x64 preset first")
    for tool in ("wine", "wineserver", MINGW):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed")

    work = args.work_dir.resolve()
    work.mkdir(parents=True, exist_ok=True)
    prefix = work / "prefix"
    env = wine_env(prefix)
    build_helpers(work)
    make_prefix(prefix, env)
    try:
        # One server for the whole measurement, so that no run pays for starting it.
        subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL).wait()
        import_registry(work, env, args.classes, args.bare)
        program, reads_only = args.program.resolve(), work / HELPER_READS
        expected_lines = 4 * args.bare
        timed(work, env, "box", program)  # warm-up: caches, fonts, first start of the loader
        timed(work, env, "exit", reads_only)
        scan_ms, reads_ms = [], []
        for run_number in range(1, args.runs + 1):
            ms, lines = timed(work, env, "box", program)
            if lines != expected_lines:
                raise WineError(f"the scan listed {lines} lines, expected {expected_lines}")
            scan_ms.append(ms)
            ms, _ = timed(work, env, "exit", reads_only)
            reads_ms.append(ms)
            print(f"run {run_number}: scan to box {scan_ms[-1]:8.1f} ms   reads only to exit {reads_ms[-1]:8.1f} ms",
                  flush=True)
    finally:
        run(["wineserver", "-k"], env, check=False)
    scan, reads = statistics.median(scan_ms), statistics.median(reads_ms)
    print(f"{args.classes} classes, {args.bare} bare, median of {args.runs} runs:")
    print(f"  clsid-bare-scan, start to message box:   {scan:8.1f} ms")
    print(f"  registry reads only, start to exit:      {reads:8.1f} ms")
    print(f"  ratio: {scan / reads:.3f} (aim <= 1.10)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (WineError, subprocess.TimeoutExpired, subprocess.CalledProcessError) as error:
        sys.exit(f"wine_timing: {error}")
