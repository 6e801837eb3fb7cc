#!/usr/bin/env python3
"""A ROOT laid out like a mounted Windows volume, made from a fresh Wine prefix and its registry.

Usage:
  wine_root.py WORK_DIR [--fresh]      prints the ROOT's path (WORK_DIR/root) on standard output

WORK_DIR holds the prefix (WORK_DIR/prefix, made with `wineboot -i`, headless, code page 932),
the ROOT and a stamp; a ROOT made by the same Wine and the same tools is reused unless --fresh.

The ROOT is a tree of real folders holding hard links to drive_c's files (copies across file
systems), so that it stands alone: clsid-scan follows no link out of a ROOT. Links inside
drive_c that lead out of it (the profile's Desktop, Documents, ... point at $HOME) become empty
folders, as Windows has them. Into it go the hives, written with make_hive.py from the text
files Wine keeps its registry in:

  windows/system32/config/SOFTWARE   HKLM\\Software            (system.reg)
  windows/system32/config/SYSTEM     HKLM\\System, its CurrentControlSet as ControlSetNNN, Select
  windows/system32/config/DEFAULT    HKU\\.Default             (userdef.reg)
  <profile>/NTUSER.DAT               HKCU but Software\\Classes (user.reg)
  <profile>/AppData/Local/Microsoft/Windows/UsrClass.dat   HKCU\\Software\\Classes

<profile> is the ProfileImagePath of the user's SID under ProfileList. Wine keeps no per-user
classes; UsrClass.dat gets the empty `Local Settings` key that every Windows profile's has, by
which a hive is known as a user's classes. Each key keeps the write time Wine saved for it; a
key Wine did not list (it writes only keys with values or without subkeys) gets the latest
time below it. Wine's link keys (#link, such as Classes\\Wow6432Node\\AppID) are left out: a
hive written here cannot mark a key as a link.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_hive  # noqa: E402
from make_hive import Key  # noqa: E402

HERE = Path(__file__).resolve().parent

# As the Wine rig starts Wine: 64-bit, quiet, no Mono/Gecko prompts, no menu entries, no
# debugger waiting on a crash, ANSI and OEM code page 932, no display.
WINE_ENV = {
    "WINEARCH": "win64",
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d",
    "LC_ALL": "ja_JP.UTF-8",
}

UNIX_EPOCH_AS_FILETIME = 11644473600 * 10_000_000
WINE_REGISTRY_HEADER = "WINE REGISTRY Version 2"
SIMPLE_ESCAPES = {"a": 7, "b": 8, "e": 27, "f": 12, "n": 10, "r": 13, "t": 9, "v": 11}
HEX_DIGITS = set("0123456789abcdefABCDEF")


class WineRootError(Exception):
    """The prefix or the ROOT could not be made."""


def wine_environment(work):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER"):
        env.pop(name, None)
    env.update(WINE_ENV)
    env["WINEPREFIX"] = str(Path(work) / "prefix")
    # Wine links the profile's Desktop, Documents, ... to $HOME: keep that in the work folder.
    env["HOME"] = str(Path(work) / "home")
    return env


def _wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver64"


def stop_wineserver(env, timeout=60):
    """Ends the prefix's wineserver (if any) and waits until it is gone."""
    for args in (["-k"], ["-w"]):
        try:
            subprocess.run([_wineserver(), *args], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        except subprocess.TimeoutExpired:
            pass


def make_prefix(work, timeout=600, log=None):
    """A fresh prefix in WORK/prefix, initialised with `wineboot -i`; returns its path once
    wineserver has saved the registry and ended."""
    work = Path(work)
    env = wine_environment(work)
    prefix = Path(env["WINEPREFIX"])
    if prefix.exists():
        stop_wineserver(env)
        shutil.rmtree(prefix)
    Path(env["HOME"]).mkdir(parents=True, exist_ok=True)
    wine = shutil.which("wine") or "wine"
    boot_log = work / "wineboot.log"
    with open(boot_log, "wb") as output:
        # Output to a file, not a pipe: the wineserver started on the way inherits it.
        try:
            done = subprocess.run([wine, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                                  stdout=output, stderr=output, timeout=timeout)
        except subprocess.TimeoutExpired:
            stop_wineserver(env)
            raise WineRootError("wineboot -i: no end after %d s (see %s)" % (timeout, boot_log))
    if done.returncode != 0:
        stop_wineserver(env)
        raise WineRootError("wineboot -i: exit %d (see %s)" % (done.returncode, boot_log))
    try:
        # The registry files are complete only once the server has saved them and ended.
        subprocess.run([_wineserver(), "-w"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    except subprocess.TimeoutExpired:
        stop_wineserver(env)
    if not (prefix / "system.reg").is_file():
        raise WineRootError("wineboot left no system.reg in %s" % prefix)
    if log:
        log("made the Wine prefix %s" % prefix)
    return prefix


# ---- Wine's registry files ----

def parse_wine_string(text, start, end_char):
    """Reads a string escaped as Wine writes it, from `start` up to `end_char`. Returns (UTF-16
    units, index after `end_char`). Escapes: \\a \\b \\e \\f \\n \\r \\t \\v, \\x and up to 4 hex
    digits (one UTF-16 unit), \\ and up to 3 octal digits; any other character after a
    backslash stands for itself."""
    units = []
    index = start
    length = len(text)
    while index < length and text[index] != end_char:
        char = text[index]
        if char != "\\":
            units.append(ord(char))
            index += 1
            continue
        index += 1
        if index >= length:
            break
        char = text[index]
        if char in SIMPLE_ESCAPES:
            units.append(SIMPLE_ESCAPES[char])
            index += 1
        elif char == "x":
            index += 1
            digits_end = index
            while digits_end < length and digits_end - index < 4 and text[digits_end] in HEX_DIGITS:
                digits_end += 1
            units.append(int(text[index:digits_end], 16) if digits_end > index else ord("x"))
            index = digits_end
        elif "0" <= char <= "7":
            digits_end = index + 1
            while digits_end < length and digits_end - index < 3 and "0" <= text[digits_end] <= "7":
                digits_end += 1
            units.append(int(text[index:digits_end], 8))
            index = digits_end
        else:
            units.append(ord(char))
            index += 1
    if index >= length:
        raise ValueError("no closing %r" % end_char)
    return units, index + 1


def units_text(units):
    return struct.pack("<%dH" % len(units), *units).decode("utf-16-le", "surrogatepass")


def units_data(units):
    """String data as the registry holds it: the units and a terminating NUL."""
    return struct.pack("<%dH" % (len(units) + 1), *units, 0)


def parse_wine_data(text):
    """(type, data bytes) of what follows a value's '='; `text` has continued hex lines joined."""
    for tag, value_type in (('"', make_hive.REG_SZ), ('str:"', make_hive.REG_SZ),
                            ('str(2):"', make_hive.REG_EXPAND_SZ),
                            ('str(7):"', make_hive.REG_MULTI_SZ)):
        if text.startswith(tag):
            units, end = parse_wine_string(text, len(tag), '"')
            if text[end:].strip():
                raise ValueError("text after the string")
            return value_type, units_data(units)
    if text.startswith("dword:"):
        return make_hive.REG_DWORD, make_hive.dword_data(int(text[6:].strip(), 16))
    match = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:", text)
    if not match:
        raise ValueError("unknown value form %r" % text[:20])
    value_type = int(match.group(1), 16) if match.group(1) else make_hive.REG_BINARY
    return value_type, bytes.fromhex(text[match.end():].replace(",", "").replace(" ", ""))


def read_wine_registry(path):
    """Reads one of Wine's registry files. Returns (top, relative_to, links): a nameless Key
    holding the file's keys, the registry path the file's keys are relative to (from its
    ";; All keys relative to" line, without escapes), and the paths of the link keys left
    out. Raises ValueError naming the line for what it cannot read."""
    with open(path, encoding="latin-1") as source:  # Wine writes ASCII; bytes stay characters
        lines = source.read().split("\n")
    if not lines or lines[0].rstrip("\r") != WINE_REGISTRY_HEADER:
        raise ValueError("%s: not a Wine registry file" % path)
    top = Key("")
    index_of = {(): top}  # folded path -> key
    listed = set()  # keys that have their own line, and with it their own time
    relative_to = ""
    links = []
    current = None
    current_path = None
    number = 1
    while number < len(lines):
        line = lines[number].rstrip("\r")
        number += 1
        where = "%s:%d" % (path, number)
        stripped = line.lstrip()
        try:
            if stripped.startswith(";; All keys relative to "):
                units, _ = parse_wine_string(stripped + "\n", len(";; All keys relative to "), "\n")
                relative_to = units_text(units)
            elif stripped.startswith("["):
                units, end = parse_wine_string(stripped, 1, "]")
                names = units_text(units).split("\\")
                if not all(names):
                    raise ValueError("empty key name in the path")
                current = top
                folded = ()
                for name in names:
                    folded += (make_hive.name_sort_key(name),)
                    child = index_of.get(folded)
                    if child is None:
                        child = Key(name)
                        current.children.append(child)
                        index_of[folded] = child
                    current = child
                current_path = "\\".join(names)
                listed.add(id(current))
                seconds = stripped[end:].split()
                if seconds:
                    current.written = int(seconds[0]) * 10_000_000 + UNIX_EPOCH_AS_FILETIME
            elif stripped.startswith("#time="):
                if current is not None:
                    current.written = int(stripped[6:].strip(), 16)
            elif stripped.startswith("#link"):
                if current is not None:
                    links.append(current_path)
                    current.written = "link"
            elif stripped.startswith("@") or stripped.startswith('"'):
                if current is None:
                    raise ValueError("value before any key")
                if stripped.startswith("@"):
                    name, rest = "", stripped[1:]
                else:
                    units, end = parse_wine_string(stripped, 1, '"')
                    name, rest = units_text(units), stripped[end:]
                rest = rest.strip()
                if not rest.startswith("="):
                    raise ValueError("no '=' after the value name")
                rest = rest[1:].strip()
                while rest.endswith("\\") and rest.startswith("hex") and number < len(lines):
                    rest = rest[:-1] + lines[number].strip()
                    number += 1
                value_type, data = parse_wine_data(rest)
                folded = make_hive.name_sort_key(name)
                current.values = [value for value in current.values
                                  if make_hive.name_sort_key(value[0]) != folded]
                current.values.append((name, value_type, data))
            elif stripped and not stripped.startswith(("#", ";")):
                raise ValueError("cannot read the line")
        except ValueError as error:
            raise ValueError("%s: %s" % (where, error)) from None
    _drop_links(top)
    _fill_unlisted_times(top, listed)
    return top, relative_to, links


def _drop_links(key):
    key.children = [child for child in key.children if child.written != "link"]
    for child in key.children:
        _drop_links(child)


def _fill_unlisted_times(key, listed):
    """A key Wine did not list takes the latest write time below it, as creating a subkey
    updates its parent's time. Returns the key's time (None when nothing below has one)."""
    latest = None
    for child in key.children:
        child_time = _fill_unlisted_times(child, listed)
        if child_time is not None and (latest is None or child_time > latest):
            latest = child_time
    if id(key) not in listed:
        key.written = latest
    return key.written


def _value(key, name):
    folded = make_hive.name_sort_key(name)
    for value_name, value_type, data in key.values:
        if make_hive.name_sort_key(value_name) == folded:
            return value_type, data
    return None


def _child(key, name):
    found = make_hive.find_key(key, name)
    if found is None:
        found = Key(name)
        key.children.append(found)
    return found


def system_hive_root(system):
    """HKLM\\System as a SYSTEM hive holds it: Wine keeps the current control set as a plain
    key named CurrentControlSet, which on disk is ControlSetNNN with Select\\Current = NNN."""
    select = _child(system, "Select")
    current = _value(select, "Current")
    number = struct.unpack("<I", current[1])[0] if current and current[0] == make_hive.REG_DWORD \
        and len(current[1]) == 4 else 1
    live = make_hive.find_key(system, "CurrentControlSet")
    numbered = "ControlSet%03d" % number
    if live is not None:
        system.children.remove(live)
        if make_hive.find_key(system, numbered) is None:
            live.name = numbered
            system.children.append(live)
    for name, data in (("Current", number), ("Default", number), ("LastKnownGood", number),
                       ("Failed", 0)):
        if _value(select, name) is None:
            select.values.append((name, make_hive.REG_DWORD, make_hive.dword_data(data)))
    return system


def _profile_folder(system_reg_top, user_sid, drive_c):
    """The profile's folder below drive_c, as ProfileList gives it for the user's SID, else the
    one folder under users/ that is not Public."""
    entry = make_hive.find_key(
        system_reg_top, "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + user_sid)
    value = _value(entry, "ProfileImagePath") if entry is not None else None
    if value and value[0] in (make_hive.REG_SZ, make_hive.REG_EXPAND_SZ):
        path = make_hive.string_of_data(value[1])
        if path[:3].upper() == "C:\\":
            return Path(*path[3:].split("\\"))
    profiles = [entry.name for entry in (drive_c / "users").iterdir()
                if entry.is_dir() and entry.name.lower() != "public"]
    if len(profiles) != 1:
        raise WineRootError("cannot tell the user's profile folder among %s" % profiles)
    return Path("users", profiles[0])


# ---- the ROOT's files ----

def _copy_tree(source, target):
    """drive_c into the ROOT: real folders, files hard-linked (copied across file systems),
    links that stay inside drive_c made again as relative links, links that lead out of it
    made empty folders. Returns the number of files."""
    source = Path(source).resolve()
    files = 0
    for folder, subfolders, names in os.walk(source):
        here = Path(folder)
        there = Path(target) / here.relative_to(source)
        there.mkdir(exist_ok=True)
        for name in subfolders + names:
            path = here / name
            if path.is_symlink():
                pointed = path.resolve()
                if pointed == source or source in pointed.parents:
                    os.symlink(os.path.relpath(pointed, here), there / name)
                elif path.is_dir():
                    (there / name).mkdir()
                if name in subfolders:
                    subfolders.remove(name)  # os.walk does not follow it; made above
            elif name in names:
                try:
                    os.link(path, there / name)
                except OSError:
                    shutil.copy2(path, there / name)
                files += 1
    return files


def _hive_file(root, relative, key):
    """Writes one hive at ROOT/relative: a new file, never through a hard link to drive_c."""
    path = Path(root, relative)
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists() or path.is_symlink():
        path.unlink()
    make_hive.write_hive(str(path), key)
    return path


def _tool_stamp():
    """What a ROOT depends on besides the prefix: the Wine version and these tools."""
    version = subprocess.run([shutil.which("wine") or "wine", "--version"],
                             capture_output=True, text=True).stdout.strip()
    digest = hashlib.sha256()
    for tool in ("wine_root.py", "make_hive.py"):
        digest.update((HERE / tool).read_bytes())
    return "%s %s\n" % (version, digest.hexdigest())


def build_root(prefix, root, log=None):
    """Makes ROOT from a prefix whose wineserver has ended. Returns {what: path} of the hives."""
    prefix, root = Path(prefix), Path(root)
    machine, _, machine_links = read_wine_registry(prefix / "system.reg")
    user, user_path, user_links = read_wine_registry(prefix / "user.reg")
    default, _, _ = read_wine_registry(prefix / "userdef.reg")
    user_sid = user_path.rsplit("\\", 1)[-1]
    drive_c = prefix / "drive_c"
    profile = _profile_folder(machine, user_sid, drive_c)

    if root.is_symlink():
        root.unlink()
    elif root.exists():
        shutil.rmtree(root)
    files = _copy_tree(drive_c, root)
    config = Path("windows", "system32", "config")

    software = make_hive.find_key(machine, "Software") or Key("Software")
    system = system_hive_root(make_hive.find_key(machine, "System") or Key("System"))
    classes = make_hive.find_key(user, "Software\\Classes")
    if classes is not None:
        make_hive.find_key(user, "Software").children.remove(classes)
    else:
        classes = Key("Classes")
    if make_hive.find_key(classes, "Local Settings") is None:
        classes.children.append(Key("Local Settings", written=classes.written))
    hives = {}
    for what, relative, key, name in (
            ("SOFTWARE", config / "SOFTWARE", software, "ROOT"),
            ("SYSTEM", config / "SYSTEM", system, "ROOT"),
            ("DEFAULT", config / "DEFAULT", default, "ROOT"),
            ("NTUSER.DAT", profile / "NTUSER.DAT", user, "ROOT"),
            ("UsrClass.dat", profile / "AppData/Local/Microsoft/Windows/UsrClass.dat", classes,
             user_sid + "_Classes")):
        key.name = name
        hives[what] = _hive_file(root, relative, key)
    if log:
        log("ROOT %s: %d files of drive_c, profile %s (%s); left out %d link keys; hives:"
            % (root, files, profile.as_posix(), user_sid, len(machine_links) + len(user_links)))
        for what, path in hives.items():
            log("  %-12s %s (%d bytes)" % (what, path.relative_to(root), path.stat().st_size))
    return hives


def make_wine_root(work, fresh=False, log=None):
    """WORK/root, made from a fresh prefix in WORK/prefix, or kept with its prefix from an
    earlier run when both were made by the same Wine and tools and `fresh` is false. Returns
    the ROOT's path."""
    work = Path(work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    root, stamp_file = work / "root", work / "root.stamp"
    stamp = _tool_stamp()
    kept = root.is_dir() and (work / "prefix" / "system.reg").is_file() and stamp_file.exists()
    if not fresh and kept and stamp_file.read_text() == stamp:
        if log:
            log("ROOT %s kept from an earlier run (%s)" % (root, stamp.split(" ")[0]))
        return root
    stamp_file.unlink(missing_ok=True)
    prefix = make_prefix(work, log=log)
    try:
        build_root(prefix, root, log)
    except ValueError as error:
        raise WineRootError(str(error)) from None
    stamp_file.write_text(stamp)
    return root


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("work_dir", type=Path, help="folder for the prefix and the ROOT")
    parser.add_argument("--fresh", action="store_true",
                        help="make a new prefix and ROOT even when the kept ones would do")
    args = parser.parse_args(argv)
    try:
        root = make_wine_root(args.work_dir, args.fresh,
                              log=lambda text: print(text, file=sys.stderr))
    except (WineRootError, OSError) as error:
        print("wine_root: %s" % error, file=sys.stderr)
        return 1
    print(root)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
