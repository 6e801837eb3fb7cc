#!/usr/bin/env python3
"""End-to-end checks of the clsid-scan program: sources in, reports, JSON, errors and exit codes out.

Usage: clsid_scan_end_to_end.py CLSID_SCAN WORK_DIR
Makes its hives with tools/make_hive.py, uses the real hives of tests/data/real-hives, and ends
with "N passed, M failed" (exit 1 when any check failed).
"""

import csv
import datetime
import hashlib
import io
import json
import lzma
import os
import resource
import shutil
import stat
import struct
import subprocess
import sys
import xml.etree.ElementTree
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import make_hive  # noqa: E402
from make_hive import Key, string_data  # noqa: E402

REG_SZ = 1
REG_EXPAND_SZ = 2
TYPELIB = "{8F20AB14-3D55-4C7E-9B62-4DAE6F80A215}"
PREFIX = "HKEY_CLASSES_ROOT\\CLSID\\"

passed = failed = 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"PASS {what}")
    else:
        failed += 1
        print(f"FAIL {what}\n    {detail}")
    return ok


def sz(name, text):
    return (name, REG_SZ, string_data(text))


def bare(key, description, server):
    return Key(key, [sz("", description)],
               [Key("InprocServer32", [sz("", server)]), Key("TypeLib", [sz("", TYPELIB)])])


def software(classes, wow=()):
    """A SOFTWARE hive's root with these classes under Classes\\CLSID (and Wow6432Node\\CLSID)."""
    children = [Key("CLSID", [], list(classes))]
    if wow:
        children.append(Key("Wow6432Node", [], [Key("CLSID", [], list(wow))]))
    return Key("", [], [Key("Classes", [], children), Key("Microsoft")])


def usrclass(classes):
    return Key("", [], [Key("CLSID", [], list(classes)), Key("Local Settings")])


def run(scan, *args, cwd=None):
    return subprocess.run([str(scan), *map(str, args)], capture_output=True, timeout=120, cwd=cwd)


def unpack_real_hives(work):
    real = HERE / "data" / "real-hives"
    out = work / "real"
    out.mkdir(exist_ok=True)
    for name in ("UsrClass.dat", "UsrClass.dat.LOG1", "UsrClass.dat.LOG2"):
        (out / name).write_bytes(lzma.decompress((real / (name + ".xz")).read_bytes()))
    return out


def sources_and_errors(scan, work):
    machine = work / "SOFTWARE"
    make_hive.write_hive(str(machine), software(
        [bare("{B1}", "Bare One", "C:\\b1.dll"), Key("{N1}", [sz("", "Qj")]),
         Key("{SPLIT}", [sz("", "Split Class")], [Key("InprocServer32", [sz("", "C:\\split.dll")])])],
        wow=[bare("{W1}", "Wow Bare", "C:\\w1.dll")]))
    user_reg = work / "user.reg"
    user_reg.write_text("Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{SPLIT}\\TypeLib]\r\n"
                        f'@="{TYPELIB}"\r\n', encoding="utf-16")

    done = run(scan, machine)
    text = done.stdout.decode()
    check("a SOFTWARE hive: every rule, both views, headers, exit 1",
          done.returncode == 1 and text.count("# ") == 22 and "{B1}" in text and "{W1}" in text
          and PREFIX + "{N1}" + " " * 15 + "\tQj\n" in text, text)
    done = run(scan, "--rule", "bare", "--view", "64", machine)
    check("one report alone is printed without a header",
          done.stdout.decode().startswith(PREFIX + "{B1}"), done.stdout.decode())
    piped = subprocess.run([str(scan), "/dev/stdin"], input=machine.read_bytes(),
                           capture_output=True, timeout=120)
    check("a hive read from a pipe reads as from its file",
          piped.returncode == 1 and piped.stdout == text.encode(), piped.stderr.decode())

    done = run(scan, "--format", "json", "--rule", "bare", "--view", "64", machine, user_reg)
    found = [json.loads(line) for line in done.stdout.decode().splitlines()]
    split = [f for f in found if f["key"] == "{SPLIT}"]
    check("a class completed by the user's side is found, from both sides",
          len(found) == 2 and split and split[0]["side"] == "both"
          and split[0]["sources"] == [str(machine), str(user_reg)]
          and split[0]["server"] == "C:\\split.dll" and split[0]["typelib"] == TYPELIB, found)

    conflicting = work / "conflict.reg"
    conflicting.write_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{N1}]\n"
                           '@="Other"\n', encoding="ascii")
    bad_syntax = work / "bad.reg"
    bad_syntax.write_text("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\CLSID\\{X}]\n@=\"unterminated\n",
                          encoding="ascii")
    truncated = work / "truncated.hive"
    truncated.write_bytes(machine.read_bytes()[:5000])
    not_a_source = work / "notes.txt"
    not_a_source.write_text("hello\n")
    for what, args, words in (
        ("conflicting sources of one side", (machine, conflicting), ("conflict.reg", "SOFTWARE")),
        (".reg syntax error names the file and line", (bad_syntax,), ("bad.reg", "line 4")),
        ("a truncated hive", (truncated,), ("truncated.hive",)),
        ("neither a hive nor an export", (not_a_source,), ("notes.txt",)),
        ("a missing file", (work / "missing.reg",), ("missing.reg",)),
        ("an unknown option", ("--colour", machine), ("unknown option --colour",)),
        ("an unknown option last", (machine, "--colour"), ("unknown option --colour",)),
        ("an option without its value", (machine, "--rule"), ("--rule needs a value",)),
        ("an unknown value", ("--rule=every", machine), ("--rule", "unknown value every")),
    ):
        done = run(scan, *args)
        error = done.stderr.decode()
        check(f"{what}: exit 2, one clear line", done.returncode == 2 and not done.stdout
              and all(w in error for w in words), f"exit {done.returncode}: {error}")

    empty = work / "empty.reg"
    empty.write_text("Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\CLSID]\n")
    check("nothing found: exit 0", run(scan, empty).returncode == 0)


def real_hives(scan, work):
    real = unpack_real_hives(work)
    before = sorted(os.listdir(real))
    done = run(scan, "--format", "json", real / "UsrClass.dat", cwd=real)
    error = done.stderr.decode()
    # Its OneDrive classes are the user's own, served from AppData: userclass lists them, and
    # nothing else does.
    rules = {json.loads(line)["rule"] for line in done.stdout.decode().splitlines()}
    check("the real dirty UsrClass.dat is recovered from its logs and scanned",
          done.returncode == 1 and rules == {"userclass"} and "recovered to sequence 300" in error,
          (rules, error))
    # Both images carved: the primary file's 45 orphans noted (27 after replay), nothing invented.
    check("the real UsrClass.dat's free space: orphans noted, no deleted class reported",
          "45 deleted keys found whose parent key is gone" in error
          and "deleted class registrations" not in error and b'"deleted"' not in done.stdout,
          error)
    done = run(scan, "--no-deleted", "--rule", "both,shadow", real / "UsrClass.dat", cwd=real)
    check("--no-deleted carves nothing", done.returncode == 0
          and "parent key is gone" not in done.stderr.decode(), done.stderr.decode())
    machine = work / "SOFTWARE"
    done = run(scan, machine, real / "UsrClass.dat")
    check("the real UsrClass.dat merged with a machine hive", done.returncode == 1
          and "{B1}" in done.stdout.decode(), done.stderr.decode())
    check("scanning writes no file", sorted(os.listdir(real)) == before, os.listdir(real))

    recovered = work / "recovered.hive"
    done = run(scan, "--recover", recovered, real / "UsrClass.dat")
    ok = done.returncode == 0 and recovered.exists()
    if check("--recover writes the recovered hive", ok, done.stderr.decode()):
        dumped = subprocess.run(["hivexml", str(recovered)], capture_output=True)
        check("the recovered hive is clean and reads strictly", dumped.returncode == 0
              and ": clean\n" in run(scan, recovered).stderr.decode(), dumped.stderr)
        again = run(scan, "--recover", recovered, real / "UsrClass.dat")
        check("--recover refuses to overwrite", again.returncode == 2
              and "exists" in again.stderr.decode(), again.stderr.decode())
    onedrive = "{018D5C66-4533-4307-9B53-224DE2ED1FE6}"  # its InProcServer32 in the real hive
    for machine_server, listed in (("C:\\Program Files\\OneDrive\\shell.dll", True),
                                   ("%SystemRoot%\\System32\\SHELL32.dll", False)):
        other = work / "SOFTWARE-onedrive"
        other.unlink(missing_ok=True)
        make_hive.write_hive(str(other), software([Key(onedrive, [sz("", "OneDrive")], [
            Key("InprocServer32", [sz("", machine_server)])])]))
        done = run(scan, "--rule", "shadow", "--format", "json", other, real / "UsrClass.dat")
        found = [json.loads(line) for line in done.stdout.decode().splitlines()]
        want = [(onedrive, "InprocServer32", "%systemroot%\\system32\\shell32.dll")] if listed else []
        check(f"shadow rule on the real UsrClass.dat, machine server {machine_server}",
              [(f["key"], f["subkey"], f["user_server"]) for f in found] == want, found)
    done = run(scan, "--no-logs", real / "UsrClass.dat")
    check("--no-logs scans the dirty primary and says so", done.returncode == 1
          and "not recovered" in done.stderr.decode(), done.stderr.decode())


def system_folders(scan, work):
    real = work / "real"
    roots = work / "roots"
    shutil.rmtree(roots, ignore_errors=True)
    first = roots / "pc1"
    config = first / "WINDOWS" / "system32" / "Config"
    config.mkdir(parents=True)
    make_hive.write_hive(str(config / "software"), software(
        [bare("{SAME}", "Everywhere", "C:\\same.dll"),
         Key("{SPLIT}", [sz("", "Split Class")], [Key("InprocServer32", [sz("", "C:\\split.dll")])])]))
    alice = first / "uSers" / "Alice" / "appdata" / "LOCAL" / "Microsoft" / "Windows"
    alice.mkdir(parents=True)
    make_hive.write_hive(str(alice / "usrclass.DAT"),
                         usrclass([Key("{SPLIT}", [], [Key("TypeLib", [sz("", TYPELIB)])])]))
    bob = first / "uSers" / "bob" / "AppData" / "Local" / "Microsoft" / "Windows"
    bob.mkdir(parents=True)
    for name in ("UsrClass.dat", "UsrClass.dat.LOG1", "UsrClass.dat.LOG2"):
        shutil.copy(real / name, bob / name.replace("dat", "DAT"))
    (first / "uSers" / "Public").mkdir()
    (first / "uSers" / "carol").mkdir()
    second = roots / "pc2"
    (second / "Windows").mkdir(parents=True)

    done = run(scan, "--system", "--rule", "bare", "--view", "64", first, second)
    text, error = done.stdout.decode(), done.stderr.decode()
    check("--system: exit 2 when one ROOT has no SOFTWARE hive, the others still scanned",
          done.returncode == 2 and "pc2" in error and "SOFTWARE" in error and "{SAME}" in text, error)
    headers = [line for line in text.splitlines() if line.startswith("# ")]
    check("--system: a header for the machine and for each user with classes",
          headers == [f"# {first}, machine, bare rule, 64-bit view",
                      f"# {first}, user Alice, bare rule, 64-bit view",
                      f"# {first}, user bob, bare rule, 64-bit view"], headers)
    check("--system: a finding of every view is reported once, for the machine",
          text.count("{SAME}") == 3, text)
    check("--system: the user's class completing a split registration",
          text.count("{SPLIT}") == 3 and text.index("{SPLIT}") > text.index("user Alice"), text)
    check("--system: the dirty UsrClass.dat is recovered, a profile without hives is noted, and "
          "Users\\Public, the folder users share, is no profile",
          "recovered to sequence 300" in error and "carol has no classes hive" in error
          and "Public" not in error, error)
    done = run(scan, "--system", "--format", "json", first)
    users = {json.loads(line)["user"] for line in done.stdout.decode().splitlines()}
    check("--system JSON names the machine and the users", users == {None, "Alice", "bob"}, users)


def filetime(iso):
    """2024-05-01T10:00:00 and so on as a FILETIME, with a fraction of 100 ns units."""
    stamp, _, fraction = iso.partition(".")
    seconds = int(datetime.datetime.fromisoformat(stamp + "+00:00").timestamp())
    return (seconds + 11644473600) * 10_000_000 + int(fraction or 0)


