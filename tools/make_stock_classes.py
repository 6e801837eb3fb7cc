#!/usr/bin/env python3
"""Generates rules/stock_classes.tsv, the servers one stock Windows 10 x64 machine registers.

Source: xcyclopedia_COM.json.zip (one JSON object: for each CLSID under HKEY_CLASSES_ROOT\\CLSID of
one stock Windows 10 x64 machine, its subkeys and values as the registry held them, paths already
expanded). It is MIT-licensed; its notice is copied into the table's header, which is compiled in.

What each line keeps, TAB-separated: the CLSID in upper case, the server kind (`inproc` for the
InprocServer32 default, else `local` for the LocalServer32 command line, as clsid-scan picks a
class's server) and the server value with the machine's own folders written as the variables
Windows expands them from: C:\\Windows as %SystemRoot%, C:\\Program Files (x86) as
%ProgramFiles(x86)%, C:\\Program Files as %ProgramFiles%, C:\\ProgramData as %ProgramData%.
Quotes around an in-process server are dropped (COM drops them); a command line keeps its own.
Classes without a server value are left out. The lines are sorted by CLSID.

Usage: make_stock_classes.py [ZIP [OUTPUT]]
The output is deterministic: the same archive always gives the same file.
"""

import json
import re
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_ZIP = HERE.parent.parent / "shared/data/stock-classes/xcyclopedia_COM.json.zip"
DEFAULT_OUT = HERE.parent / "rules/stock_classes.tsv"

FOLDERS = [  # longest first: Program Files (x86) before Program Files
    ("C:\\Program Files (x86)", "%ProgramFiles(x86)%"),
    ("C:\\Program Files", "%ProgramFiles%"),
    ("C:\\ProgramData", "%ProgramData%"),
    ("C:\\Windows", "%SystemRoot%"),
]
CLSID = re.compile(r"^\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}$")


def with_variables(path):
    """The path with a leading machine folder (after an optional quote) as its variable."""
    quote = '"' if path.startswith('"') else ""
    rest = path[len(quote):]
    for folder, variable in FOLDERS:
        if rest.lower().startswith(folder.lower()) and (
            len(rest) == len(folder) or rest[len(folder)] in '\\"'
        ):
            return quote + variable + rest[len(folder):]
    return path


def code_base_path(text):
    """A CodeBase URL (file:///C:/x.dll) as the path the CLR opens."""
    if text.lower().startswith("file:"):
        text = text[5:]
        slashes = len(text) - len(text.lstrip("/\\"))
        drive = len(text) >= slashes + 2 and text[slashes + 1] == ":"
        text = ("" if drive or slashes < 2 else "\\\\") + text[slashes:]
    return text.replace("/", "\\")


def server_of(registry):
    """The server clsid-scan judges: the InprocServer32 default (its CodeBase when mscoree.dll
    serves it), else the LocalServer32 command line (its ServerExecutable, quoted, when set)."""
    subkeys = {name.lower(): values for name, values in registry.items()}  # any letter case
    for subkey, kind in (("InprocServer32", "inproc"), ("LocalServer32", "local")):
        values = subkeys.get(subkey.lower())
        if isinstance(values, dict) and isinstance(values.get("(default)"), str):
            value = values["(default)"].strip()
            if not value:
                continue
            if kind == "inproc" and len(value) > 1 and value[0] == value[-1] == '"':
                value = value[1:-1]
            named = {name.lower(): text for name, text in values.items() if isinstance(text, str)}
            file_name = value.replace("/", "\\").rsplit("\\", 1)[-1].lower()
            if kind == "inproc" and file_name in ("mscoree.dll", "mscoree") and named.get("codebase"):
                value = code_base_path(named["codebase"])
            program = named.get("serverexecutable", "").replace('"', "")
            if kind == "local" and program:
                value = '"' + program + '"'
            return kind, with_variables(value)
    return None


def main():
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_ZIP
    output = Path(sys.argv[2]) if len(sys.argv) > 2 else DEFAULT_OUT
    with zipfile.ZipFile(source) as archive:
        (member,) = [n for n in archive.namelist() if n.endswith(".json")]
        classes = json.loads(archive.read(member).decode("utf-8-sig"))
    notice = (source.parent / "LICENSE").read_text(encoding="utf-8").strip().splitlines()
    rows = []
    for clsid, entry in classes.items():
        if not CLSID.match(clsid) or not isinstance(entry, dict):
            continue
        server = server_of(entry.get("Registry") or {})
        if server is None or any(c in server[1] for c in "\t\r\n"):
            continue
        rows.append((clsid.upper(), *server))
    rows.sort()
    lines = [
        "# The server each class of one stock Windows 10 x64 machine registers (HKEY_CLASSES_ROOT\\CLSID,",
        "# the 64-bit view, gathered 2021-01-15), made by tools/make_stock_classes.py from the",
        "# xcyclopedia COM table (strontic/xcyclopedia, output/strontic-xcyclopedia_COM.json.zip).",
        "# CLSID\tinproc|local\tserver, machine folders as %SystemRoot%, %ProgramFiles%, ...",
        "# The table's source is used under its licence:",
    ]
    lines += ["#   " + line if line else "#" for line in notice]
    lines += ["\t".join(row) for row in rows]
    output.write_text("\n".join(lines) + "\n", encoding="utf-8", newline="\n")
    print(f"{output}: {len(rows)} classes")


if __name__ == "__main__":
    main()
