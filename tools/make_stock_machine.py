#!/usr/bin/env python3
"""Builds a ROOT laid out like a stock Windows 10 x64 volume, from a table of one stock machine's classes.

Usage:
  make_stock_machine.py ROOT [--classes FILE.json.zip] [--user NAME]...

FILE.json.zip (default: ../shared/data/stock-classes/xcyclopedia_COM.json.zip beside the
repository; MIT-licensed, notice in its LICENSE, which any data shipped from it keeps) holds one
JSON object: per CLSID its description, its values and the values of its subkeys as the machine's
registry held them. ROOT gets:

  Windows/System32/config/SOFTWARE   Classes\\CLSID with every class, the values as typed as the
                                     table allows (text REG_SZ, numbers REG_DWORD, lists
                                     REG_MULTI_SZ), and Microsoft\\Windows\\CurrentVersion's
                                     program folders;
  Windows/System32/config/SYSTEM     Select and ControlSet001's Session Manager\\Environment;
  every server file the classes name  a small PE image (x86 under SysWOW64 and Program Files
                                     (x86), else x64; a DLL unless it ends in .exe), bare names in
                                     System32;
  Users/NAME/NTUSER.DAT and .../UsrClass.dat   a profile per --user (default: one, "user"),
                                     with no classes of its own.

The table holds the 64-bit view only (it lists HKEY_CLASSES_ROOT\\CLSID as a 64-bit process sees
it), so the 32-bit view stays empty. Folder names are kept in one letter case across the ROOT
(the table writes both `system32` and `System32`), as NTFS would show them. Running it again
gives the same bytes.
"""

import argparse
import io
import json
import os
import re
import shutil
import struct
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_hive  # noqa: E402
from make_hive import Key  # noqa: E402

REPOSITORY = Path(__file__).resolve().parent.parent
DEFAULT_CLASSES = REPOSITORY.parent / "shared" / "data" / "stock-classes" / \
    "xcyclopedia_COM.json.zip"

SERVER_KEYS = {"inprocserver32", "localserver32", "inprochandler32", "inprocserver",
               "localserver", "inprochandler"}
SERVER_VALUES = {"", "serverexecutable", "codebase"}
# A Windows path with a drive inside a value: up to the extension of a program or library.
ABSOLUTE_PATH = re.compile(r"[A-Za-z]:\\[^\"*?<>|,]*?\.(?:dll|exe|ocx|cpl|ax|tlb|olb|drv|acm)\b",
                           re.IGNORECASE)
MACHINE_X86, MACHINE_X64 = 0x14C, 0x8664
STUB_TIME = 1610668800  # 2021-01-15, the day the table was gathered: the same ROOT every run


def pe_stub(machine, dll):
    """The headers of a PE image, enough for clsid-scan to tell its machine and DLL flag."""
    header = bytearray(0x40) + b"PE\0\0" + struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, 0,
                                                      0x2002 if dll else 0x0002)
    header[0:2], header[0x3C:0x40] = b"MZ", struct.pack("<I", 0x40)
    return bytes(header) + b"\0" * 64


def load_classes(path):
    """{CLSID: entry} from the zipped JSON table (a UTF-8 file with a byte order mark)."""
    with zipfile.ZipFile(path) as archive:
        names = [name for name in archive.namelist() if name.lower().endswith(".json")]
        if len(names) != 1:
            raise SystemExit("%s: expected one .json inside, found %s" % (path, names))
        table = json.load(io.TextIOWrapper(archive.open(names[0]), encoding="utf-8-sig"))
    return {name: entry for name, entry in table.items() if name.startswith("{")}


def typed_value(name, data):
    name = "" if name == "(default)" else name
    if isinstance(data, bool) or isinstance(data, int):
        return (name, make_hive.REG_DWORD, make_hive.dword_data(int(data)))
    if isinstance(data, list):
        return (name, make_hive.REG_MULTI_SZ, make_hive.multi_string_data(map(str, data)))
    text = str(data)
    kind = make_hive.REG_EXPAND_SZ if "%" in text else make_hive.REG_SZ
    return (name, kind, make_hive.string_data(text))


