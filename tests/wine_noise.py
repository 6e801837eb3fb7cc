#!/usr/bin/env python3
"""Every rule's findings on a clean machine (a fresh Wine prefix) and on the real UsrClass.dat.

Usage:
  wine_noise.py WORK_DIR --clsid-scan PATH [--fresh]

WORK_DIR keeps the prefix and the ROOT (tools/wine_root.py) between runs. Checks that the
ROOT's classes are the ones Wine itself exports, then runs the native clsid-scan with every
rule over the ROOT (--system) and over the real UsrClass.dat of tests/data/real-hives merged
with the ROOT's SOFTWARE: each must end with exit code 0 or 1 and report no finding of high
severity. Prints what was found, per rule and severity and per class, as Markdown tables for
the README. Ends with "N passed, M failed"; exits 1 if a check failed.
"""

import argparse
import collections
import json
import lzma
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import make_hive  # noqa: E402
import wine_root  # noqa: E402

# Keys compared with Wine's own `reg export` of them: (key for reg.exe, registry file, path in
# it). The class keys the rules read, the environment that expands server paths, and keys that
# hold the other forms Wine writes: \x escapes (International), str(7) and hex(7) (SystemLink,
# Lsa).
EXPORTED_KEYS = (
    ("HKLM\\Software\\Classes\\CLSID", "system.reg", "Software\\Classes\\CLSID"),
    ("HKLM\\Software\\Classes\\Wow6432Node\\CLSID", "system.reg",
     "Software\\Classes\\Wow6432Node\\CLSID"),
    ("HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment", "system.reg",
     "System\\CurrentControlSet\\Control\\Session Manager\\Environment"),
    ("HKLM\\System\\CurrentControlSet\\Control\\Lsa", "system.reg",
     "System\\CurrentControlSet\\Control\\Lsa"),
    ("HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink", "system.reg",
     "Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink"),
    ("HKCU\\Control Panel\\International", "user.reg", "Control Panel\\International"),
)
FULL_ROOT_NAMES = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, what, ok, detail=""):
        print(("PASS " if ok else "FAIL ") + what)
        if not ok and detail:
            text = str(detail).encode("utf-8", "backslashreplace").decode()
            print("    " + text.rstrip().replace("\n", "\n    "))
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok


def tree_differences(want, got, path, out, limit=10):
    """Where two key trees differ (subkeys and values, names without case), up to `limit`."""
    def values(key):
        return {make_hive.name_sort_key(name): (name, kind, data)
                for name, kind, data in key.values}

    wanted_values, found_values = values(want), values(got)
    for name in sorted(wanted_values.keys() | found_values.keys()):
        if wanted_values.get(name) != found_values.get(name):
            out.append("%s: exported %r, read %r" % (path, wanted_values.get(name),
                                                     found_values.get(name)))
    wanted = {make_hive.name_sort_key(child.name): child for child in want.children}
    found = {make_hive.name_sort_key(child.name): child for child in got.children}
    for name in sorted(wanted.keys() ^ found.keys()):
        out.append("%s\\%s: only in %s" % (path, name, "the export" if name in wanted
                                             else "the registry files"))
    for name in sorted(wanted.keys() & found.keys()):
        if len(out) >= limit:
            return out
        tree_differences(wanted[name], found[name], path + "\\" + wanted[name].name, out, limit)
    return out


def check_against_wine_export(checks, work):
    """Keys as read from Wine's registry files, against what Wine's own `reg export` writes of
    them: proves the reader of those files on every form of value they hold."""
    env = wine_root.wine_environment(work)
    prefix = Path(env["WINEPREFIX"])
    files = {name: wine_root.read_wine_registry(prefix / name)[0]
             for name in ("system.reg", "user.reg")}
    export = work / "export.reg"
    try:
        for wine_key, registry_file, key_path in EXPORTED_KEYS:
            export.unlink(missing_ok=True)
            with open(work / "reg-export.log", "wb") as log:
                subprocess.run(["wine", "reg", "export", wine_key,
                                "Z:" + str(export).replace("/", "\\"), "/y"], env=env,
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=120)
            if not checks.check("wine reg export %s" % wine_key, export.exists(),
                                (work / "reg-export.log").read_text(errors="replace")):
                continue
            hive, _, rest = wine_key.partition("\\")
            exported = make_hive.find_key(make_hive.read_reg(str(export)),
                                          FULL_ROOT_NAMES[hive] + "\\" + rest)
            mine = make_hive.find_key(files[registry_file], key_path)
            differences = tree_differences(exported, mine or make_hive.Key(""), wine_key, [])
            count = sum(1 for _ in walk_keys(exported))
            checks.check("%s as read from %s is Wine's export of it (%d keys)"
                         % (wine_key, registry_file, count), not differences,
                         "\n".join(differences))
    finally:
        wine_root.stop_wineserver(env)


def walk_keys(key):
    yield key
    for child in key.children:
        yield from walk_keys(child)