def write_times(scan, work):
    """Each finding carries the latest write time of the keys its rule read."""
    hive = work / "SOFTWARE-times"
    make_hive.write_hive(str(hive), software([
        Key("{T}", [sz("", "Timed")], [
            Key("InprocServer32", [sz("", "C:\\t.dll")], written=filetime("2023-07-04T05:06:07.1234567")),
            Key("TypeLib", [sz("", TYPELIB)], written=filetime("2021-01-01T00:00:00"))],
            written=filetime("2022-02-02T02:02:02")),
        Key("{N}", [sz("", "Qj")], [Key("Later", written=filetime("2025-01-01T00:00:00"))],
            written=filetime("2020-12-31T23:59:59.9999999")),
        Key("{SC}", [sz("", "Script Component")], [
            Key("InprocServer32", [sz("", "C:\\Windows\\System32\\scrobj.dll")],
                written=filetime("2025-05-05T05:05:05"))], written=filetime("2020-01-01T00:00:00"))]))
    done = run(scan, "--format", "json", "--view", "64", hive)
    written = {(f["rule"], f["key"]): f["written"] for f in map(json.loads, done.stdout.decode().splitlines())}
    check("written: the latest of the class key and the subkeys the rule read, every digit",
          written == {("bare", "{T}"): "2023-07-04T05:06:07.1234567Z",
                      ("name", "{N}"): "2020-12-31T23:59:59.9999999Z",
                      ("scriptlet", "{SC}"): "2025-05-05T05:05:05.0000000Z"}, written)
    exported = work / "times.reg"
    exported.write_text("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\CLSID\\{N}]\n@=\"Qj\"\n", encoding="ascii")
    done = run(scan, "--format", "json", exported)
    check("written: null for a .reg export, which keeps no times",
          [json.loads(line)["written"] for line in done.stdout.decode().splitlines()] == [None],
          done.stdout.decode())

    # A class of both sides: its key's time is that of the side whose description it shows.
    machine = work / "SOFTWARE-split-times"
    make_hive.write_hive(str(machine), software([Key("{S}", [sz("", "Split")], [
        Key("InprocServer32", [sz("", "C:\\s.dll")], written=filetime("2019-01-01T00:00:00"))],
        written=filetime("2020-01-01T00:00:00"))]))
    for user_values, want in (([], "2020-01-01T00:00:00.0000000Z"),
                              ([sz("", "Split")], "2024-01-01T00:00:00.0000000Z")):
        user = work / "UsrClass-split-times"
        make_hive.write_hive(str(user), usrclass([Key("{S}", user_values, [
            Key("TypeLib", [sz("", TYPELIB)], written=filetime("2018-01-01T00:00:00"))],
            written=filetime("2024-01-01T00:00:00"))]))
        done = run(scan, "--rule", "bare", "--view", "64", "--format", "json", machine, user)
        found = [f["written"] for f in map(json.loads, done.stdout.decode().splitlines())]
        check(f"written of a class of both sides, the user {'with' if user_values else 'without'}"
              " a description", found == [want], found)

    real = work / "real"
    onedrive = "{018D5C66-4533-4307-9B53-224DE2ED1FE6}"
    machine = work / "SOFTWARE-onedrive-times"
    make_hive.write_hive(str(machine), software([Key(onedrive, [sz("", "OneDrive")], [
        Key("InprocServer32", [sz("", "C:\\elsewhere.dll")])])]))
    # hivexml reads the key times, to the second, from the primary as it stands.
    tree = xml.etree.ElementTree.fromstring(
        subprocess.run(["hivexml", str(real / "UsrClass.dat")], capture_output=True).stdout)
    clsid = next(n for n in tree.find("node") if n.get("name") == "CLSID")
    key = next(n for n in clsid if n.get("name") == onedrive)
    server = next(n for n in key if n.get("name", "").lower() == "inprocserver32")
    latest = max(key.findtext("mtime"), server.findtext("mtime"))
    for args in ((), ("--no-logs",)):
        done = run(scan, *args, "--rule", "shadow", "--view", "64", "--format", "json", machine,
                   real / "UsrClass.dat")
        found = [f["written"] for f in map(json.loads, done.stdout.decode().splitlines())]
        check(f"written of a shadowing user class {' '.join(args)}: the user's keys' time",
              len(found) == 1 and found[0][:19] + "Z" == latest and found[0][19] == ".",
              f"{found} against hivexml's {latest}")


def pe_image(machine, dll):
    """The headers of a PE image: MZ, e_lfanew, "PE\\0\\0", Machine and Characteristics."""
    header = bytearray(0x40) + b"PE\0\0" + struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, 0,
                                                      0x2002 if dll else 0x0002)
    header[0:2], header[0x3C:0x40] = b"MZ", struct.pack("<I", 0x40)
    return bytes(header) + b"\0" * 200


def server_files(scan, work):
    """Each finding's server file, found in the volume as Windows would find it."""
    root = work / "files-root"
    shutil.rmtree(root, ignore_errors=True)
    system32 = root / "Windows" / "System32"
    (system32 / "config").mkdir(parents=True)
    (root / "Windows" / "SysWOW64").mkdir()
    (system32 / "Present.DLL").write_bytes(pe_image(0x8664, True))
    (root / "Windows" / "SysWOW64" / "wow.dll").write_bytes(pe_image(0x14C, True))
    app = root / "Program Files" / "My App"
    app.mkdir(parents=True)
    (app / "app.exe").write_bytes(pe_image(0x8664, False))
    (root / "Program.exe").write_bytes(b"planted")
    (root / "link").mkdir()
    (root / "link" / "out.dll").symlink_to("/etc/passwd")
    os.mkfifo(root / "fifo.dll")
    (root / "folder.dll").mkdir()
    roaming = root / "Users" / "alice" / "AppData" / "Roaming"
    roaming.mkdir(parents=True)
    (roaming / "evil.dll").write_bytes(b"evil")
    (root / "Users" / "alice" / "NTUSER.DAT").write_bytes(b"")  # replaced below
    words = iter(["Zqpwtn", "Xkqvbz", "Qwzxkj", "Vbqxzk", "Jxqzvw", "Kzqxbv", "Wqxzjv", "Zxqkvb",
                  "Bqxzvk", "Qzxjvk", "Xzqvkj", "Vxqzbj"])

    def named(key, subkey, value, kind=REG_SZ, written=None):
        return Key(key, [sz("", next(words))], [Key(subkey, [("", kind, string_data(value))])],
                   written=written)
    machine_classes = software([
        named("{F1}", "InprocServer32", "C:\\WINDOWS\\system32\\present.dll",
              written=filetime("2023-07-04T05:06:07")),
        named("{F2}", "InprocServer32", "%SystemRoot%\\System32\\Present.dll", REG_EXPAND_SZ),
        named("{F3}", "InprocServer32", "C:\\missing\\gone.dll"),
        named("{F6}", "LocalServer32", '"C:\\Program Files\\My App\\app.exe" -Embedding'),
        named("{F7}", "LocalServer32", "C:\\Program Files\\My App\\app.exe -Embedding"),
        named("{F8}", "InprocServer32", "C:\\link\\out.dll"),
        named("{F9}", "InprocServer32", "C:\\fifo.dll"),
        named("{FA}", "InprocServer32", "C:\\folder.dll"),
        named("{FB}", "InprocServer32", "%ProgramFiles%\\x\\y.dll", REG_EXPAND_SZ),
        named("{FC}", "InprocServer32", "%MYDIR%\\z.dll", REG_EXPAND_SZ)],
        wow=[named("{F5}", "InprocServer32", "C:\\Windows\\System32\\wow.dll")])
    # The machine's and the user's variables as their hives set them.
    machine_classes.children[1] = Key("Microsoft", [], [
        Key("Windows", [], [Key("CurrentVersion", [sz("ProgramFilesDir", "C:\\Progs")])]),
        Key("Windows NT", [], [Key("CurrentVersion", [sz("SystemRoot", "C:\\Windows")])])])
    make_hive.write_hive(str(system32 / "config" / "SOFTWARE"), machine_classes)
    make_hive.write_hive(str(system32 / "config" / "SYSTEM"), Key("", [], [
        Key("Select", [("Current", 4, struct.pack("<I", 2))]),
        Key("ControlSet002", [], [Key("Control", [], [Key("Session Manager", [], [
            Key("Environment", [("MYDIR", REG_EXPAND_SZ, string_data("%SystemRoot%\\mine"))])])])])]))
    (root / "Users" / "alice" / "NTUSER.DAT").unlink()
    make_hive.write_hive(str(root / "Users" / "alice" / "NTUSER.DAT"), Key("", [], [
        Key("Environment", [("TOOLS", REG_EXPAND_SZ, string_data("%USERPROFILE%\\tools"))]),
        Key("Software")]))
    for folder, name in ((root / "Progs" / "x", "y.dll"), (root / "Windows" / "mine", "z.dll"),
                         (root / "Users" / "alice" / "tools", "t.dll")):
        folder.mkdir(parents=True)
        (folder / name).write_bytes(name.encode())
    classes = root / "Users" / "alice" / "AppData" / "Local" / "Microsoft" / "Windows"
    classes.mkdir(parents=True)
    make_hive.write_hive(str(classes / "UsrClass.dat"), usrclass([
        named("{F4}", "InprocServer32", "%APPDATA%\\evil.dll", REG_EXPAND_SZ),
        Key("{FD}", [sz("", "Zqpwtn")],
            [Key("InprocServer32", [("", REG_EXPAND_SZ, string_data("%TOOLS%\\t.dll"))])])]))

    done = run(scan, "--system", "--rule", "name", "--format", "json", root)
    found = {(f["key"], f["view"]): f for f in map(json.loads, done.stdout.decode().splitlines())}
    files = {key: (f["file"] or {}) for (key, view), f in found.items()}
    sha = hashlib.sha256(pe_image(0x8664, True)).hexdigest()

    def facts(key, *names):
        return tuple(files.get(key, {}).get(name) for name in names)
    check("file: present, spelled as on disk, hashed, its PE headers, where it lies",
          facts("{F1}", "path", "state", "sha256", "pe", "location") ==
          ("Windows/System32/Present.DLL", "present", sha, {"machine": "x64", "dll": True}, "system")
          and files["{F1}"]["size"] == len(pe_image(0x8664, True)) and files["{F1}"]["modified"],
          files.get("{F1}"))
    check("file: an expand string, expanded with the machine's environment",
          facts("{F2}", "path", "state") == ("Windows/System32/Present.DLL", "present"), files.get("{F2}"))
    check("file: missing, with no hash", facts("{F3}", "state", "sha256") == ("missing", None),
          files.get("{F3}"))
    check("file: %APPDATA% is the user's own, a place the user can write",
          facts("{F4}", "path", "state", "location") ==
          ("Users/alice/AppData/Roaming/evil.dll", "present", "user"), files.get("{F4}"))
    check("file: the variables of SOFTWARE, SYSTEM's current control set and NTUSER.DAT",
          (facts("{FB}", "path", "state"), facts("{FC}", "path", "state"), facts("{FD}", "path", "state"))
          == (("Progs/x/y.dll", "present"), ("Windows/mine/z.dll", "present"),
              ("Users/alice/tools/t.dll", "present")), (files.get("{FB}"), files.get("{FC}"), files.get("{FD}")))
    check("file: the 32-bit view's System32 is SysWOW64",
          facts("{F5}", "path", "pe") == ("Windows/SysWOW64/wow.dll", {"machine": "x86", "dll": True}),
          files.get("{F5}"))
    check("file: a quoted command line runs what it quotes",
          facts("{F6}", "path", "location") == ("Program Files/My App/app.exe", "program-files"),
          files.get("{F6}"))
    passed = (found.get(("{F7}", 64)) or {}).get("passed_over") or {}
    check("file: an unquoted command line runs C:\\Program.exe, which is there, not the app",
          facts("{F7}", "path", "state") == ("Program.exe", "present")
          and passed.get("path") == "Program Files/My App/app.exe", found.get(("{F7}", 64)))
    check("file: a link out of the volume is not followed, nor hashed",
          facts("{F8}", "state", "sha256") == ("outside", None), files.get("{F8}"))
    check("file: a FIFO and a folder are not files, and nothing hangs",
          facts("{F9}", "state") == ("not-a-file",) and facts("{FA}", "state") == ("not-a-file",),
          (files.get("{F9}"), files.get("{FA}")))

    plain = run(scan, "--rule", "name", "--format", "json", system32 / "config" / "SOFTWARE")
    imaged = run(scan, "--rule", "name", "--format", "json", "--image", root,
                 system32 / "config" / "SOFTWARE")
    check("without a volume the file is null; --image names one for plain sources",
          all(json.loads(line)["file"] is None for line in plain.stdout.decode().splitlines())
          and any(json.loads(line)["file"] and json.loads(line)["file"]["sha256"] == sha
                  for line in imaged.stdout.decode().splitlines()), imaged.stderr.decode())

    done = run(scan, "--system", "--rule", "name", "--format", "csv", root)
    rows = list(csv.DictReader(io.StringIO(done.stdout.decode("utf-8"), newline="")))
    f1 = [r for r in rows if r["key"] == "{F1}"]
    check("CSV: a header row, the timeline columns first, a row per finding, read back",
          list(rows[0])[:3] == ["datetime", "timestamp_desc", "message"] and len(rows) == len(found)
          and f1 and f1[0]["sha256"] == sha and f1[0]["datetime"] == "2023-07-04T05:06:07.0000000Z"
          and f1[0]["file_path"] == "Windows/System32/Present.DLL" and f1[0]["user"] == "",
          rows[:2])

    body = work / "clsid-scan.body"
    done = run(scan, "--system", "--rule", "name", "--format", "bodyfile", root)
    body.write_bytes(done.stdout)
    if shutil.which("mactime"):
        # The other times of a line are 0 (unknown): a date range leaves them out.
        timeline = subprocess.run(["mactime", "-b", str(body), "-d", "-z", "UTC",
                                   "1980-01-01..2100-01-01"], capture_output=True, timeout=60)
        lines = timeline.stdout.decode(errors="replace").splitlines()
        check("bodyfile: mactime makes a timeline of every finding at its keys' time",
              timeline.returncode == 0 and len(lines) - 1 == len(found)
              and lines[1].startswith("Tue Jul 04 2023 05:06:07,0,m...,") and "{F1}" in lines[1]
              and all(l.startswith("Mon Jan 01 2024 00:00:00,0,m...,") for l in lines[2:]),
              timeline.stdout.decode(errors="replace")[:600] + timeline.stderr.decode())
    else:
        print("SKIP bodyfile through mactime: no mactime (Debian's sleuthkit)")

    done = run(scan, "--rule", "name", "--view", "64", "--details", "--image", root,
               system32 / "config" / "SOFTWARE")
    plain = run(scan, "--rule", "name", "--view", "64", system32 / "config" / "SOFTWARE")
    text = done.stdout.decode()
    check("--details adds each finding's time and file after its line; without it, no change",
          "    written  2024-01-01T00:00:00.0000000Z\n" in text and f"sha256 {sha}" in text
          and "\n".join(l for l in text.splitlines() if not l.startswith("    ")) + "\n"
          == plain.stdout.decode(), text)


