#!/usr/bin/env python3
"""Builds the example evidence volume: a small stock-like machine, two users, a few hijacks, one look-alike.

Usage:
  make_example_volume.py ROOT [--classes FILE.json.zip]

ROOT is laid out as a mounted Windows 10 volume (see make_stock_machine.py) holding a sample of
one stock machine's classes (the classes attackers are reported to target, some with handlers,
named server values or the CLR, the first classes in order, and the classes their TreatAs names),
every server file as a PE stub, and two profiles, alice and bob. Planted in it, in the shapes
examiners meet:

  alice  a handler of her own, C:\\Users\\alice\\AppData\\Roaming\\ole32.dll, over a machine class
         whose handler is Windows' ole32.dll (a file named like the system's, in her profile);
  alice  MMDeviceEnumerator served from %APPDATA%\\Microsoft\\mmdevapi.dll (REG_EXPAND_SZ), a
         publicly targeted class every program that plays sound creates;
  bob    a machine local server copied into his classes as it is, with a ServerExecutable of his
         own under AppData\\Local\\Temp (COM starts ServerExecutable, not the command line);
  bob    a scriptlet class of his own whose ScriptletURL is a web address;
  machine  a TreatAs from a stock class to a new class served from C:\\Users\\Public;
  machine  a class whose server C:\\ProgramData\\Contoso\\helper.dll is gone (any user may create
         it there);
and one look-alike that is innocent: an uninstalled vendor's class whose server under Program
Files is gone (only an administrator could put it back; low), and alice's own registration of a
stock class that names the machine's very server in other letter case (nothing to report).

Running it again gives the same bytes. The classes come from an MIT-licensed table (notice in
its LICENSE, copied beside ROOT as ROOT-LICENSE.txt by examples/make-examples.sh).
"""

import argparse
import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_hive  # noqa: E402
import make_stock_machine as stock  # noqa: E402
from make_hive import Key  # noqa: E402

FIRST_CLASSES = 60  # the first classes in order, besides those chosen for what they show
CHOSEN = {
    "{BCDE0395-E52F-467C-8E3D-C4579291692E}",  # MMDeviceEnumerator
    "{B5F8350B-0548-48B1-A6EE-88BD00B4A5E7}",  # CAccPropServicesClass
    "{42AEDC87-2188-41FD-B9A3-0C966FEABEC1}",  # MruPidlList (windows.storage.dll on Windows 10)
    "{0289A7C5-91BF-4547-81AE-FEC91A89DEC5}",  # a local server with ServerExecutable
    "{0A29FF9E-7F9C-4437-8B11-F424491E3931}",  # served by the CLR (mscoree.dll)
    "{F56F6FDD-AA9D-4618-A949-C1B91AF43B1A}",  # Security and Maintenance Shell Service Object
}
HANDLED = 6  # classes with a handler of Windows' own
TREATED = "{F56F6FDD-AA9D-4618-A949-C1B91AF43B1A}"
# When the planted keys were written: the hijacks stand out in a timeline of stock keys.
PLANTED = make_hive.DEFAULT_TIMESTAMP + 70 * 86400 * 10_000_000
PLANTED_TARGET = "{7D3A2F10-5B8C-4E21-9A6D-0C1E2F3A4B5C}"
ORPHAN = "{3C9E8A71-6F2B-4D05-8E14-A9B7C6D5E4F3}"
ABANDONED = "{91B4C2D8-3E7F-4A16-B5C9-D0E1F2A3B4C5}"
SCRIPTLET = "{C5D6E7F8-0A1B-4C2D-8E3F-4A5B6C7D8E9F}"


def sz(name, text, kind=make_hive.REG_SZ):
    return (name, kind, make_hive.string_data(text))


def pick(table):
    chosen = {clsid: entry for clsid, entry in table.items() if clsid.upper() in CHOSEN}
    handled = [clsid for clsid in sorted(table)
               if any(name.lower() == "inprochandler32"
                      for name in (table[clsid].get("Registry") or {}))]
    for clsid in handled[:HANDLED]:
        chosen[clsid] = table[clsid]
    for clsid in sorted(table)[:FIRST_CLASSES]:
        chosen[clsid] = table[clsid]
    # The classes a chosen one's TreatAs names come too, as on the machine.
    by_name = {clsid.upper(): clsid for clsid in table}
    for clsid in list(chosen):
        for subkey, values in (chosen[clsid].get("Registry") or {}).items():
            target = values.get("(default)") if isinstance(values, dict) else None
            if subkey.lower() == "treatas" and isinstance(target, str) and \
                    target.upper() in by_name:
                chosen[by_name[target.upper()]] = table[by_name[target.upper()]]
    return chosen, handled[0]