def scan(checks, clsid_scan, label, args, must_read):
    """Runs clsid-scan with every rule in JSON; checks the exit code, that it read what it
    should (a line on standard error naming each), and that nothing is of high severity.
    Returns the findings."""
    done = subprocess.run([str(clsid_scan), "--rule", "all", "--format", "json", *map(str, args)],
                          capture_output=True, timeout=600)
    errors = done.stderr.decode(errors="replace")
    checks.check("%s: exit 0 or 1 (exit %d)" % (label, done.returncode),
                 done.returncode in (0, 1), errors)
    checks.check("%s: read %s" % (label, ", ".join(must_read)),
                 all(what + ": " in errors for what in must_read), errors)
    findings = [json.loads(line) for line in done.stdout.decode().splitlines() if line.strip()]
    missing = sum(1 for finding in findings if "severity" not in finding)
    if missing:
        print("NOTE %s: %d of %d findings carry no severity; none can be high yet"
              % (label, missing, len(findings)))
    high = [finding for finding in findings if finding.get("severity") == "high"]
    checks.check("%s: no finding of high severity (%d findings)" % (label, len(findings)),
                 not high, "\n".join(describe(finding) for finding in high[:20]))
    return findings


def server_of(finding):
    if isinstance(finding.get("file"), dict) and finding["file"].get("windows_path"):
        return finding["file"]["windows_path"]
    for field in ("server", "user_server", "machine_server"):
        if finding.get(field):
            return finding[field]
    return ""


def describe(finding):
    return "%s %s %s-bit %s %r %s %s" % (
        finding.get("rule"), finding.get("severity", "-"), finding.get("view"),
        finding.get("key"), finding.get("description"), server_of(finding),
        "; ".join(map(str, finding.get("reasons", []))))


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def print_summary(label, findings):
    """Markdown tables: counts per rule and severity, then each distinct class."""
    print("\n#### %s: %d findings\n" % (label, len(findings)))
    if not findings:
        return
    counts = collections.Counter((f.get("rule"), f.get("severity", "-")) for f in findings)
    classes = collections.defaultdict(set)
    for finding in findings:
        classes[(finding.get("rule"), finding.get("severity", "-"), finding.get("key"),
                 finding.get("description"), server_of(finding),
                 "; ".join(map(str, finding.get("reasons", []))))].add(
            "%s-bit %s" % (finding.get("view"), finding.get("user") or finding.get("side")))
    print("| rule | severity | findings | classes |\n|---|---|---:|---:|")
    for (rule, severity), count in sorted(counts.items(), key=str):
        distinct = sum(1 for c in classes if c[:2] == (rule, severity))
        print("| %s | %s | %d | %d |" % (rule, severity, count, distinct))
    print("\n| rule | severity | class | description | server | reasons | where |")
    print("|---|---|---|---|---|---|---|")
    for (rule, severity, key, description, server, reasons), where in sorted(classes.items(),
                                                                             key=str):
        print("| %s |" % " | ".join(cell(part) for part in (
            rule, severity, key, description, server, reasons, ", ".join(sorted(where)))))
    print()


def unpack_real_user_classes(work):
    """The real dirty UsrClass.dat with its two logs, which clsid-scan replays."""
    out = work / "real"
    out.mkdir(exist_ok=True)
    for name in ("UsrClass.dat", "UsrClass.dat.LOG1", "UsrClass.dat.LOG2"):
        packed = HERE / "data" / "real-hives" / (name + ".xz")
        (out / name).write_bytes(lzma.decompress(packed.read_bytes()))
    return out / "UsrClass.dat"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("work_dir", type=Path, help="keeps the Wine prefix and the ROOT")
    parser.add_argument("--clsid-scan", type=Path, required=True, help="the native clsid-scan")
    parser.add_argument("--fresh", action="store_true", help="make the prefix and ROOT again")
    args = parser.parse_args(argv)
    if not args.clsid_scan.exists():
        print("not found: %s (build the native preset first)" % args.clsid_scan)
        return 1
    work = args.work_dir.resolve()
    checks = Checks()
    try:
        root = wine_root.make_wine_root(work, args.fresh, log=print)
    except (wine_root.WineRootError, OSError) as error:
        checks.check("a ROOT made from a fresh Wine prefix", False, error)
        print("%d passed, %d failed" % (checks.passed, checks.failed))
        return 1
    check_against_wine_export(checks, work)

    software = root / "windows" / "system32" / "config" / "SOFTWARE"
    system = scan(checks, args.clsid_scan, "the Wine ROOT", ["--system", root],
                  ["SOFTWARE", "NTUSER.DAT", "UsrClass.dat"])
    real = scan(checks, args.clsid_scan, "the real UsrClass.dat on Wine's SOFTWARE",
                [software, unpack_real_user_classes(work)],
                ["SOFTWARE", "UsrClass.dat"])
    print_summary("The Wine ROOT (clsid-scan --system --rule all)", system)
    print_summary("The real UsrClass.dat merged with Wine's SOFTWARE", real)
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