def hijack_rules(scan, work):
    """The hijacking techniques beyond the two shapes, on each side and view, with severities."""
    root = work / "hijack-root"
    shutil.rmtree(root, ignore_errors=True)
    config = root / "Windows" / "System32" / "config"
    config.mkdir(parents=True)
    (root / "Windows" / "System32" / "scrobj.dll").write_bytes(b"scrobj")
    (root / "Windows" / "System32" / "ok.dll").write_bytes(b"ok")

    def server(name, path, subkey="InprocServer32", extra=()):
        return Key(name, [sz("", name.strip("{}") + " class")], [Key(subkey, [sz("", path)]), *extra])

    def treat(name, target, extra=()):
        return Key(name, [sz("", "Treated")], [Key("TreatAs", [sz("", target)]), *extra])
    mmdev, oleacc, mru = ("{BCDE0395-E52F-467C-8E3D-C4579291692E}",
                          "{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}",
                          "{42AEDC87-2188-41FD-B9A3-0C966FEABEC1}")
    chain = [treat(f"{{C{i}}}", f"{{C{i + 1}}}") for i in range(10)]
    make_hive.write_hive(str(config / "SOFTWARE"), software([
        server("{SC1}", "C:\\Windows\\System32\\scrobj.dll"),
        server("{SC3}", "C:\\Windows\\System32\\scrobj.dll",
               extra=[Key("ScriptletURL", [sz("", "file://C:/ProgramData/a.sct")])]),
        treat("{T1}", "{T2}"), server("{T2}", "C:\\Windows\\System32\\ok.dll"),
        treat("{L1}", "{L2}"), treat("{L2}", "{L1}"), treat("{SELF}", "{SELF}"),
        treat("{M1}", "{NOPE}"), *chain,
        treat("{W1}", "{W2}"), server("{W2}", "C:\\Users\\Public\\w.dll"),
        server("{A1}", "C:\\Windows\\System32\\gone.dll"),
        server("{A2}", "C:\\ProgramData\\gone.dll"),
        server("{U1}", "C:\\ProgramData\\vendor\\x.dll"),
        server("{H1}", "C:\\Windows\\System32\\ok.dll", extra=[Key("InprocHandler32", [sz("", "ole32.dll")])]),
        server("{H2}", "C:\\Windows\\System32\\ok.dll", extra=[Key("InprocHandler32", [sz("", "C:\\evil\\h.dll")])]),
        Key(mmdev, [sz("", "MMDeviceEnumerator")], [Key("InprocServer32", [
            ("", REG_EXPAND_SZ, string_data("%SystemRoot%\\System32\\MMDevApi.dll"))])]),
        server(mru, "C:\\Windows\\System32\\other.dll")],
        wow=[server(oleacc, "C:\\Windows\\System32\\oleacc.dll"), treat("{T5}", "{T6}"),
             server("{T6}", "C:\\Users\\Public\\t6.dll")]))
    classes = root / "Users" / "eve" / "AppData" / "Local" / "Microsoft" / "Windows"
    classes.mkdir(parents=True)
    make_hive.write_hive(str(classes / "UsrClass.dat"), usrclass([
        server("{SC2}", "C:\\Windows\\System32\\scrobj.dll",
               extra=[Key("ScriptletURL", [sz("", "http://example.invalid/x.sct")])]),
        treat("{T3}", "{T2}"),
        server("{H3}", "C:\\Windows\\System32\\ok.dll", extra=[Key("InprocHandler32", [sz("", "h.dll")])]),
        server(mmdev, "C:\\Users\\Public\\m.dll")]))

    done = run(scan, "--system", "--format", "json", "--rule",
               "scriptlet,treatas,abandoned,userpath,handler,known", root)
    found = {}
    for f in map(json.loads, done.stdout.decode().splitlines()):
        found.setdefault((f["rule"], f["key"], f["view"], f["user"]), f)

    def listed(rule, key, view=64, user=None):
        """The finding's severity and the reason its rule gives first (the file may add more)."""
        f = found.get((rule, key, view, user))
        return (f["severity"], f["reasons"][:1]) if f else None
    check("scriptlet: the user's is high; a machine's with a script medium; Windows' own low",
          listed("scriptlet", "{SC2}", user="eve") == ("high", ["user-side scriptlet"])
          and found[("scriptlet", "{SC2}", 64, "eve")]["script"] == "http://example.invalid/x.sct"
          and listed("scriptlet", "{SC3}")[0] == "medium"
          and listed("scriptlet", "{SC1}") == ("low", ["system scriptlet class"]), found.keys())
    check("treatas: a user's link is high; loops, missing targets and long chains end with a reason",
          listed("treatas", "{T3}", user="eve") == ("high", ["treatas introduced by user"])
          and found[("treatas", "{T3}", 64, "eve")]["chain"] == ["{T3}", "{T2}"]
          and listed("treatas", "{L1}") == ("medium", ["treatas loop"])
          and listed("treatas", "{M1}") == ("medium", ["treatas target missing"])
          and listed("treatas", "{C0}") == ("medium", ["treatas chain too long"])
          and listed("treatas", "{T1}") is None and listed("treatas", "{SELF}") is None,
          [(k, v["reasons"]) for k, v in found.items() if k[0] == "treatas"])
    check("treatas: a machine chain ending at a user-writable server, in each view",
          listed("treatas", "{W1}") == ("high", ["treatas ends at user-writable server"])
          and listed("treatas", "{T5}", view=32) == ("high", ["treatas ends at user-writable server"]),
          [(k, v["reasons"]) for k, v in found.items() if k[0] == "treatas"])
    check("abandoned: a missing machine server; high where a user could plant it, low in System32",
          listed("abandoned", "{A1}") == ("low", ["server file missing"])
          and listed("abandoned", "{A2}") == ("high", ["server file missing"])
          and "server in user-writable location" in found[("abandoned", "{A2}", 64, None)]["reasons"]
          and listed("abandoned", "{T2}") is None, [k for k in found if k[0] == "abandoned"])
    check("userpath: a machine server where a standard user can write",
          listed("userpath", "{U1}") == ("medium", ["machine server in user-writable location"])
          and listed("userpath", "{A1}") is None, [k for k in found if k[0] == "userpath"])
    check("handler: one outside the system folders; the user's own is high",
          listed("handler", "{H2}") == ("medium", ["handler outside system folders"])
          and listed("handler", "{H3}", user="eve") == ("high", ["user-side handler differs from machine"])
          and listed("handler", "{H1}") is None,
          [k for k in found if k[0] == "handler"])
    check("known: a targeted class whose server is not its system file, on either side and view",
          listed("known", mmdev, user="eve") == ("high", ["known target hijacked"])
          and listed("known", mmdev) is None and listed("known", mru)[0] == "high"
          and listed("known", oleacc, view=32) is None, [k for k in found if k[0] == "known"])

    done = run(scan, "--system", "--min-severity", "high", "--format", "json", root)
    levels = {json.loads(line)["severity"] for line in done.stdout.decode().splitlines()}
    low = run(scan, "--min-severity", "high", "--rule", "scriptlet", "--view", "64",
              "--format", "json", config / "SOFTWARE")
    check("--min-severity prints only what is at or above it, and the exit code counts only that",
          done.returncode == 1 and levels == {"high"} and low.returncode == 0 and not low.stdout,
          (levels, low.returncode, low.stderr.decode()))
    done = run(scan, "--rule", "abandoned", config / "SOFTWARE")
    check("abandoned without a volume lists nothing and says so",
          done.returncode == 0 and "the abandoned rule needs the server files" in done.stderr.decode(),
          done.stderr.decode())