def add_values(key, values):
    """Adds each (name, data) once, letter case aside: the registry holds one of each."""
    taken = {make_hive.name_sort_key(name) for name, _, _ in key.values}
    for name, data in values:
        if not isinstance(data, (str, int, list)):
            continue
        value = typed_value(name, data)
        folded = make_hive.name_sort_key(value[0])
        if folded not in taken:
            taken.add(folded)
            key.values.append(value)


def class_key(clsid, entry):
    """The class's key: top-level text and numbers as its values, `Registry` as its subkeys."""
    key = Key(clsid)
    add_values(key, [(name, data) for name, data in entry.items()
                     if name not in ("Registry", "Instance")])
    subkeys = {}
    registry = entry.get("Registry")
    for name, values in (registry.items() if isinstance(registry, dict) else ()):
        folded = make_hive.name_sort_key(name)
        if folded not in subkeys:
            subkeys[folded] = Key(name)
            key.children.append(subkeys[folded])
        if isinstance(values, dict):
            add_values(subkeys[folded], values.items())
        else:
            add_values(subkeys[folded], [("", values)])
    return key


def server_paths(entry):
    """The Windows paths of the files the class's server values name: bare names in System32."""
    registry = entry.get("Registry")
    paths = []
    for subkey, values in (registry.items() if isinstance(registry, dict) else ()):
        if subkey.lower() not in SERVER_KEYS or not isinstance(values, dict):
            continue
        for name, data in values.items():
            name = "" if name == "(default)" else name
            if name.lower() not in SERVER_VALUES or not isinstance(data, str):
                continue
            found = ABSOLUTE_PATH.findall(data)
            text = data.strip().strip('"')
            if not found and text and "\\" not in text and "/" not in text and " " not in text:
                bare = text if "." in text else text + ".dll"
                found = ["C:\\Windows\\System32\\" + bare]
            paths.extend(found)
    return paths


class Volume:
    """Files under ROOT, each folder in the letter case it was first written with."""

    def __init__(self, root):
        self.root = Path(root)
        self.spelled = {}  # lower-case relative folder path -> Path as made
        self.files = set()  # lower-case relative file paths written

    def folder(self, components):
        path = self.root
        for depth in range(1, len(components) + 1):
            folded = "\\".join(components[:depth]).lower()
            if folded not in self.spelled:
                self.spelled[folded] = path / components[depth - 1]
                self.spelled[folded].mkdir(exist_ok=True)
            path = self.spelled[folded]
        return path

    def add_file(self, components, data):
        """Writes data at the path; a file that is already there, in any case, is kept."""
        folded = "\\".join(components).lower()
        if folded in self.files or folded in self.spelled:
            return False
        self.files.add(folded)
        path = self.folder(components[:-1]) / components[-1]
        path.write_bytes(data)
        os.utime(path, (STUB_TIME, STUB_TIME))
        return True


def add_server_file(volume, windows_path):
    components = [part for part in windows_path[3:].split("\\") if part and part != "."]
    if not components:
        return False
    lowered = windows_path.lower()
    machine = MACHINE_X86 if ("\\syswow64\\" in lowered or "\\program files (x86)\\" in lowered) \
        else MACHINE_X64
    return volume.add_file(components, pe_stub(machine, not lowered.endswith(".exe")))


def software_hive(classes):
    folders = [("ProgramFilesDir", "C:\\Program Files"),
               ("ProgramFilesDir (x86)", "C:\\Program Files (x86)"),
               ("ProgramW6432Dir", "C:\\Program Files"),
               ("CommonFilesDir", "C:\\Program Files\\Common Files"),
               ("CommonFilesDir (x86)", "C:\\Program Files (x86)\\Common Files"),
               ("CommonW6432Dir", "C:\\Program Files\\Common Files")]
    current = Key("CurrentVersion", [(name, make_hive.REG_SZ, make_hive.string_data(value))
                                      for name, value in folders])
    nt_current = Key("CurrentVersion", [
        ("SystemRoot", make_hive.REG_SZ, make_hive.string_data("C:\\Windows")),
        ("CurrentBuild", make_hive.REG_SZ, make_hive.string_data("19041"))])
    microsoft = Key("Microsoft", children=[Key("Windows", children=[current]),
                                           Key("Windows NT", children=[nt_current])])
    return Key("ROOT", children=[Key("Classes", children=[Key("CLSID", children=classes)]),
                                 microsoft])