def server_key(name, path, kind=make_hive.REG_SZ, extra=()):
    return Key(name, [sz("", path, kind), *extra])


def build(root, classes_file):
    root = Path(root)
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    volume = stock.Volume(root)
    chosen, handled = pick(stock.load_classes(classes_file))
    keys, files = [], 0
    for clsid in sorted(chosen):
        key = stock.class_key(clsid, chosen[clsid])
        if clsid == TREATED:
            key.children.append(Key("TreatAs", [sz("", PLANTED_TARGET)], written=PLANTED))
        keys.append(key)
        for path in stock.server_paths(chosen[clsid]):
            files += stock.add_server_file(volume, path)
    keys += [
        Key(PLANTED_TARGET, [sz("", "Maintenance Helper")],
            [server_key("InprocServer32", "C:\\Users\\Public\\Libraries\\mhelper.dll")],
            written=PLANTED),
        Key(ORPHAN, [sz("", "Contoso Viewer Control")],
            [server_key("InprocServer32", "C:\\Program Files\\Contoso\\Viewer\\cviewer.dll")]),
        Key(ABANDONED, [sz("", "Contoso Update Helper")],
            [server_key("InprocServer32", "C:\\ProgramData\\Contoso\\helper.dll")]),
    ]
    stock.add_server_file(volume, "C:\\Users\\Public\\Libraries\\mhelper.dll")
    config = volume.folder(["Windows", "System32", "config"])
    volume.folder(["Windows", "SysWOW64"])
    make_hive.write_hive(str(config / "SOFTWARE"), stock.software_hive(keys))
    make_hive.write_hive(str(config / "SYSTEM"), stock.system_hive())
    volume.folder(["ProgramData", "Contoso"])
    volume.folder(["Program Files", "Contoso", "Viewer"])
    for user in ("alice", "bob"):
        stock.add_profile(volume, user)

    # alice: a handler of her own named like Windows' ole32.dll, MMDeviceEnumerator in her
    # roaming folder, and a harmless copy of a machine registration.
    stock.add_server_file(volume, "C:\\Users\\alice\\AppData\\Roaming\\ole32.dll")
    stock.add_server_file(volume, "C:\\Users\\alice\\AppData\\Roaming\\Microsoft\\mmdevapi.dll")
    first = sorted(chosen)[0]
    first_server = next(path for path in stock.server_paths(chosen[first]))
    alice = [
        Key(handled, children=[server_key("InprocHandler32",
                                          "C:\\Users\\alice\\AppData\\Roaming\\ole32.dll")]),
        Key("{BCDE0395-E52F-467C-8E3D-C4579291692E}", children=[
            server_key("InprocServer32", "%APPDATA%\\Microsoft\\mmdevapi.dll",
                       make_hive.REG_EXPAND_SZ, [sz("ThreadingModel", "Both")])]),
        Key(first, children=[server_key("InprocServer32", first_server.upper())]),
    ]
    # bob: the machine's local server copied with a ServerExecutable of his own, and a scriptlet.
    stock.add_server_file(volume, "C:\\Users\\bob\\AppData\\Local\\Temp\\winrshost.exe")
    stock.add_server_file(volume, "C:\\Windows\\System32\\scrobj.dll")
    winrs = chosen["{0289a7c5-91bf-4547-81ae-fec91a89dec5}"]["Registry"]["LocalServer32"]
    bob = [
        Key("{0289a7c5-91bf-4547-81ae-fec91a89dec5}", children=[
            server_key("LocalServer32", winrs["(default)"], extra=[
                sz("ServerExecutable", "C:\\Users\\bob\\AppData\\Local\\Temp\\winrshost.exe")])]),
        Key(SCRIPTLET, [sz("", "Update Checker")], [
            server_key("InprocServer32", "C:\\Windows\\System32\\scrobj.dll"),
            server_key("ScriptletURL", "https://updates.example.invalid/check.sct")]),
    ]
    for key in alice[:2] + bob:
        key.written = PLANTED
        for child in key.children:
            child.written = PLANTED
    for user, classes in (("alice", alice), ("bob", bob)):
        folder = volume.folder(["Users", user, "AppData", "Local", "Microsoft", "Windows"])
        make_hive.write_hive(str(folder / "UsrClass.dat"), Key("ROOT", children=[
            Key("Local Settings"), Key("CLSID", children=classes)]))
    for folder, _, names in os.walk(root):
        for name in names:
            os.utime(Path(folder, name), (stock.STUB_TIME, stock.STUB_TIME))
    return len(keys), files


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("root")
    parser.add_argument("--classes", default=str(stock.DEFAULT_CLASSES))
    args = parser.parse_args(argv)
    classes, files = build(args.root, args.classes)
    print("%s: %d machine classes, %d server files, users alice and bob" % (args.root, classes,
                                                                              files),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