def as_windows_loads(scan, work):
    """Handlers, named server values, AutoTreatAs, other drives, times and ids, judged as COM
    loads the class rather than by the text of its default values."""
    root = work / "loads-root"
    shutil.rmtree(root, ignore_errors=True)
    system32 = root / "Windows" / "System32"
    (system32 / "config").mkdir(parents=True)
    for name in ("ole32.dll", "shcore.dll", "ok.dll", "mscoree.dll"):
        (system32 / name).write_bytes(pe_image(0x8664, True))
    (system32 / "good.exe").write_bytes(pe_image(0x8664, False))
    (root / "Program.exe").write_bytes(b"planted")
    (root / "Program Files" / "My App").mkdir(parents=True)
    (root / "Program Files" / "My App" / "app.exe").write_bytes(pe_image(0x8664, False))
    roaming = root / "Users" / "alice" / "AppData" / "Roaming"
    roaming.mkdir(parents=True)
    (roaming / "ole32.dll").write_bytes(b"evil")
    (system32 / "Wbem").mkdir()
    (system32 / "Wbem" / "wbemthing.dll").write_bytes(pe_image(0x8664, True))
    make_hive.write_hive(str(root / "Users" / "alice" / "NTUSER.DAT"), Key("", [], [
        Key("Software", [], [Key("Classes")]),
        Key("Environment", [("Path", REG_EXPAND_SZ, string_data("%USERPROFILE%\\Tools"))])]))
    (root / "Users" / "alice" / "evil.exe").write_bytes(b"evil")
    (root / "Users" / "Public").mkdir()
    (root / "Users" / "Public" / "lib.dll").write_bytes(b"lib")
    (system32 / "oleacc.dll").symlink_to("../../Users/Public/lib.dll")
    (root / "Users" / "Public" / "managed.dll").write_bytes(pe_image(0x14C, True))  # AnyCPU
    (root / "ProgramData" / "Vendor").mkdir(parents=True)
    (root / "ProgramData" / "Vendor" / "present.dll").write_bytes(pe_image(0x8664, True))
    mmdev, oleacc = "{BCDE0395-E52F-467C-8E3D-C4579291692E}", "{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}"
    machine_time, user_time, user_server_time = (filetime("2024-06-01T00:00:00"),
                                                 filetime("2023-01-01T00:00:00"),
                                                 filetime("2023-05-02T03:04:05.1234567"))

    def cls(name, description, *subkeys, written=None):
        return Key(name, [sz("", description)] if description else [], list(subkeys),
                   written=written)

    def sub(name, *values, written=None):
        return Key(name, [sz(n, v) for n, v in values], written=written)
    ok = sub("InprocServer32", ("", "C:\\Windows\\System32\\ok.dll"))
    make_hive.write_hive(str(system32 / "config" / "SOFTWARE"), software([
        cls("{HS}", "Shell handler", ok, sub("InprocHandler32", ("", "C:\\Windows\\System32\\shcore.dll"))),
        cls("{HD}", "Doc handler", ok, sub("InprocHandler32", ("", "ole32.dll"))),
        cls("{SE}", "Local thing", sub("LocalServer32", ("", "C:\\Windows\\System32\\good.exe"))),
        cls("{UQ}", "Zqpwtnxkqv", sub("LocalServer32", ("", "C:\\Program Files\\My App\\app.exe -Embedding"),
                                      ("ServerExecutable", "C:\\Program Files\\My App\\app.exe"))),
        cls("{CB}", "Managed thing", sub("InprocServer32", ("", "mscoree.dll"),
                                         ("CodeBase", "file:///C:/Users/Public/managed.dll"),
                                         ("Assembly", "Lib, Version=1.0.0.0"), ("Class", "Lib.Thing"))),
        cls("{AT}", "Emulated", sub("AutoTreatAs", ("", "{PUB}"))),
        cls("{PUB}", "Public", sub("InprocServer32", ("", "C:\\Users\\Public\\lib.dll"))),
        cls("{OD}", "Other drive", sub("InprocServer32", ("", "D:\\Tools\\x.dll"))),
        cls("{PD}", "Installed under ProgramData", sub("InprocServer32", ("", "C:\\ProgramData\\Vendor\\present.dll"))),
        cls("{PM}", "Planted under ProgramData", sub("InprocServer32", ("", "C:\\ProgramData\\Vendor\\gone.dll"))),
        cls(oleacc, "CAccPropServicesClass", sub("InprocServer32", ("", "C:\\Windows\\System32\\oleacc.dll"))),
        cls("{UR}", "Behind a locked folder", sub("InprocServer32", ("", "C:\\Locked\\x.dll"))),
        cls("{UX}", "Unexpanded", sub("InprocServer32", ("", "%PUBLIC%\\ux.dll"))),
        cls("{WB}", "Found on the search path", sub("InprocServer32", ("", "wbemthing.dll"))),
        cls("{LA}", "Per user", Key("InprocServer32", [("", REG_EXPAND_SZ, string_data("%LOCALAPPDATA%\\Vendor\\x.dll"))])),
        cls(mmdev, "MMDeviceEnumerator", sub("InprocServer32", ("", "C:\\Windows\\System32\\MMDevApi.dll")),
            written=machine_time)]))
    classes = root / "Users" / "alice" / "AppData" / "Local" / "Microsoft" / "Windows"
    classes.mkdir(parents=True)
    make_hive.write_hive(str(classes / "UsrClass.dat"), usrclass([
        cls("{HD}", None, sub("InprocHandler32", ("", "C:\\Users\\alice\\AppData\\Roaming\\ole32.dll"))),
        cls("{SE}", None, sub("LocalServer32", ("", "C:\\Windows\\System32\\good.exe"),
                              ("ServerExecutable", "C:\\Users\\alice\\evil.exe"))),
        cls(mmdev, None, sub("InprocServer32", ("", "C:\\Users\\Public\\m.dll"), written=user_server_time),
            written=user_time)]))
    bobs = root / "Users" / "bob" / "AppData" / "Local" / "Microsoft" / "Windows"
    bobs.mkdir(parents=True)
    make_hive.write_hive(str(bobs / "UsrClass.dat"), usrclass([cls("{BOB}", "Bob's own", ok)]))
    done = run(scan, "--system", "--format", "json", "--rule", "all", root)
    found = {}
    for f in map(json.loads, done.stdout.decode().splitlines()):
        found.setdefault((f["rule"], f["key"], f["user"]), f)
    per_user = [found.get(("abandoned", "{LA}", user)) for user in ("alice", "bob")]
    check("common to all users means the same file: a machine %LOCALAPPDATA% server is each user's",
          all(f and f["severity"] == "high" for f in per_user)
          and [f["file"]["path"] for f in per_user] == [
              "Users/%s/AppData/Local/Vendor/x.dll" % user for user in ("alice", "bob")],
          [k for k in found if k[1] == "{LA}"])

    def listed(rule, key, user=None):
        f = found.get((rule, key, user))
        return (f["severity"], f["reasons"][:1]) if f else None
    check("handler: Windows' own in System32 is no finding; a user's ole32.dll in AppData is high",
          listed("handler", "{HS}") is None and listed("handler", "{HD}") is None
          and listed("handler", "{HD}", "alice") == ("high", ["user-side handler differs from machine"])
          and found[("handler", "{HD}", "alice")]["file"]["path"] == "Users/alice/AppData/Roaming/ole32.dll"
          and listed("shadow", "{HD}", "alice") == ("high", ["user-side handler differs from machine"]),
          sorted(k for k in found if k[1] == "{HD}"))
    shadow = found.get(("shadow", "{SE}", "alice"))
    check("ServerExecutable: COM starts it; a user's over a machine class is a high shadow finding",
          shadow is not None and shadow["subkey"] == "LocalServer32\\ServerExecutable"
          and shadow["severity"] == "high" and shadow["file"]["path"] == "Users/alice/evil.exe",
          shadow)
    named = found.get(("name", "{UQ}", None))
    check("ServerExecutable: the program examined; an unquoted command line beside it runs nothing else",
          named is not None and named["file"]["path"] == "Program Files/My App/app.exe"
          and "unquoted path runs another program" not in named["reasons"] and "passed_over" not in named,
          named)
    managed = found.get(("userpath", "{CB}", None))
    check("CodeBase: the assembly the CLR loads is judged, with its Assembly and Class shown",
          managed is not None and managed["file"]["path"] == "Users/Public/managed.dll"
          and "server machine does not fit view" not in managed["reasons"]
          and managed["assembly"] == "Lib, Version=1.0.0.0" and managed["class"] == "Lib.Thing", managed)
    check("AutoTreatAs is not followed as TreatAs: alone, it is its own low reason",
          listed("treatas", "{AT}") == ("low", ["autotreatas alone"]), found.get(("treatas", "{AT}", None)))
    check("a machine server on another drive is a finding with its own reason",
          listed("abandoned", "{OD}") == ("medium", ["machine server on another drive or share"]),
          [k for k in found if k[1] == "{OD}"])
    check("ProgramData: an installer's present file is not a user's; a missing one is plantable (high)",
          listed("userpath", "{PD}") is None and listed("abandoned", "{PD}") is None
          and listed("abandoned", "{PM}") == ("high", ["server file missing"])
          and listed("userpath", "{PM}") is not None,
          [k for k in found if k[1] in ("{PD}", "{PM}")])
    check("known: a system file that is a link into Users\\Public is judged where it leads",
          listed("known", oleacc) is not None and listed("known", oleacc)[0] == "high",
          [k for k in found if k[1] == oleacc])
    unexpanded = found.get(("userpath", "{UX}", None))
    check("a REG_SZ naming %PUBLIC% is judged expanded too, with a reason that says so",
          unexpanded is not None
          and "server names a variable that REG_SZ leaves unexpanded" in unexpanded["reasons"],
          unexpanded)
    known = found.get(("known", mmdev, "alice"))
    check("written: a user override's own keys' time, not the machine class key's",
          known is not None and known["written"] == "2023-05-02T03:04:05.1234567Z"
          and found[("handler", "{HD}", "alice")]["written"] != "2024-06-01T00:00:00.0000000Z", known)

    image = run(scan, "--format", "json", "--rule", "abandoned", "--view", "64", "--image", root,
                system32 / "config" / "SOFTWARE", classes / "UsrClass.dat")
    imaged = [f for f in map(json.loads, image.stdout.decode().splitlines()) if f["key"] == "{LA}"]
    system = per_user[0] or {}
    check("--image with a user's hive resolves in that user's profile, as --system does",
          len(imaged) == 1 and all(imaged[0].get(field) == system.get(field)
                                   for field in ("file", "severity", "id")),
          (imaged, system))

    check("a user's Path is appended to the machine's: a bare name in System32\\Wbem is found",
          not any(k[1] == "{WB}" for k in found), [k for k in found if k[1] == "{WB}"])

    (root / "Locked").mkdir()
    command = as_unprivileged([str(scan), "--system", "--rule", "abandoned", "--view", "64", str(root)])
    if command is None:
        print("SKIP unreadable server folder: no unprivileged user to run as")
    else:
        (root / "Locked").chmod(0)
        try:
            locked = subprocess.run(command, capture_output=True, timeout=120)
        finally:
            (root / "Locked").chmod(0o755)
        error = locked.stderr.decode(errors="replace")
        check("a server file that cannot be looked for is said on standard error, exit code 2",
              locked.returncode == 2 and "server file C:\\Locked\\" in error
              and "{UR}" not in locked.stdout.decode(errors="replace"), (locked.returncode, error))

    # The id covers the handler and the script a finding judged, not the server alone.
    ids = []
    for handler, url in (("C:\\evil\\a.dll", "http://one.invalid/a.sct"),
                         ("C:\\Users\\Public\\evil.dll", "http://two.invalid/b.sct")):
        hive = work / "loads-id.hive"
        make_hive.write_hive(str(hive), software([
            cls("{IH}", "Handled", ok, sub("InprocHandler32", ("", handler))),
            cls("{IS}", "Scripted", sub("InprocServer32", ("", "C:\\Windows\\System32\\scrobj.dll")),
                sub("ScriptletURL", ("", url)))]))
        done = run(scan, "--format", "json", "--rule", "handler,scriptlet", "--view", "64", hive)
        ids.append({f["rule"]: f["id"] for f in map(json.loads, done.stdout.decode().splitlines())})
    check("ids differ when only the handler or the ScriptletURL differs",
          len(ids[0]) == 2 and all(ids[0][rule] != ids[1].get(rule) for rule in ids[0]), ids)


def example_volume(scan):
    """The shipped evidence volume: each planted hijack high, the uninstalled vendor's orphan low,
    alice's harmless copy of a machine registration and the stock classes nothing above low."""
    done = run(scan, "--system", "--format", "json", HERE.parent / "examples" / "evidence")
    found = {(f["user"], f["rule"], f["key"]): f["severity"]
             for f in map(json.loads, done.stdout.decode().splitlines())}
    planted = {("alice", "handler", "{000C1090-0000-0000-C000-000000000046}"),
               ("alice", "known", "{BCDE0395-E52F-467C-8E3D-C4579291692E}"),
               ("bob", "shadow", "{0289a7c5-91bf-4547-81ae-fec91a89dec5}"),
               ("bob", "scriptlet", "{C5D6E7F8-0A1B-4C2D-8E3F-4A5B6C7D8E9F}"),
               (None, "treatas", "{F56F6FDD-AA9D-4618-A949-C1B91AF43B1A}"),
               (None, "abandoned", "{91B4C2D8-3E7F-4A16-B5C9-D0E1F2A3B4C5}")}
    high = {k for k, severity in found.items() if severity == "high"}
    check("examples/evidence: every planted hijack high, the look-alikes low or nothing",
          done.returncode == 1 and planted <= high
          and found.get((None, "abandoned", "{3C9E8A71-6F2B-4D05-8E14-A9B7C6D5E4F3}")) == "low"
          and not any(k[0] == "alice" and k[2] == "{0000002F-0000-0000-C000-000000000046}" for k in found)
          and all(k[2] in {p[2] for p in planted} for k in high),
          sorted(found.items(), key=str))