def system_hive():
    def expand(name, text):
        return (name, make_hive.REG_EXPAND_SZ, make_hive.string_data(text))

    environment = Key("Environment", [
        ("ComSpec", make_hive.REG_EXPAND_SZ, make_hive.string_data("%SystemRoot%\\system32\\cmd.exe")),
        expand("Path", "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem;"
                       "%SYSTEMROOT%\\System32\\WindowsPowerShell\\v1.0\\"),
        expand("TEMP", "%SystemRoot%\\TEMP"), expand("TMP", "%SystemRoot%\\TEMP"),
        ("windir", make_hive.REG_EXPAND_SZ, make_hive.string_data("%SystemRoot%"))])
    control = Key("Control", children=[Key("Session Manager", children=[environment])])
    select = Key("Select", [(name, make_hive.REG_DWORD, make_hive.dword_data(number))
                            for name, number in (("Current", 1), ("Default", 1),
                                                 ("Failed", 0), ("LastKnownGood", 1))])
    return Key("ROOT", children=[Key("ControlSet001", children=[control]), select])


def add_profile(volume, name):
    """A profile with NTUSER.DAT (Software, Environment) and an empty UsrClass.dat."""
    profile = volume.folder(["Users", name])
    for folder in (["AppData", "Local", "Microsoft", "Windows"], ["AppData", "Roaming"],
                   ["AppData", "Local", "Temp"]):
        volume.folder(["Users", name] + folder)
    environment = Key("Environment", [
        ("TEMP", make_hive.REG_EXPAND_SZ, make_hive.string_data("%USERPROFILE%\\AppData\\Local\\Temp")),
        ("TMP", make_hive.REG_EXPAND_SZ, make_hive.string_data("%USERPROFILE%\\AppData\\Local\\Temp"))])
    ntuser = Key("ROOT", children=[
        Key("Software", children=[Key("Microsoft"), Key("Classes")]), environment])
    make_hive.write_hive(str(profile / "NTUSER.DAT"), ntuser)
    usrclass = Key("ROOT", children=[Key("Local Settings"), Key("CLSID")])
    make_hive.write_hive(str(volume.folder(["Users", name, "AppData", "Local", "Microsoft",
                                            "Windows"]) / "UsrClass.dat"), usrclass)
    return profile


def build(root, classes_file, users, log=None):
    """Makes ROOT (emptied first). Returns (classes, files written)."""
    root = Path(root)
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    volume = Volume(root)
    table = load_classes(classes_file)
    keys, files = [], 0
    for clsid in sorted(table):
        entry = table[clsid]
        if not isinstance(entry, dict):
            continue
        keys.append(class_key(clsid, entry))
        for path in server_paths(entry):
            files += add_server_file(volume, path)
    for name in ("System32", "SysWOW64"):
        volume.folder(["Windows", name])
    config = volume.folder(["Windows", "System32", "config"])
    make_hive.write_hive(str(config / "SOFTWARE"), software_hive(keys))
    make_hive.write_hive(str(config / "SYSTEM"), system_hive())
    for user in users:
        add_profile(volume, user)
    volume.folder(["ProgramData"])
    volume.folder(["Users", "Public"])
    if log:
        log("%s: %d classes, %d server files, users %s" % (root, len(keys), files,
                                                          ", ".join(users)))
    return len(keys), files


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("root")
    parser.add_argument("--classes", default=str(DEFAULT_CLASSES))
    parser.add_argument("--user", action="append")
    args = parser.parse_args(argv)
    build(args.root, args.classes, args.user or ["user"],
          log=lambda text: print(text, file=sys.stderr))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