def loaders_stock_and_user_classes(scan, work):
    """What loads each class (loaded_by), the userclass rule by what loads it, and the stock rule."""
    root = work / "loads-root"
    shutil.rmtree(root, ignore_errors=True)
    config = root / "Windows" / "System32" / "config"
    config.mkdir(parents=True)
    appdata = "C:\\Users\\eve\\AppData\\Roaming\\"

    def server(name, path, subkey="InprocServer32", kind=REG_SZ):
        return Key(name, [sz("", name.strip("{}") + " class")], [Key(subkey, [(("", kind, string_data(path)))])])
    uid = {n: f"{{0000000{n}-1111-2222-3333-444455556666}}" for n in range(1, 10)}
    oleaut, shell, local = ("{0000002F-0000-0000-C000-000000000046}",
                            "{0947C622-F98A-48A5-9DF7-60E5FE202E07}",
                            "{046AEAD9-5A27-4D3C-8A67-F82552E0A91B}")
    microsoft = Key("Microsoft", [], [
        Key("AMSI", [], [Key("Providers", [], [Key(uid[2])])]),
        Key("Windows", [], [Key("CurrentVersion", [], [
            Key("ShellServiceObjectDelayLoad", [sz("Updater", uid[3])]),
            Key("Explorer", [], [Key("ShellIconOverlayIdentifiers", [], [
                Key("  SyncOverlay", [sz("", uid[4])])])])])])])
    machine = software([
        server(oleaut, "%SystemRoot%\\System32\\OLEAUT32.dll", kind=REG_EXPAND_SZ),
        server(shell, "C:\\Windows\\System32\\windows.storage.dll"),
        server("{BCDE0395-E52F-467C-8E3D-C4579291692E}", "C:\\Windows\\System32\\wbem\\evil.dll"),
        server("{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}", "C:\\Tools\\oleacc.dll"),
        server(local, "C:\\Windows\\System32\\rundll32.exe evil.dll,Run", "LocalServer32"),
        # Two WMI classes re-pointed to other DLLs in System32, as an administrator can.
        server("{4590F811-1D3A-11D0-891F-00AA004B2E24}", "C:\\Windows\\System32\\wbem\\wbemsvcx.dll"),
        server("{1B1CAD8C-2DAB-11D2-B604-00104B703EFD}", "%SystemRoot%\\System32\\cmdext.dll", kind=REG_EXPAND_SZ),
        server("{2781761E-28E0-4109-99FE-B9D127C57AFE}",
               '"C:\\ProgramData\\Microsoft\\Windows Defender\\Platform\\4.18.2111.5-0\\MpOav.dll"')])
    machine.children[1] = microsoft
    machine.children[0].children += [
        Key("*", [], [Key("shellex", [], [Key("ContextMenuHandlers", [], [Key("Sync", [sz("", uid[5])])])])]),
        Key(".abc", [sz("", "abcfile")]),
        Key("abcfile", [], [Key("shellex", [], [Key("IconHandler", [sz("", uid[6])])])]),
        Key("sharedfile", [], [Key("shellex", [], [Key("IconHandler", [sz("", uid[6])])])]),
        *[Key(".x%03d" % i, [sz("", "sharedfile")]) for i in range(300)]]
    make_hive.write_hive(str(config / "SOFTWARE"), machine)
    profile = root / "Users" / "eve"
    classes = profile / "AppData" / "Local" / "Microsoft" / "Windows"
    classes.mkdir(parents=True)
    make_hive.write_hive(str(profile / "NTUSER.DAT"), Key("", [], [
        Key("Environment", [sz("COR_ENABLE_PROFILING", "1"), sz("COR_PROFILER", uid[1])]),
        Key("Software")]))

    tasks = root / "Windows" / "System32" / "tasks" / "Vendor"
    tasks.mkdir(parents=True)
    (tasks / "Update").write_bytes(
        ('<?xml version="1.0" encoding="UTF-16"?>\r\n<Task xmlns="http://schemas.microsoft.com/'
         'windows/2004/02/mit/task"><Actions Context="Author"><ComHandler><ClassId>'
         f'{uid[9]}</ClassId></ComHandler></Actions></Task>').encode("utf-16"))
    (tasks / "Huge").write_bytes(b" " * (1 << 20 | 1))
    make_hive.write_hive(str(classes / "UsrClass.dat"), usrclass(
        [server(uid[n], appdata + f"u{n}.dll") for n in (*range(1, 8), 9)]
        + [server(uid[8], "C:\\Windows\\System32\\u8.dll"), server(oleaut, appdata + "o.dll")]))

    # Ordinary per-user software: a sync client's overlay (its HKLM entry names a per-user
    # class), an editor's context menu handler approved in HKCU, chat and meeting clients'
    # notification activators, all served from AppData.
    ann_local = "C:\\Users\\ann\\AppData\\Local\\"
    ann = root / "Users" / "ann"
    (ann / "AppData" / "Local" / "Microsoft" / "Windows").mkdir(parents=True)
    make_hive.write_hive(str(ann / "NTUSER.DAT"), Key("", [], [Key("Software", [], [
        Key("Microsoft", [], [Key("Windows", [], [Key("CurrentVersion", [], [
            Key("Shell Extensions", [], [Key("Approved", [sz(uid[5], "Editor menu")])])])])])])]))
    make_hive.write_hive(str(ann / "AppData" / "Local" / "Microsoft" / "Windows" / "UsrClass.dat"),
                         Key("", [], [Key("CLSID", [], [
                             server(uid[4], ann_local + "Sync\\SyncShell64.dll"),
                             server(uid[5], ann_local + "Programs\\Editor\\menu.dll"),
                             server("{A1000000-0000-0000-0000-000000000001}",
                                    ann_local + "Chat\\chat.exe -ToastActivated", "LocalServer32"),
                             server("{A1000000-0000-0000-0000-000000000002}",
                                    ann_local + "Meet\\bin\\meet.exe", "LocalServer32")])]))

    done = run(scan, "--system", "--format", "json", "--view", "64", root)
    found = {(f["rule"], f["key"], f["user"]): f for f in map(json.loads, done.stdout.decode().splitlines())}
    levels = {k[1]: v["severity"] for k, v in found.items() if k[2] == "ann"}
    check("per-user registrations of ordinary software give no high finding",
          sum(k[0] == "userclass" and k[2] == "ann" for k in found) == 4
          and "high" not in levels.values(), levels)
    check("scheduled tasks: a COM handler loads its class; a file too large is noted",
          found.get(("userclass", uid[9], "eve"), {}).get("loaded_by") == [{
              "kind": "scheduled-task", "side": "machine", "value": "Actions/ComHandler/ClassId",
              "file": "Windows/System32/tasks/Vendor/Update"}]
          and found[("userclass", uid[9], "eve")]["severity"] == "high"
          and "Vendor/Huge: larger than 1 MiB" in done.stderr.decode(), done.stderr.decode())

    def listed(rule, key, user="eve"):
        f = found.get((rule, key, user))
        return (f["severity"], f["reasons"][:1]) if f else None
    check("userclass: high for a profiler, an AMSI provider, a delay-load entry",
          listed("userclass", uid[1]) == ("high", ["user-only class is profiler"])
          and listed("userclass", uid[2]) == ("high", ["user-only class is amsi provider"])
          and listed("userclass", uid[3]) == ("high", ["user-only class is delay-load shell service"]),
          [(k, v["reasons"]) for k, v in found.items() if k[0] == "userclass"])
    check("userclass: medium for overlay and shell handlers, low when nothing loads it, none in System32",
          listed("userclass", uid[4]) == ("medium", ["user-only class is icon overlay handler"])
          and listed("userclass", uid[5]) == ("medium", ["user-only class is shell extension handler"])
          and listed("userclass", uid[6]) == ("medium", ["user-only class is shell extension handler"])
          and listed("userclass", uid[7]) == ("low", ["user-only class nothing loads"])
          and listed("userclass", uid[8]) is None and listed("userclass", oleaut) is None,
          [(k, v["reasons"]) for k, v in found.items() if k[0] == "userclass"])
    profiler = found.get(("userclass", uid[1], "eve"), {}).get("loaded_by")
    overlay = found.get(("userclass", uid[4], "eve"), {}).get("loaded_by")
    check("loaded_by: each reference with its side, key and value",
          profiler == [{"kind": "profiler", "side": "user", "key": "HKCU\\Environment",
                        "value": "COR_PROFILER"}]
          and overlay == [{"kind": "icon-overlay", "side": "machine", "value": "(default)",
                           "key": "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer"
                                  "\\ShellIconOverlayIdentifiers\\  SyncOverlay"}]
          and found[("shadow", oleaut, "eve")]["loaded_by"] == []
          # 300 extensions name one ProgID: it is read once, not once for each.
          and len(found[("userclass", uid[6], "eve")]["loaded_by"]) == 2, (profiler, overlay))
    check("stock: medium for another System32 file, high elsewhere, both servers named",
          listed("stock", "{BCDE0395-E52F-467C-8E3D-C4579291692E}", None)
          == ("medium", ["stock class re-pointed within system folder"])
          and listed("stock", "{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}", None)
          == ("high", ["stock class re-pointed outside system folder"])
          and found[("stock", "{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}", None)]["expected"]
          == "%SystemRoot%\\System32\\oleacc.dll"
          and listed("stock", local, None) is not None
          and listed("stock", "{4590F811-1D3A-11D0-891F-00AA004B2E24}", None)[0] == "medium"
          and listed("stock", "{1B1CAD8C-2DAB-11D2-B604-00104B703EFD}", None)[0] == "medium",
          [k for k in found if k[0] == "stock"])
    check("stock: the stock server spelled otherwise and Windows' own DLL moves are not findings",
          listed("stock", oleaut, None) is None and listed("stock", shell, None) is None
          and listed("stock", "{2781761E-28E0-4109-99FE-B9D127C57AFE}", None) is None,
          [k for k in found if k[0] == "stock"])
    allow = work / "loads-allow.txt"
    allow.write_text("{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}\n")
    done = run(scan, "--system", "--rule", "stock", "--allow", allow, "--format", "json", root)
    keys = {json.loads(line)["key"] for line in done.stdout.decode().splitlines()}
    check("stock: --allow silences an entry", "{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}" not in keys
          and "{BCDE0395-E52F-467C-8E3D-C4579291692E}" in keys, keys)
    # A profiler set just before collection is only in NTUSER.DAT's log: it is read replayed.
    ntuser = profile / "NTUSER.DAT"
    ntuser.unlink()
    write_grown_hive(ntuser, Key("", [], [
        Key("Environment", [sz("COR_ENABLE_PROFILING", "1"), sz("COR_PROFILER", uid[1])]),
        Key("Software", [], [Key("Classes", [], [Key("CLSID", [], [
            bare("{D%03d}" % i, "Bare", "C:\\Windows\\System32\\b.dll") for i in range(60)])])])]), 1)
    done = run(scan, "--system", "--rule", "userclass", "--format", "json", root)
    profiled = [f for f in map(json.loads, done.stdout.decode().splitlines()) if f["key"] == uid[1]]
    check("loaded_by: a dirty NTUSER.DAT is read as its log leaves it",
          [f["loaded_by"][0]["kind"] for f in profiled] == ["profiler"]
          and "NTUSER.DAT: dirty, recovered" in done.stderr.decode(), (profiled, done.stderr.decode()))
    done = run(scan, "--system", "--rule", "userclass", "--details", root)
    rows = list(csv.reader(io.StringIO(run(scan, "--system", "--rule", "userclass", "--format",
                                           "csv", root).stdout.decode())))
    check("loaded_by in --details and CSV",
          "    loaded   profiler (user) HKCU\\Environment  COR_PROFILER" in done.stdout.decode()
          and "loaded_by" in rows[0]
          and any(row[rows[0].index("loaded_by")] == "profiler user HKCU\\Environment COR_PROFILER"
                  for row in rows),
          done.stdout.decode())


def as_unprivileged(command):
    """The command run as a user without root's right to read any folder, or None when there is
    no such user to be had (the folder permission checks are then skipped with a note)."""
    if os.geteuid() != 0:
        return command
    user = "clsid-scan-test"
    if subprocess.run(["id", "-u", user], capture_output=True).returncode != 0:
        if not shutil.which("useradd") or subprocess.run(
                ["useradd", "--system", "--no-create-home", user], capture_output=True).returncode:
            return None
    return ["runuser", "-u", user, "--", *command] if shutil.which("runuser") else None


def hostile_system_folders(scan, work):
    """Evidence trees as they come: unreadable folders, case variants, odd files, hostile names."""
    roots = work / "hostile"
    shutil.rmtree(roots, ignore_errors=True)
    pc = roots / "pc"
    config = pc / "WINNT" / "System32" / "config"
    config.mkdir(parents=True)
    make_hive.write_hive(str(config / "SOFTWARE"), software([bare("{M}", "Machine", "C:\\m.dll")]))

    def profile(users, name, classes, ntuser=None):
        folder = pc / users / name / "AppData" / "Local" / "Microsoft" / "Windows"
        folder.mkdir(parents=True)
        if classes is not None:
            make_hive.write_hive(str(folder / "UsrClass.dat"), usrclass(classes))
        if ntuser is not None:
            make_hive.write_hive(str(pc / users / name / "NTUSER.DAT"), ntuser)
        return folder

    profile("Users", "alice", [bare("{A}", "Alice", "C:\\a.dll")])
    empty = profile("Users", "gina", None) / "UsrClass.dat"
    make_hive.write_hive(str(empty), Key("", [], []))
    locked = profile("Users", "carol", [bare("{C}", "Carol", "C:\\c.dll")])
    profile("users", "dave", [bare("{D}", "Dave", "C:\\d.dll")],
            ntuser=Key("", [], [Key("AppEvents")]))
    profile("users", "alice", [bare("{A2}", "Other Alice", "C:\\a2.dll")])
    fifo = profile("Users", "erin", None) / "UsrClass.dat"
    os.mkfifo(fifo)
    profile("Users", "frank", None).joinpath("UsrClass.dat").mkdir()
    forged = f"x\n{PREFIX}{{FORGED}}               \tEvil\n\x1b[2J"
    profile("Users", forged, [bare("{G}", "Forged", "C:\\g.dll")])
    profile("Users", b"caf\xe9".decode("utf-8", "surrogateescape"), [bare("{H}", "Cafe", "C:\\h.dll")])
    for folder in roots.rglob("*"):
        if not folder.is_symlink() and not stat.S_ISFIFO(folder.lstat().st_mode):
            folder.chmod(0o755 if folder.is_dir() else 0o644)
    roots.chmod(0o755)
    work.chmod(0o755)

    done = run(scan, "--system", "--rule", "bare", "--view", "64", pc, str(pc) + "/")
    text, error = done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
    headers = [line for line in text.splitlines() if line.startswith("# ")]
    check("--system finds the system folder by what it holds (WINNT), once for a ROOT given twice",
          "{M}" in text and len([h for h in headers if h.endswith("machine, bare rule, 64-bit view")]) == 1
          and "given again" in error, error)
    check("--system scans every case variant of Users, telling two profiles of one name apart",
          "{A}" in text and "{A2}" in text and "{D}" in text
          and any("user Users/alice," in h for h in headers)
          and any("user users/alice," in h for h in headers), headers)
    check("--system: a FIFO and a folder where a hive should be are named, exit 2, no hang",
          done.returncode == 2 and str(fifo) in error and "frank" in error, error)
    check("--system: an NTUSER.DAT without Software, an empty UsrClass.dat: noted, not errors",
          "holds no Software\\Classes" in error and "{D}" in text
          and f"{empty}: holds no classes keys" in error
          and "not a SOFTWARE, UsrClass.dat or NTUSER.DAT hive" not in error, error)
    check("folder names cannot forge report lines or reach the terminal raw",
          "{FORGED}" not in "".join(line for line in text.splitlines()
                                    if line.startswith(PREFIX)) and "\x1b" not in text
          and "\x1b" not in error and "x\\x0aHKEY_CLASSES_ROOT" in text, text)

    done = run(scan, "--system", "--format", "json", "--rule", "bare", "--view", "64", pc)
    try:
        found = [json.loads(line.decode("utf-8", "strict")) for line in done.stdout.splitlines()]
    except ValueError as e:
        found = e
    cafe = [f for f in found if f.get("key") == "{H}"] if isinstance(found, list) else []
    check("--system JSON is UTF-8 whatever the names; a name that is not keeps its bytes in hex",
          cafe and cafe[0]["user"] == "caf\ufffd" and cafe[0]["user_hex"] == "636166e9", found)

    command = as_unprivileged([str(scan), "--system", "--rule", "bare", "--view", "64", str(pc)])
    if command is None:
        print("SKIP unreadable folders: no unprivileged user to run as")
        return
    locked.chmod(0)
    try:
        done = subprocess.run(command, capture_output=True, timeout=120)
    finally:
        locked.chmod(0o755)
    text, error = done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
    check("an unreadable profile folder is an error naming it; the other profiles are scanned",
          done.returncode == 2 and str(locked) in error and "{A}" in text and "{C}" not in text,
          f"exit {done.returncode}: {error}")
    (pc / "Users").chmod(0)
    try:
        done = subprocess.run(command, capture_output=True, timeout=120)
    finally:
        (pc / "Users").chmod(0o755)
    error = done.stderr.decode(errors="replace")
    check("an unreadable Users folder is an error naming it; users/ is still scanned",
          done.returncode == 2 and str(pc / "Users") in error and "{D}" in done.stdout.decode(),
          f"exit {done.returncode}: {error}")


# ---- hostile input files: FIFOs, devices, huge sparse files, memory running short; log replays
# that grow a hive; --log given with several hives ----

def header_checksum(header):
    """The base block checksum: XOR of the first 127 dwords, 0 and ~0 avoided."""
    total = 0
    for (dword,) in struct.iter_unpack("<I", bytes(header[:508])):
        total ^= dword
    return 0xFFFFFFFE if total == 0xFFFFFFFF else total or 1


def set_base_block(block, sequences, bins=None, file_type=None):
    """Sets a base block's sequence numbers (and hive bins size, file type) and its checksum."""
    struct.pack_into("<II", block, 4, *sequences)
    if bins is not None:
        struct.pack_into("<I", block, 40, bins)
    if file_type is not None:
        struct.pack_into("<I", block, 28, file_type)
    struct.pack_into("<I", block, 508, header_checksum(block))


def surfaced_file_facts(scan, work):
    """What files/ finds beside the server file itself: other-case twins, the variable a REG_SZ
    leaves unexpanded and the file it would be if expanded, as JSON, --details and CSV show them."""
    good, decoy = pe_image(0x8664, True), b"not the same"
    root = fleet_roots(work, "surface-root", {}, [
        bare("{TW}", "Zqpwtnxkqv", "C:\\Windows\\System32\\twin.dll"),
        Key("{UV}", [sz("", "Xkcdqwvzpt")],
            [Key("InprocServer32", [sz("", "%PUBLIC%\\uv.dll")])])],
        [("Windows/System32/twin.dll", good), ("Windows/system32/twin.dll", decoy),
         ("Windows/System32/ok.dll", good), ("Users/Public/uv.dll", b"planted")])
    hive = root / "Windows" / "System32" / "config" / "SOFTWARE"
    done = run(scan, "--rule", "name", "--format", "json", "--image", root, hive)
    found = {f["key"]: f for f in json_lines(done)}
    twin, unexpanded = found.get("{TW}", {}), found.get("{UV}", {})
    variants = (twin.get("file") or {}).get("case_variants", [])
    check("case twins: each is in the finding's file, and a twin that differs raises it",
          [v["path"] for v in variants] == ["Windows/system32/twin.dll"]
          and variants[0]["sha256"] == hashlib.sha256(decoy).hexdigest()
          and twin["severity"] == "medium"
          and "other-case twin of server differs" in twin["reasons"], (twin, done.stderr))
    file = unexpanded.get("file") or {}
    check("a REG_SZ naming %PUBLIC%: the variable and the file it would be, judged by the worse",
          file.get("unexpanded_variable") == "PUBLIC"
          and (file.get("if_expanded") or {}).get("path") == "Users/Public/uv.dll"
          and "server in user-writable location" in unexpanded["reasons"], unexpanded)
    details = run(scan, "--rule", "name", "--details", "--image", root, hive).stdout.decode()
    rows = list(csv.reader(io.StringIO(run(scan, "--rule", "name", "--format", "csv", "--image",
                                           root, hive).stdout.decode())))
    column = rows[0].index("case_variants") if "case_variants" in rows[0] else None
    check("twins and the unexpanded variable in --details and CSV",
          "    twin     Windows/system32/twin.dll  present" in details
          and "    variable %PUBLIC% left unexpanded (REG_SZ)" in details
          and "    expanded C:\\Users\\Public\\uv.dll  present" in details
          and column is not None
          and any(row[column].startswith("Windows/system32/twin.dll present ") for row in rows),
          (details, rows))


def replayed_environment(scan, work):
    """A user's variables come from NTUSER.DAT as its logs leave it, as the classes do."""
    root = fleet_roots(work, "replayed-env-root", {"alice": []}, [
        named_expand("{EV}", "Vendor tool", "%TOOLS%\\ev.dll"),
        named_expand("{MV}", "Machine tool", "%MTOOLS%\\mv.dll")])
    write_grown_hive(root / "Windows" / "System32" / "config" / "SYSTEM", Key("", [], [
        Key("ControlSet001", [], [Key("Control", [], [Key("Session Manager", [], [
            Key("Environment", [sz("MTOOLS", "C:\\Users\\Public\\M")])])])]),
        Key("Padding", [], [Key("K%03d" % i, [sz("V", "x" * 40)]) for i in range(60)])]), 1)
    write_grown_hive(root / "Users" / "alice" / "NTUSER.DAT", Key("", [], [
        Key("Environment", [sz("TOOLS", "C:\\Users\\Public\\Tools")]),
        Key("Software", [], [Key("Classes", [], [Key("CLSID", [], [
            bare("{E%03d}" % i, "Bare", "C:\\Windows\\System32\\b.dll") for i in range(60)])])])]), 1)
    done = run(scan, "--system", "--rule", "userpath", "--format", "json", root)
    alice = [f for f in json_lines(done) if f["key"] == "{EV}" and f.get("user") == "alice"]
    check("environment: a variable only in a dirty NTUSER.DAT's log is the user's",
          [(f["file"] or {}).get("windows_path") for f in alice] == ["C:\\Users\\Public\\Tools\\ev.dll"],
          (alice, done.stderr.decode()))
    machine = [f for f in json_lines(done) if f["key"] == "{MV}" and f.get("user") is None]
    check("environment: a variable only in a dirty SYSTEM's log is the machine's",
          [(f["file"] or {}).get("windows_path") for f in machine] == ["C:\\Users\\Public\\M\\mv.dll"]
          and "SYSTEM: dirty, recovered" in done.stderr.decode(), (machine, done.stderr.decode()))


def write_grown_hive(path, root, kept_pages):
    """Writes at `path` the hive of `root` as it was before its hive bins grew: its first
    `kept_pages` pages of bins, dirty (sequence numbers 2 and 1), and beside it `path`.LOG, an
    old-format log of sequence 2 whose dirty pages are the bins added since. Returns the whole
    hive as make_hive writes it (sequence numbers 1 and 1)."""
    whole = Path(str(path) + ".whole")
    make_hive.write_hive(str(whole), root)
    full = whole.read_bytes()
    whole.unlink()
    bins = struct.unpack_from("<I", full, 40)[0]
    assert bins > kept_pages * 4096, "the hive is not larger than the part kept"
    primary = bytearray(full[:4096 + kept_pages * 4096])
    set_base_block(primary, (2, 1), bins=kept_pages * 4096)
    Path(path).write_bytes(primary)
    header = bytearray(full[:512])
    set_base_block(header, (2, 2), file_type=1)
    bitmap, pages = bytearray(bins // 4096), b""
    for page in range(kept_pages * 8, bins // 512):
        bitmap[page // 8] |= 1 << page % 8
        pages += full[4096 + page * 512:4096 + (page + 1) * 512]
    body = b"DIRT" + bitmap
    body += bytes(-(512 + len(body)) % 512)
    Path(str(path) + ".LOG").write_bytes(bytes(header) + body + pages)
    return full


def run_measured(scan, *args, limit_memory=None, timeout=60):
    """Runs the program; returns (exit code or None on timeout, stdout, stderr, seconds, peak RSS
    in KiB). `limit_memory` caps its address space (RLIMIT_AS) in bytes."""
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()

    def limit():
        if limit_memory:
            resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    start = time.monotonic()
    child = subprocess.Popen([str(scan), *map(str, args)], stdin=subprocess.DEVNULL,
                             stdout=out, stderr=err, preexec_fn=limit)
    timer = threading.Timer(timeout, child.kill)
    timer.start()
    _, status, usage = os.wait4(child.pid, 0)
    timer.cancel()
    child.returncode = code = os.waitstatus_to_exitcode(status)
    seconds = time.monotonic() - start
    out.seek(0)
    err.seek(0)
    timed_out = seconds >= timeout and code < 0
    return (None if timed_out else code, out.read(), err.read().decode(errors="replace"), seconds,
            usage.ru_maxrss)


def one_line_error(done, *words):
    """Whether a run ended with exit 2 and one line on standard error holding each of `words`."""
    code, out, error = done[0], done[1], done[2]
    return code == 2 and not out and error.count("\n") == 1 and all(str(w) in error for w in words)


def input_files_that_hurt(scan, work):
    """Sources and logs that are no plain files, huge sparse files, memory running short: each an
    error of one line naming the file (exit 2), at once, never a hang or an abort."""
    folder = work / "hurt"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    dirty = folder / "SOFTWARE"
    write_grown_hive(dirty, software([bare("{B%d}" % i, "Bare", "C:\\b.dll") for i in range(60)]),
                     kept_pages=1)
    fifo = folder / "SOFTWARE.LOG1"
    os.mkfifo(fifo)
    done = run_measured(scan, dirty, timeout=20)
    check("a FIFO beside a dirty hive as its log: exit 2, one line naming it, no hang",
          one_line_error(done, fifo, "FIFO"), done)
    done = run_measured(scan, "--log", fifo, dirty, timeout=20)
    check("a FIFO given with --log: exit 2, one line naming it, no hang",
          one_line_error(done, fifo, "FIFO"), done)
    done = run_measured(scan, fifo, timeout=20)
    check("a FIFO as SOURCE: exit 2, one line naming it, no hang", one_line_error(done, fifo), done)
    fifo.unlink()
    zero = folder / "SOFTWARE.LOG1"
    zero.symlink_to("/dev/zero")
    done = run_measured(scan, dirty, timeout=20)
    check("/dev/zero beside a dirty hive as its log (a link): exit 2, one line naming it",
          one_line_error(done, zero, "device"), done)
    zero.unlink()
    for device in ("/dev/zero", "/dev/urandom"):
        link = folder / ("link-to-" + Path(device).name)
        link.symlink_to(device)
        done = run_measured(scan, link, timeout=20)
        check(f"{device} as SOURCE (a link): exit 2, one line naming it",
              one_line_error(done, link, "device"), done)

    roots = work / "hurt-roots"
    shutil.rmtree(roots, ignore_errors=True)
    config = roots / "pc" / "Windows" / "System32" / "config"
    config.mkdir(parents=True)
    shutil.copy(dirty, config / "SOFTWARE")
    os.mkfifo(config / "SOFTWARE.LOG1")
    done = run_measured(scan, "--system", roots / "pc", timeout=20)
    check("--system: a FIFO as a dirty hive's log is an error for its ROOT, no hang",
          done[0] == 2 and str(config / "SOFTWARE.LOG1") in done[2], done)

    # Huge sparse files: only what the base block says is the hive is looked at.
    zeros = folder / "zeros"
    with open(zeros, "wb") as f:
        f.truncate(4 << 30)
    regf = folder / "regf-zeros"
    with open(regf, "wb") as f:
        f.write(b"regf")
        f.truncate(4 << 30)
    small = folder / "small-hive-long-file"
    make_hive.write_hive(str(small), software([bare("{LONG}", "In a long file", "C:\\l.dll")]))
    hive_bytes = small.read_bytes()
    with open(small, "ab") as f:
        f.truncate(4 << 30)
    for what, args, want in (
            ("4 GiB of zeros", (zeros,), ("zeros", "neither a registry hive")),
            ("4 GiB of zeros, --recover", ("--recover", folder / "out-zeros", zeros),
             ("zeros", "not a registry hive")),
            ("4 GiB of zeros after regf", (regf,), ("regf-zeros", "checksum")),
            ("4 GiB of zeros after regf, --recover", ("--recover", folder / "out-regf", regf),
             ("regf-zeros", "not written"))):
        done = run_measured(scan, *args, timeout=60)
        check(f"{what}: one clear line, exit 2, fast and small ({done[3]:.1f} s, {done[4]} KiB)",
              one_line_error(done, *want) and done[3] < 10 and done[4] < 200_000, done)
    done = run_measured(scan, "--rule", "bare", "--view", "64", small, timeout=60)
    check(f"a small hive in a 4 GiB file is read, fast and small ({done[3]:.1f} s, {done[4]} KiB)",
          done[0] == 1 and b"{LONG}" in done[1] and done[3] < 10 and done[4] < 200_000, done)
    recovered = folder / "out-small"
    done = run_measured(scan, "--recover", recovered, small, timeout=60)
    check("--recover of a clean hive in a long file writes the hive alone",
          done[0] == 0 and recovered.read_bytes() == hive_bytes, done)

    # Memory running short while a source is read: one line naming it, exit 2, no abort.
    if b"__asan_init" in scan.read_bytes():
        print("SKIP memory limits: AddressSanitizer reserves more address space than any limit")
        return
    big_export = folder / "big.reg"
    with open(big_export, "wb") as f:
        f.write(b"REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\CLSID\\{X}]\r\n@=\"x\"\r\n")
        f.truncate(600 << 20)
    done = run_measured(scan, big_export, limit_memory=1 << 30, timeout=60)
    check("memory running short while a source is read: exit 2, one line naming it, no abort",
          one_line_error(done, big_export, "memory"), done)


def log_replays_and_given_logs(scan, work):
    """A replay that grows a hive is what is scanned and written; each --log goes to its hive."""
    folder = work / "replays"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    grown = folder / "UsrClass.dat"
    whole = write_grown_hive(grown, usrclass([bare("{G%03d}" % i, "Grown", "C:\\g%d.dll" % i)
                                              for i in range(120)]), kept_pages=2)
    complete = folder / "complete.dat"
    complete.write_bytes(whole)
    expected = run(scan, "--rule", "bare", "--view", "64", complete)
    done = run(scan, "--rule", "bare", "--view", "64", grown)
    error = done.stderr.decode()
    check("a dirty hive whose log grows it is scanned as recovered, every class found",
          done.returncode == 1 and done.stdout == expected.stdout and expected.stdout.count(b"{G") == 360
          and f"{grown}: dirty, recovered to sequence 2 from {grown}.LOG\n" in error, error)
    out = folder / "grown-recovered.dat"
    done = run(scan, "--recover", out, grown)
    written = out.read_bytes() if out.exists() else b""
    bins = struct.unpack_from("<I", whole, 40)[0]
    check("--recover of a hive its log grows writes the recovered hive, 4096 + its bins long",
          done.returncode == 0 and len(written) == 4096 + bins
          and struct.unpack_from("<IIi", written, 4)[:2] == (2, 2)
          and struct.unpack_from("<I", written, 40)[0] == bins and written[4096:] == whole[4096:]
          and subprocess.run(["hivexml", str(out)], capture_output=True).returncode == 0,
          done.stderr.decode())

    real = work / "real"
    out = folder / "real-recovered.dat"
    done = run(scan, "--recover", out, real / "UsrClass.dat")
    written = out.read_bytes() if out.exists() else b""
    check("--recover of the real UsrClass.dat writes 4096 + its hive bins size, no more",
          done.returncode == 0 and len(written) == 4096 + struct.unpack_from("<I", written, 40)[0]
          == 4096 + 0x2B3000, (len(written), done.stderr.decode()))

    # The machine's dirty SOFTWARE with its own log beside it, the user's logs given by hand.
    machine = folder / "SOFTWARE"
    write_grown_hive(machine, software([bare("{M%02d}" % i, "Machine", "C:\\m.dll")
                                        for i in range(60)]), kept_pages=1)
    done = run(scan, "--rule", "bare", "--view", "64", "--log", real / "UsrClass.dat.LOG1",
               "--log", real / "UsrClass.dat.LOG2", machine, real / "UsrClass.dat")
    error = done.stderr.decode()
    check("each --log goes to its own hive; the other keeps the logs beside it",
          done.returncode == 1 and done.stdout.count(b"{M") == 180
          and f"{machine}: dirty, recovered to sequence 2 from {machine}.LOG\n" in error
          and f"UsrClass.dat: dirty, recovered to sequence 300 from {real}/UsrClass.dat.LOG1, "
              f"{real}/UsrClass.dat.LOG2\n" in error, error)
    done = run(scan, "--log", real / "UsrClass.dat.LOG1", machine)
    check("a --log that belongs to none of the hives given: exit 2, one line naming it",
          one_line_error((done.returncode, done.stdout, done.stderr.decode()),
                         real / "UsrClass.dat.LOG1", "none of the hives"), done.stderr.decode())
    done = run(scan, "--recover", folder / "never", "--log", real / "UsrClass.dat.LOG1", machine)
    check("--recover with another hive's --log: exit 2, one line naming it, nothing written",
          one_line_error((done.returncode, done.stdout, done.stderr.decode()),
                         real / "UsrClass.dat.LOG1") and not (folder / "never").exists(),
          done.stderr.decode())
    lone = folder / "lone.dat"
    lone.write_bytes(grown.read_bytes())  # dirty, and no log beside it
    done = run(scan, "--recover", folder / "never", lone)
    check("--recover of a dirty hive without logs: exit 2, one line saying why",
          one_line_error((done.returncode, done.stdout, done.stderr.decode()), lone,
                         "not written", "no transaction logs"), done.stderr.decode())
    truncated = work / "truncated.hive"
    done = run(scan, truncated)
    check("a hive that cannot be read: one line, not a note before it",
          one_line_error((done.returncode, done.stdout, done.stderr.decode()), truncated),
          done.stderr.decode())


def users_in_exports(scan, work):
    """One user's classes per .reg, the shadow rule's JSON description and its note on sides."""
    machine = work / "SOFTWARE-users"
    make_hive.write_hive(str(machine), software(
        [Key("{S1}", [sz("AppID", "{A1}")], [Key("InprocServer32", [sz("", "C:\\thing.dll")])])]))
    alice = ("[HKEY_USERS\\S-1-5-21-1-1001_Classes\\CLSID\\{S1}\\InprocServer32]\r\n"
             '@="C:\\\\Users\\\\alice\\\\evil.dll"\r\n')
    alice_again = "[HKEY_USERS\\S-1-5-21-1-1001\\Software\\Classes\\CLSID\\{S2}]\r\n"
    bob = ("[HKEY_USERS\\S-1-5-21-1-1002\\Software\\Classes\\CLSID\\{S1}\\InprocServer32]\r\n"
           '@="C:\\\\thing.dll"\r\n')
    current = "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{S3}]\r\n"

    def export(name, *sections):
        path = work / name
        path.write_text("Windows Registry Editor Version 5.00\r\n\r\n" + "".join(sections),
                        encoding="utf-16")
        return path

    for name, sections, users in (
            ("alice-bob.reg", (alice, bob), "S-1-5-21-1-1001, S-1-5-21-1-1002"),
            ("bob-alice.reg", (bob, alice), "S-1-5-21-1-1002, S-1-5-21-1-1001"),
            ("current-alice.reg", (current, alice), "HKEY_CURRENT_USER, S-1-5-21-1-1001")):
        path = export(name, *sections)
        done = run(scan, "--rule", "shadow", machine, path)
        want = (f"\nclsid-scan: {path}: holds the classes of more than one user ({users}); "
                "export one user's classes at a time\n")
        check(f"an export with the classes of several users is an error naming them ({name})",
              done.returncode == 2 and not done.stdout and done.stderr.decode().endswith(want),
              f"exit {done.returncode}: {done.stderr.decode()}")

    done = run(scan, "--rule", "shadow", "--format", "json", machine,
               export("alice.reg", alice, alice_again))
    found = [json.loads(line) for line in done.stdout.decode().splitlines()]
    check("one user under <SID>_Classes and <SID>\\Software\\Classes: the shadow rule finds the "
          "user's server; the description is the default string only (here none)",
          done.returncode == 1 and [(f["key"], f["description"], f["user_server"]) for f in found]
          == [("{S1}", "", "C:\\Users\\alice\\evil.dll")], (done.stderr.decode(), found))

    nothing = export("no-classes.reg", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Setup]\r\n")
    for sources, has in (((nothing,), "neither"), ((machine,), "only machine ones"),
                         ((export("current.reg", current),), "only user ones")):
        done = run(scan, "--rule", "shadow", *sources)
        note = f"the shadow rule needs machine and user sources; it has {has} and lists nothing"
        check(f"the shadow rule's note without both sides: {has}",
              done.returncode == 0 and note in done.stderr.decode(), done.stderr.decode())


def fleet_roots(work, name, users, software_classes, software_files=()):
    """A ROOT with the given SOFTWARE classes and users {name: [classes]}, files laid in it."""
    root = work / name
    shutil.rmtree(root, ignore_errors=True)
    config = root / "Windows" / "System32" / "config"
    config.mkdir(parents=True)
    make_hive.write_hive(str(config / "SOFTWARE"), software(software_classes))
    for path, data in software_files:
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_bytes(data)
    for user, classes in users.items():
        folder = root / "Users" / user / "AppData" / "Local" / "Microsoft" / "Windows"
        folder.mkdir(parents=True)
        make_hive.write_hive(str(folder / "UsrClass.dat"), usrclass(classes))
    return root


def named_expand(key, description, server):
    return Key(key, [sz("", description)],
               [Key("InprocServer32", [("", REG_EXPAND_SZ, string_data(server))])])


def json_lines(done):
    return [json.loads(line) for line in done.stdout.decode().splitlines()]


def ids_baselines_and_stacks(scan, work):
    """Finding ids across machines and profiles, baselines, allowlists and --stack."""
    fleet = work / "fleet"
    shutil.rmtree(fleet, ignore_errors=True)
    fleet.mkdir()
    machine = [bare("{B1}", "Helper", "C:\\b1.dll")]
    pc1 = fleet_roots(fleet, "pc1", {
        "alice": [bare("{U1}", "Evil", "%USERPROFILE%\\AppData\\evil.dll"),
                  named_expand("{N1}", "Zqpwtn", "%APPDATA%\\n1.dll")],
        "bob": [bare("{U1}", "Evil", "C:\\Users\\bob\\AppData\\evil.dll"),
                Key("{N1}", [sz("", "Zqpwtn")], [Key("InprocServer32", [
                    sz("", "C:\\Users\\Bob\\AppData\\Roaming\\n1.dll")])])]},
        machine, [("b1.dll", b"b1 as shipped")])
    pc2 = fleet_roots(fleet, "pc2", {
        "carol": [bare("{U1}", "Evil", "C:\\Users\\carol\\AppData\\other.dll")]}, machine)
    export = fleet / "alice.reg"
    export.write_text("Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{U1}]\r\n@=\"Evil\"\r\n\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{U1}\\InprocServer32]\r\n"
                      "@=\"%USERPROFILE%\\\\AppData\\\\evil.dll\"\r\n\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{U1}\\TypeLib]\r\n"
                      f"@=\"{TYPELIB}\"\r\n", encoding="utf-16")
    bare_args = ("--rule", "both", "--view", "64")

    done = run(scan, "--system", "--format", "json", *bare_args, pc1, pc2)
    found = json_lines(done)
    ids = {(Path(f["machine"]).name, f["user"], f["key"]): f["id"] for f in found}
    plain = json_lines(run(scan, "--format", "json", *bare_args, export))
    check("ids: one for a machine's registration on two machines, one for a user's in two "
          "profiles (expanded or not) and in their .reg, another for another server",
          len(found) == 7 and ids[("pc1", None, "{B1}")] == ids[("pc2", None, "{B1}")]
          and ids[("pc1", "alice", "{U1}")] == ids[("pc1", "bob", "{U1}")] == plain[0]["id"]
          and ids[("pc1", "alice", "{N1}")] == ids[("pc1", "bob", "{N1}")]
          and ids[("pc2", "carol", "{U1}")] != ids[("pc1", "alice", "{U1}")]
          and all(len(i) == 16 for i in ids.values()), (ids, plain))
    csv_rows = list(csv.DictReader(io.StringIO(
        run(scan, "--system", "--format", "csv", *bare_args, pc1, pc2).stdout.decode(),
        newline="")))
    details = run(scan, "--system", "--details", *bare_args, pc1).stdout.decode()
    check("ids: the CSV's last column and a --details line carry the same ids",
          [r["id"] for r in csv_rows] == [f["id"] for f in found] and list(csv_rows[0])[-1] == "id"
          and f"    id       {ids[('pc1', 'bob', '{U1}')]}\n" in details, details)

    run_n = fleet / "run-n.jsonl"
    run_n.write_bytes(done.stdout)
    done = run(scan, "--system", "--baseline", run_n, *bare_args, pc1, pc2)
    check("--baseline: every finding of the run it was made from is known, exit 0",
          done.returncode == 0 and done.stdout.strip(b"\n").replace(b"\n\n", b"\n").count(b"{") == 0
          and f"--baseline: 7 findings known and not printed (7 in {run_n})" in done.stderr.decode(),
          (done.stdout.decode(), done.stderr.decode()))
    make_hive.write_hive(str(pc2 / "Users" / "carol" / "AppData" / "Local" / "Microsoft" / "Windows"
                             / "UsrClass.dat"),
                         usrclass([bare("{U1}", "Evil", "C:\\Users\\carol\\AppData\\other.dll"),
                                   bare("{NEW}", "New", "C:\\Users\\carol\\new.dll")]))
    done = run(scan, "--system", "--format", "json", "--baseline", run_n, *bare_args, pc1, pc2)
    check("--baseline: a run with one new hijack prints that one alone, exit 1",
          done.returncode == 1 and [f["key"] for f in json_lines(done)] == ["{NEW}"],
          (done.stdout.decode(), done.stderr.decode()))
    bad = fleet / "bad-baseline.jsonl"
    bad.write_bytes(run_n.read_bytes().split(b"\n", 2)[0] + b"\n\n{\"id\":\"x\"}\n")
    done = run(scan, "--system", "--baseline", bad, pc1)
    check("--baseline: a line that is not clsid-scan's finding is an error naming file and line",
          done.returncode == 2 and not done.stdout and done.stderr.decode()
          == f"clsid-scan: {bad}:3: \"id\" is not 16 hex digits\n", done.stderr.decode())

    allow = fleet / "allow.txt"
    b1_hash = hashlib.sha256(b"b1 as shipped").hexdigest()
    allow.write_text("# reviewed\n"
                     f"{b1_hash}\n"
                     "{u1} %USERPROFILE%\\appdata\\*.dll\n"
                     "{NOTHERE}\n", encoding="utf-8")
    done = run(scan, "--system", "--format", "json", "--allow", allow, "--verbose", *bare_args,
               pc1, pc2)
    left = sorted((Path(f["machine"]).name, f["user"] or "", f["key"]) for f in json_lines(done))
    error = done.stderr.decode()
    check("--allow: by the server file's SHA-256 (where it is there), by key and server pattern; "
          "--verbose names the entry that matched nothing",
          left == [("pc1", "alice", "{N1}"), ("pc1", "bob", "{N1}"), ("pc2", "", "{B1}"),
                   ("pc2", "carol", "{NEW}")]
          and f"--allow {allow}: 4 findings allowed and not printed" in error
          and f"{allow}:4: this entry matched no finding" in error, (left, error))

    # Stacking: the JSON of both machines, one file each, and the plain .reg run, with no machine.
    runs = fleet / "runs"
    runs.mkdir()
    for root in (pc1, pc2):
        (runs / (root.name + ".jsonl")).write_bytes(
            run(scan, "--system", "--format", "json", root).stdout)
    (runs / "alice-reg.jsonl").write_bytes(run(scan, "--format", "json", export).stdout)
    files = ["runs/pc1.jsonl", "runs/pc2.jsonl", "runs/alice-reg.jsonl"]
    outputs = set()
    for order in (files, files[::-1], files[1:] + files[:1]):
        for jobs in ("1", "2", "3"):
            outputs.add(run(scan, "--stack", "--jobs", jobs, *order, cwd=fleet).stdout)
    stacked = json_lines(run(scan, "--stack", "--format", "json", *files, cwd=fleet))
    rows = {(r["rule"], r["key"], r["server"]): r for r in stacked}
    # Each text is the smallest of the id's: alice's unexpanded server before bob's.
    evil = rows.get(("bare", "{U1}", "%USERPROFILE%\\AppData\\evil.dll")) or {}
    new = rows.get(("bare", "{NEW}", "C:\\Users\\carol\\new.dll")) or {}
    check("--stack: the same bytes whatever the order of the files and --jobs; counts by id, "
          "rarest first",
          len(outputs) == 1 and [r["machines"] for r in stacked] == sorted(r["machines"] for r in stacked)
          and (evil.get("machines"), evil.get("users")) == (2, 2)
          and (new.get("machines"), new.get("users")) == (1, 1)
          and rows[("bare", "{B1}", "C:\\b1.dll")]["machines"] == 2,
          [(r["machines"], r["users"], r["rule"], r["key"], r["server"]) for r in stacked])
    stack_in_sql(scan, fleet, files, stacked)


def readme_sql():
    """The stacking query as the README gives it: the ```sql block after its marker."""
    readme = (HERE.parent / "README.md").read_text(encoding="utf-8")
    marker = "<!-- stacking query, run by tests/clsid_scan_end_to_end.py -->"
    after = readme.split(marker, 1)[1]
    return after.split("```sql\n", 1)[1].split("```", 1)[0]


def stack_in_sql(scan, fleet, files, stacked):
    """The README's DuckDB query, run for real, ranks the ids as --stack does."""
    engine = HERE / "duckdb"
    node = shutil.which("node")
    if not node or not (engine / "node_modules" / "@duckdb" / "node-api").is_dir():
        print("SKIP the README's stacking query in DuckDB: node or tests/duckdb/node_modules is "
              "missing (tools/install-deps.sh runs npm ci there)")
        return
    (fleet / "findings").mkdir()
    for name in files:
        shutil.copy(fleet / name, fleet / "findings" / Path(name).name)
    (fleet / "stack.sql").write_text(readme_sql(), encoding="utf-8")
    done = subprocess.run([node, str(engine / "run_query.mjs"), "stack.sql"], cwd=fleet,
                          capture_output=True, timeout=300)
    rows = json.loads(done.stdout or b"null")
    again = json_lines(run(scan, "--stack", "--format", "json",
                           *["findings/" + Path(name).name for name in files], cwd=fleet))
    fields = ("id", "machines", "users", "rule", "view", "side", "key", "description", "server",
              "sha256")
    check("the README's DuckDB query ranks and counts as --stack does",
          done.returncode == 0 and rows and again == stacked and
          [tuple(r[f] for f in fields) for r in rows] == [tuple(r[f] for f in fields) for r in again],
          (done.stderr.decode()[-2000:], rows, again))


def main():
    scan = Path(sys.argv[1]).resolve()
    work = Path(sys.argv[2]).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    sources_and_errors(scan, work)
    real_hives(scan, work)
    write_times(scan, work)
    system_folders(scan, work)
    server_files(scan, work)
    hijack_rules(scan, work)
    as_windows_loads(scan, work)
    surfaced_file_facts(scan, work)
    replayed_environment(scan, work)
    example_volume(scan)
    loaders_stock_and_user_classes(scan, work)
    hostile_system_folders(scan, work)
    input_files_that_hurt(scan, work)
    log_replays_and_given_logs(scan, work)
    users_in_exports(scan, work)
    ids_baselines_and_stacks(scan, work)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
