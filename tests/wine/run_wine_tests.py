# Wine end-to-end test rig for the scanner programs (Python 3 standard library only).
"""End-to-end runs of the scanner programs under Wine: registry fixtures in, message box and clipboard out.

Usage:
  run_wine_tests.py BUILD_DIR WORK_DIR [--only TEXT] [--exe NAME=PATH] [--helper EXE] [--clsid-scan PATH]
      Runs every scenario against the programs in BUILD_DIR; WORK_DIR holds the Wine prefix and run files.
      With --clsid-scan (the native Linux program), every clipboard a scanner fills is also compared
      with what clsid-scan --encoding cp932 prints for the same registry, as a .reg and as a hive.
      The last scenario imports a machine and a user .reg into HKLM and HKCU\Software\Classes and
      runs clsid-scan.exe --live; with --clsid-scan its output is compared with the native program's
      on the same two files. The server files the live scan examines are checked against the prefix's.
      Prints PASS/FAIL per check and ends with "N passed, M failed"; exits 1 if any check failed.
  run_wine_tests.py BUILD_DIR WORK_DIR [--answer yes|no|enter] --show PROGRAM [FIXTURE.reg ...]
      Imports the fixtures (none: no CLSID key), runs PROGRAM once and prints what its box says.

Fixtures are UTF-8 .reg files in tests/wine/fixtures: leading ";" comment lines, then the
"Windows Registry Editor Version 5.00" header; they are converted to UTF-16LE for `reg import`.
The helper (rig_helper.cpp) is built into WORK_DIR with the MinGW compiler unless --helper is given.
Needs: wine (64-bit), the ja_JP.UTF-8 locale, x86_64-w64-mingw32-g++.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import difflib
import hashlib
import json
import re
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

HERE = Path(__file__).resolve().parent
FIXTURES = HERE / "fixtures"
SAMPLE_REGISTRY = HERE.parent.parent / "examples" / "sample-registry.reg"
sys.path.insert(0, str(HERE.parent.parent / "tools"))
import make_hive  # noqa: E402  (the repository's hive writer)

CODEPAGE = "cp932"
CAPTION = "tovrik"
NOTHING_FOUND = "見つかりませんでした。"
QUESTION = "クリップボードにコピーしますか？"

PREFIX = "HKEY_CLASSES_ROOT\\CLSID\\"
LABEL_DESCRIPTION = " " * 15 + "\t"
LABEL_SERVER = "\\InprocServer32\t"
LABEL_TYPELIB = "\\TypeLib" + " " * 7 + "\t"

# Put on the clipboard by the helper before each run (CF_OEMTEXT); still there means untouched.
MARKER = b"rig marker: clipboard untouched"

IDOK, IDYES, IDNO = 1, 6, 7
CF_OEMTEXT = 7
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4

# Wine's message box garbles (and on closing may crash on) texts of 32767 characters or more.
WINE_TEXT_LIMIT = 32766

CLASSES_KEY = "HKLM\\Software\\Classes\\CLSID"  # what HKEY_CLASSES_ROOT\CLSID is made of under Wine
USER_CLASSES_KEY = "HKCU\\Software\\Classes\\CLSID"

WINE_ENV = {
    "WINEARCH": "win64",
    "WINEDEBUG": "-all",
    # No Mono/Gecko install prompts, no desktop menu entries, and a crash ends the process at once
    # (exit code 0xc0000005 and the like) instead of waiting in the debugger.
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d",
    # ANSI and OEM code page 932.
    "LC_ALL": "ja_JP.UTF-8",
}


def entry(key: str, label: str, value: str) -> str:
    """One report line: prefix, key name, 16-character label field, value, LF."""
    return PREFIX + key + label + value + "\n"


def sjis(text: str) -> bytes:
    return text.encode(CODEPAGE)


# ---------------------------------------------------------------- scenarios


@dataclasses.dataclass(frozen=True)
class RawValue:
    """A value stored with exactly these bytes (no terminator added). key is relative to HKEY_CLASSES_ROOT."""

    key: str
    name: str  # "" is the unnamed default value
    type: int
    data: bytes


@dataclasses.dataclass(frozen=True)
class Scenario:
    name: str
    program: str  # file name in the build dir (or given with --exe)
    fixtures: tuple = ()  # .reg files in fixtures/; none at all means no CLSID key
    raw_values: tuple = ()  # RawValue, stored after the fixtures
    answer: str = "enter"  # yes | no | enter
    box_text: Optional[bytes] = None  # None: no box may appear
    buttons: tuple = ()  # control IDs, in window order
    default_button: Optional[int] = None
    clipboard: Optional[bytes] = None  # None: the marker must still be there


def listing(name: str, program: str, fixtures: tuple, report: str, answer: str, raw_values: tuple = ()) -> Scenario:
    """A run that finds classes: the report plus the question, Yes/No with No as default."""
    text = sjis(report)
    return Scenario(
        name=name,
        program=program,
        fixtures=fixtures,
        raw_values=raw_values,
        answer=answer,
        box_text=text + sjis(QUESTION),
        buttons=(IDYES, IDNO),
        default_button=IDNO,
        clipboard=text if answer == "yes" else None,
    )


def nothing_found(name: str, program: str, fixtures: tuple, answer: str = "enter", raw_values: tuple = ()) -> Scenario:
    return Scenario(
        name=name,
        program=program,
        fixtures=fixtures,
        raw_values=raw_values,
        answer=answer,
        box_text=sjis(NOTHING_FOUND),
        buttons=(IDOK,),
        default_button=IDOK,
    )


def no_clsid_key(name: str, program: str) -> Scenario:
    return Scenario(name=name, program=program)


FRAME_PROBE = "frame-probe.exe"
FRAME_PROBE_FIXTURES = ("frame_probe.reg",)
FRAME_PROBE_RAW = (
    # Unterminated UTF-16 data: the narrow call hands back "未終端" with a terminator added.
    RawValue("CLSID\\{0A1B2C3D-0009-4000-8000-000000000009}", "", REG_SZ, "未終端".encode("utf-16-le")),
    # Zero bytes of REG_SZ data: the narrow call reports 0 bytes and writes nothing.
    RawValue("CLSID\\{0A1B2C3D-000A-4000-8000-00000000000A}", "", REG_SZ, b""),
)
# Every class of frame_probe.reg whose default value is a REG_SZ, in Wine's (sorted) order.
FRAME_PROBE_REPORT = (
    entry("Odd.Name", LABEL_DESCRIPTION, "odd key name")
    + entry("{0A1B2C3D-0001-4000-8000-000000000001}", LABEL_DESCRIPTION, "Plain Widget")
    + entry("{0A1B2C3D-0002-4000-8000-000000000002}", LABEL_DESCRIPTION, "表計算ドキュメント")
    + entry("{0A1B2C3D-0006-4000-8000-000000000006}", LABEL_DESCRIPTION, "")
    + entry("{0A1B2C3D-0007-4000-8000-000000000007}", LABEL_DESCRIPTION, 'ソフト表示 "quoted" C:\\dir')
    + entry("{0A1B2C3D-0009-4000-8000-000000000009}", LABEL_DESCRIPTION, "未終端")
    + entry("{0A1B2C3D-000A-4000-8000-00000000000A}", LABEL_DESCRIPTION, "")
)


BARE_SCAN = "clsid-bare-scan.exe"
BARE_SCAN_FIXTURES = ("bare_scan.reg",)
BARE_TYPELIB = "{0F0E0D0C-1111-4222-8333-944455556666}"


def bare_class(n: int) -> str:
    return "{B00000%02X-0000-4000-8000-0000000000%02X}" % (n, n)


BARE_SCAN_RAW = (
    # 1024 characters without a terminator: the narrow call fills the 1024-byte buffer exactly,
    # with no NUL, and the text is those 1024 bytes.
    RawValue("CLSID\\" + bare_class(17), "", REG_SZ, ("R" * 1024).encode("utf-16-le")),
    # The right 38 characters, but without a terminator: 38 bytes reported, not 39.
    RawValue("CLSID\\" + bare_class(18) + "\\TypeLib", "", REG_SZ, BARE_TYPELIB.encode("utf-16-le")),
)


def bare_entry(n: int, description: str, server: str, type_lib: str = BARE_TYPELIB) -> str:
    key = bare_class(n)
    return (
        entry(key, LABEL_DESCRIPTION, description)
        + entry(key, LABEL_SERVER, server)
        + entry(key, LABEL_TYPELIB, type_lib)
        + "\n"
    )


# The classes of bare_scan.reg that are bare, in Wine's (sorted) order; every other class there
# is a near miss.
BARE_SCAN_REPORT = (
    bare_entry(1, "Plain Bare Class", "C:\\Windows\\plain.dll")
    + bare_entry(2, "更新チェッカー", "C:\\Users\\Public\\表計算\\ソフト.dll")
    + bare_entry(10, "Odd TypeLib", "C:\\o.dll", "{not hex, only the braces count!!!!!!}")
    + bare_entry(15, "D" * 1023, "C:\\long.dll")
    + bare_entry(17, "R" * 1024, "C:\\raw.dll")
)

NAME_SCAN = "clsid-name-scan.exe"
NAME_SCAN_FIXTURES = ("name_scan.reg",)


def name_class(n: int) -> str:
    return "{C00000%02X-0000-4000-8000-0000000000%02X}" % (n, n)


# The classes of name_scan.reg whose description is listed: one line each, no empty line.
NAME_SCAN_REPORT = (
    entry(name_class(1), LABEL_DESCRIPTION, "Qj")
    + entry(name_class(3), LABEL_DESCRIPTION, "Qxq")
    + entry(name_class(14), LABEL_DESCRIPTION, "Xz")
)

SCENARIOS = [
    listing("frame_probe_yes", FRAME_PROBE, FRAME_PROBE_FIXTURES, FRAME_PROBE_REPORT, "yes", FRAME_PROBE_RAW),
    listing("frame_probe_enter", FRAME_PROBE, FRAME_PROBE_FIXTURES, FRAME_PROBE_REPORT, "enter", FRAME_PROBE_RAW),
    listing("frame_probe_no", FRAME_PROBE, FRAME_PROBE_FIXTURES, FRAME_PROBE_REPORT, "no", FRAME_PROBE_RAW),
    nothing_found("frame_probe_empty_clsid", FRAME_PROBE, ("empty_clsid.reg",)),
    no_clsid_key("frame_probe_no_clsid", FRAME_PROBE),
    listing("bare_scan_yes", BARE_SCAN, BARE_SCAN_FIXTURES, BARE_SCAN_REPORT, "yes", BARE_SCAN_RAW),
    listing("bare_scan_enter", BARE_SCAN, BARE_SCAN_FIXTURES, BARE_SCAN_REPORT, "enter", BARE_SCAN_RAW),
    nothing_found("bare_scan_empty_clsid", BARE_SCAN, ("empty_clsid.reg",)),
    nothing_found("bare_scan_only_near_misses", BARE_SCAN, ("name_scan.reg",)),
    no_clsid_key("bare_scan_no_clsid", BARE_SCAN),
    listing("name_scan_yes", NAME_SCAN, NAME_SCAN_FIXTURES, NAME_SCAN_REPORT, "yes"),
    listing("name_scan_enter", NAME_SCAN, NAME_SCAN_FIXTURES, NAME_SCAN_REPORT, "enter"),
    nothing_found("name_scan_empty_clsid", NAME_SCAN, ("empty_clsid.reg",)),
    no_clsid_key("name_scan_no_clsid", NAME_SCAN),
]


# ---------------------------------------------------------------- .reg fixtures


class RigError(Exception):
    """The rig itself could not do its work (not a finding about the program under test)."""


def reg_body(text: str) -> list:
    """The lines of a fixture from its header on (the comment lines before it are dropped)."""
    lines = text.splitlines()
    while lines and lines[0].startswith(";"):
        lines.pop(0)
    return lines


def reg_to_utf16(text: str) -> bytes:
    """What `reg import` reads: the header first, UTF-16LE with a BOM, CRLF line ends."""
    return b"\xff\xfe" + "".join(line + "\r\n" for line in reg_body(text)).encode("utf-16-le")


def _reg_string(token: str, where: str) -> str:
    if len(token) < 2 or token[0] != '"' or token[-1] != '"':
        raise RigError(f"{where}: expected a quoted string: {token}")
    out, i, body = [], 0, token[1:-1]
    while i < len(body):
        c = body[i]
        if c == "\\":
            if i + 1 >= len(body) or body[i + 1] not in '\\"':
                raise RigError(f"{where}: unsupported escape in {token}")
            out.append(body[i + 1])
            i += 2
        elif c == '"':
            raise RigError(f"{where}: unescaped quote in {token}")
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _split_value_line(line: str, where: str) -> tuple:
    """'@=...' or '"name"=...' -> (name, data text)."""
    if line.startswith("@="):
        return "", line[2:]
    if line.startswith('"'):
        i = 1
        while i < len(line):
            if line[i] == "\\":
                i += 2
                continue
            if line[i] == '"':
                break
            i += 1
        if line[i + 1 : i + 2] == "=":
            return _reg_string(line[: i + 1], where), line[i + 2 :]
    raise RigError(f"{where}: cannot read value line: {line}")


def parse_reg(path: Path, root: str = "HKEY_CLASSES_ROOT\\") -> dict:
    """The keys and values a fixture sets: {key path below root: [(name, type, stored bytes)]}.
    With root "", keys are taken as the full paths written in the fixture."""
    text = path.read_text(encoding="utf-8")
    lines = reg_body(text)
    skipped = len(text.splitlines()) - len(lines)
    if not lines or lines[0] != "Windows Registry Editor Version 5.00":
        raise RigError(f"{path}: first line must be 'Windows Registry Editor Version 5.00'")
    keys: dict = {}
    current = None
    pending = ""
    for number, raw in enumerate(lines[1:], start=2):
        where = f"{path.name}:{number + skipped}"
        line = pending + raw.strip() if pending else raw.strip()
        if line.endswith("\\") and not line.startswith(";"):
            pending = line[:-1]  # hex data continued on the next line
            continue
        pending = ""
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            if not line.endswith("]"):
                raise RigError(f"{where}: bad key line")
            name = line[1:-1]
            if not name.startswith(root):
                raise RigError(f"{where}: fixture keys must be below {root}")
            current = name[len(root) :]
            keys.setdefault(current, [])
            continue
        if current is None:
            raise RigError(f"{where}: value outside a key")
        name, data = _split_value_line(line, where)
        if data.startswith('"'):
            value = (REG_SZ, (_reg_string(data, where) + "\0").encode("utf-16-le"))
        elif data.startswith("dword:"):
            value = (REG_DWORD, int(data[6:], 16).to_bytes(4, "little"))
        elif data.startswith("hex(") and "):" in data:
            type_, _, digits = data[4:].partition("):")
            value = (int(type_, 16), bytes.fromhex(digits.replace(",", "")))
        elif data.startswith("hex:"):
            value = (REG_BINARY, bytes.fromhex(data[4:].replace(",", "")))
        else:
            raise RigError(f"{where}: unsupported value type: {data}")
        keys[current].append((name, *value))
    return keys


def narrow_view(type_: int, stored: bytes) -> bytes:
    """What RegEnumValueA hands back for stored data: string types converted from UTF-16 to code page 932."""
    if type_ in (REG_SZ, REG_EXPAND_SZ):
        return stored[: len(stored) // 2 * 2].decode("utf-16-le").encode(CODEPAGE)
    return stored


# ---------------------------------------------------------------- Wine


def windows_path(path: Path) -> str:
    """Z: is the Unix root in a fresh prefix."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


class Wine:
    def __init__(self, work: Path):
        self.work = work
        self.prefix = work / "prefix"
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER"):
            self.env.pop(name, None)
        self.env.update(WINE_ENV)
        self.env["WINEPREFIX"] = str(self.prefix)
        # Wine links the prefix's user folders to $HOME; keep that inside the work dir.
        self.env["HOME"] = str(work / "home")
        self.wine = shutil.which("wine") or "wine"
        self.wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
        self.server_started = False

    def run(self, args: list, timeout: float = 60) -> subprocess.CompletedProcess:
        # Output goes to files, not pipes: a wineserver started on the way inherits them and would hold a pipe open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                done = subprocess.run(
                    [self.wine, *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout
                )
            except subprocess.TimeoutExpired as e:
                raise RigError(f"wine {' '.join(map(str, args))}: no end after {timeout} s") from e
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())

    def check(self, args: list, timeout: float = 60) -> subprocess.CompletedProcess:
        done = self.run(args, timeout)
        if done.returncode != 0:
            raise RigError(f"wine {' '.join(map(str, args))}: exit {done.returncode}\n{describe_output(done)}")
        return done

    def server(self, *args: str, timeout: float = 30) -> None:
        subprocess.run(
            [self.wineserver, *args],
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            timeout=timeout,
        )

    def create(self) -> None:
        if self.prefix.exists():
            self.server("-k")
            shutil.rmtree(self.prefix)
        (self.work / "home").mkdir(parents=True, exist_ok=True)
        self.server_started = True
        self.check(["wineboot", "-i"], timeout=600)
        self.check(["reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"])
        # Restart so that every process from now on uses the null driver; -p keeps one server for all runs.
        self.server("-k")
        self.server("-w")
        # The server outlives short gaps between runs, and goes by itself a minute after the rig if it was killed.
        self.server("-p60")

    def shutdown(self) -> None:
        if self.server_started:
            self.server("-k")
            try:
                self.server("-w", timeout=30)
            except subprocess.TimeoutExpired:
                pass


def describe_output(done: subprocess.CompletedProcess) -> str:
    parts = []
    for label, data in (("stdout", done.stdout), ("stderr", done.stderr)):
        if data:
            parts.append(f"    {label}: " + data.decode(CODEPAGE, "replace").rstrip().replace("\n", "\n      "))
    return "\n".join(parts)


# ---------------------------------------------------------------- the helper's output


def parse_dump(text: str) -> dict:
    """{key path: [(name, type, narrow count, narrow data, byte after it or None, stored type, stored data)]},
    or {} when the key is missing."""
    keys: dict = {}
    current = None
    pending: dict = {}
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        if parts[0] == "missing":
            return {}
        if parts[0] == "key":
            current = bytes.fromhex(parts[1]).decode(CODEPAGE, "backslashreplace")
            keys[current] = []
        elif parts[0] == "value":
            _, index, type_, name, count, data, after = parts
            pending[index] = (
                b"" if name == "-" else bytes.fromhex(name),
                int(type_),
                int(count),
                b"" if data == "-" else bytes.fromhex(data),
                None if after == "-" else bytes.fromhex(after)[0],
            )
        elif parts[0] == "raw":
            _, index, type_, name, size, data = parts
            narrow = pending.pop(index)
            keys[current].append((*narrow, int(type_), b"" if data == "-" else bytes.fromhex(data)))
        else:
            raise RigError(f"unexpected dump line: {line}")
    return keys


def readable_dump(text: str) -> list:
    """The helper's dump as text lines for a diff: keys, then values with their stored bytes."""
    keys = parse_dump(text)
    if not keys:
        return ["(no CLSID key)"]
    lines = []
    for key, values in keys.items():
        lines.append(f"[{key}]")
        for name, _, _, _, _, type_, data in values:
            shown = name.decode(CODEPAGE, "backslashreplace") or "@"
            lines.append(f"  {shown} type {type_}: {data.hex(' ') or '(no data)'}")
    return lines


def parse_result(text: str) -> dict:
    """result.txt: "key rest" lines; repeated keys collect into lists."""
    result: dict = {}
    for line in text.splitlines():
        key, _, rest = line.partition(" ")
        result.setdefault(key, []).append(rest)
    return result


# ---------------------------------------------------------------- checks


def show_bytes_diff(expected: bytes, actual: bytes) -> str:
    lines = [f"    expected {len(expected)} bytes, got {len(actual)} bytes"]
    at = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b), min(len(expected), len(actual)))
    lines.append(f"    first difference at byte {at}:")
    lines.append(f"      expected ...{expected[max(0, at - 8):at + 16].hex(' ')}")
    lines.append(f"      actual   ...{actual[max(0, at - 8):at + 16].hex(' ')}")

    def text_lines(data: bytes) -> list:
        return [repr(x) for x in data.decode(CODEPAGE, "backslashreplace").splitlines(keepends=True)]

    diff = difflib.unified_diff(text_lines(expected), text_lines(actual), "expected", "actual", lineterm="")
    lines += ["    " + d for d in diff]
    return "\n".join(lines)


class Report:
    def __init__(self) -> None:
        self.passed = 0
        self.failed = 0

    def check(self, scenario: str, what: str, ok: bool, detail: str = "") -> bool:
        if ok:
            self.passed += 1
            print(f"PASS {scenario}: {what}")
        else:
            self.failed += 1
            print(f"FAIL {scenario}: {what}")
            if detail:
                print(detail)
        sys.stdout.flush()
        return ok

    def same_bytes(self, scenario: str, what: str, expected: bytes, actual: bytes) -> bool:
        detail = "" if expected == actual else show_bytes_diff(expected, actual)
        return self.check(scenario, what, expected == actual, detail)


# ---------------------------------------------------------------- runs


class Rig:
    def __init__(self, wine: Wine, helper: Path, work: Path):
        self.wine = wine
        self.helper = helper
        self.work = work
        self.clsid_scan: Optional[Path] = None

    def helper_run(self, args: list, timeout: float = 60) -> subprocess.CompletedProcess:
        return self.wine.check([windows_path(self.helper), *args], timeout)

    def prepare_registry(self, fixtures: tuple, raw_values: tuple) -> dict:
        """Replaces HKEY_CLASSES_ROOT\\CLSID with the fixtures and raw values; returns what they should hold."""
        for key in (CLASSES_KEY, USER_CLASSES_KEY):
            self.wine.run(["reg", "delete", key, "/f"])
        expected: dict = {}
        regdir = self.work / "reg"
        regdir.mkdir(exist_ok=True)
        for name in fixtures:
            source = Path(name) if Path(name).is_absolute() else FIXTURES / name
            for key, values in parse_reg(source).items():
                expected.setdefault(key, []).extend(values)
            converted = regdir / source.name
            converted.write_bytes(reg_to_utf16(source.read_text(encoding="utf-8")))
            self.wine.check(["reg", "import", windows_path(converted)])
        for raw in raw_values:
            self.helper_run(["setraw", raw.key, raw.name or "@", str(raw.type), raw.data.hex() or "-"])
            parts = raw.key.split("\\")
            for i in range(1, len(parts) + 1):
                expected.setdefault("\\".join(parts[:i]), [])
            values = expected[raw.key]
            values[:] = [v for v in values if v[0] != raw.name]
            values.append((raw.name, raw.type, raw.data))
        return expected

    def dump(self) -> tuple:
        text = self.helper_run(["dump", "CLSID"]).stdout.decode("ascii")
        return text, parse_dump(text)

    def export(self) -> Optional[bytes]:
        target = self.work / "export.reg"
        target.unlink(missing_ok=True)
        done = self.wine.run(["reg", "export", CLASSES_KEY, windows_path(target), "/y"])
        return target.read_bytes() if done.returncode == 0 and target.exists() else None

    def run_program(self, program: Path, answer: str, outdir: Path) -> dict:
        if outdir.exists():
            shutil.rmtree(outdir)
        outdir.mkdir(parents=True)
        self.helper_run(["run", answer, windows_path(outdir), windows_path(program)], timeout=90)
        result = parse_result((outdir / "result.txt").read_text(encoding="utf-8"))
        for name in ("box_text", "box_caption", "extra1_text", "clipboard"):
            f = outdir / f"{name}.bin"
            result[name] = f.read_bytes() if f.exists() else None
        return result


def compare_registry(expected: dict, actual: dict) -> list:
    """Differences between what the fixtures set and what the narrow calls read back."""
    problems = []
    if set(expected) != set(actual):
        for key in sorted(set(expected) - set(actual)):
            problems.append(f"    missing key {key}")
        for key in sorted(set(actual) - set(expected)):
            problems.append(f"    unexpected key {key}")
    for key in sorted(set(expected) & set(actual)):
        want = {name: (type_, data) for name, type_, data in expected[key]}
        got = {v[0].decode(CODEPAGE, "backslashreplace"): v for v in actual[key]}
        if set(want) != set(got):
            problems.append(f"    {key}: values {sorted(got)} instead of {sorted(want)}")
            continue
        for name, (type_, data) in want.items():
            _, ntype, count, ndata, _, stype, sdata = got[name]
            label = f"{key} [{name or '@'}]"
            if (stype, sdata) != (type_, data):
                problems.append(f"    {label}: stored type {stype} {sdata.hex(' ')}, expected {type_} {data.hex(' ')}")
            elif (ntype, ndata, count) != (type_, narrow_view(type_, data), len(narrow_view(type_, data))):
                problems.append(
                    f"    {label}: narrow call gives {count} bytes {ndata.hex(' ')}, "
                    f"expected {narrow_view(type_, data).hex(' ')}"
                )
    return problems


RULE_OF_PROGRAM = {BARE_SCAN: "bare", NAME_SCAN: "name"}


def reg_quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_same_registry(fixtures: tuple, expected: dict, regdir: Path) -> tuple:
    """The registry the program saw, for clsid-scan: the fixtures as imported with the raw values
    appended as hex(N) data (a .reg export), and every key and value as a SOFTWARE hive."""
    text = "Windows Registry Editor Version 5.00\n"
    for name in fixtures:
        source = Path(name) if Path(name).is_absolute() else FIXTURES / name
        text += "\n".join(reg_body(source.read_text(encoding="utf-8"))[1:]) + "\n"
    for key, values in expected.items():
        text += f"\n[HKEY_CLASSES_ROOT\\{key}]\n"
        for value_name, type_, data in values:
            shown = "@" if value_name == "" else reg_quoted(value_name)
            text += f"{shown}=hex({type_:x}):" + ",".join(f"{b:02x}" for b in data) + "\n"
    reg = regdir / "same-registry.reg"
    reg.write_bytes(reg_to_utf16(text))

    classes = make_hive.Key("Classes")
    nodes = {"": classes}

    def node_of(key: str) -> make_hive.Key:
        if key not in nodes:
            parent, _, leaf = key.rpartition("\\")
            nodes[key] = make_hive.Key(leaf)
            node_of(parent).children.append(nodes[key])
        return nodes[key]

    for key, values in expected.items():
        node_of(key).values = list(values)
    hive = regdir / "same-registry.hive"
    make_hive.write_hive(str(hive), make_hive.Key("", [], [classes, make_hive.Key("Microsoft")]))
    return reg, hive


def same_bytes_as_clsid_scan(rig: Rig, report: Report, name: str, program: str, fixtures: tuple,
                             expected: dict, clipboard: bytes) -> None:
    """clsid-scan, on a .reg and on a hive holding what the program read, prints its clipboard."""
    if rig.clsid_scan is None or program not in RULE_OF_PROGRAM:
        return
    reg, hive = write_same_registry(fixtures, expected, rig.work / "reg")
    for source in (reg, hive):
        done = subprocess.run(
            [str(rig.clsid_scan), "--encoding", "cp932", "--rule", RULE_OF_PROGRAM[program], "--view", "64",
             str(source)],
            capture_output=True, timeout=60)
        what = f"clsid-scan on the {source.suffix[1:]} prints the clipboard's bytes"
        if report.same_bytes(name, what, clipboard, done.stdout):
            want = 1 if clipboard else 0
            report.check(name, f"clsid-scan exit code {want}", done.returncode == want,
                         f"    exit {done.returncode}: {done.stderr.decode(errors='replace')}")


def run_scenario(rig: Rig, report: Report, scenario: Scenario, program: Optional[Path]) -> None:
    s = scenario.name
    print(f"== {s} ({scenario.program}, answer {scenario.answer})")
    if scenario.box_text is not None and len(scenario.box_text.decode(CODEPAGE)) > WINE_TEXT_LIMIT:
        raise RigError(f"expected box text longer than {WINE_TEXT_LIMIT} characters")
    if program is None or not program.exists():
        report.check(s, "program exists", False, f"    not found: {program or scenario.program}")
        return

    expected_registry = rig.prepare_registry(scenario.fixtures, scenario.raw_values)
    dump_before, registry = rig.dump()
    if scenario.fixtures or scenario.raw_values:
        problems = compare_registry(expected_registry, registry)
        what = "registry holds the fixtures (code page 932 text intact)"
    else:
        problems = ["    the CLSID key exists"] if registry else []
        what = "registry has no CLSID key"
    report.check(s, what, not problems, "\n".join(problems))

    export_before = rig.export()
    result = rig.run_program(program, scenario.answer, rig.work / "runs" / s)
    dump_after, _ = rig.dump()
    export_after = rig.export()

    exit_code = result.get("exit", ["?"])[0]
    shown = f"0x{int(exit_code):08x}" if exit_code.isdigit() and int(exit_code) > 255 else exit_code
    report.check(s, "exit code 0", exit_code == "0", f"    exit {shown}")

    box = result.get("box", ["?"])[0].split()[0]
    if scenario.box_text is None:
        detail = f"    box: {box}"
        if result["box_text"] is not None:
            detail += "\n    text: " + repr(result["box_text"].decode(CODEPAGE, "backslashreplace"))
        report.check(s, "no message box", box == "none", detail)
    elif report.check(s, "one message box", box == "seen", f"    box: {box}"):
        if scenario.answer == "enter":
            answered = result.get("answered", ["?"])[0]
            report.check(s, "Enter went to the focused control", answered == "enter focus", f"    answered: {answered}")
        report.same_bytes(s, "box text", scenario.box_text, result["box_text"] or b"")
        report.same_bytes(s, "box caption", sjis(CAPTION), result["box_caption"] or b"")
        buttons = [b.split(" ", 2) for b in result.get("box_button", [])]
        ids = tuple(int(b[0]) for b in buttons)
        report.check(s, f"buttons {scenario.buttons}", ids == scenario.buttons, f"    buttons: {buttons}")
        defaults = [int(b[0]) for b in buttons if b[1] == "def"]
        want = [scenario.default_button]
        report.check(s, f"default button {scenario.default_button}", defaults == want, f"    default: {defaults}")
        icons = result.get("box_icons", ["?"])[0]
        report.check(s, "no icon", icons == "0", f"    icons: {icons}")
        owner = result.get("box_owner", ["?"])[0]
        report.check(s, "no owner window", owner == "none", f"    owner: {owner}")
    extra = result.get("extra_boxes", ["?"])[0]
    detail = f"    further boxes: {extra}"
    if result["extra1_text"] is not None:
        detail += "\n    the first says: " + repr(result["extra1_text"].decode(CODEPAGE, "backslashreplace"))
    report.check(s, "no further box", extra == "0", detail)

    formats = result.get("clipboard_formats", [""])[0].split()
    oemtext = result.get("clipboard_oemtext", ["none"])[0].split()
    clip = result["clipboard"] or b""
    if scenario.clipboard is None:
        report.same_bytes(s, "clipboard untouched", MARKER, clip)
    else:
        report.same_bytes(s, "clipboard text", scenario.clipboard, clip)
        same_bytes_as_clsid_scan(rig, report, s, scenario.program, scenario.fixtures, expected_registry, clip)
        # Wine offers converted formats too; the first one listed is the one the program set.
        report.check(s, "clipboard format CF_OEMTEXT", formats[:1] == [str(CF_OEMTEXT)], f"    formats: {formats}")
        size = oemtext[1] if len(oemtext) > 1 else "?"
        report.check(
            s,
            "clipboard block of text length + 1 bytes",
            size == str(len(scenario.clipboard) + 1),
            f"    block size {size}, text {len(scenario.clipboard)} bytes",
        )

    same = dump_before == dump_after and export_before == export_after
    detail = ""
    if not same:
        before, after = readable_dump(dump_before), readable_dump(dump_after)
        diff = difflib.unified_diff(before, after, "before", "after", lineterm="")
        detail = "\n".join("    " + d for d in diff) or "    the exported registry differs"
    report.check(s, "registry unchanged by the run", same, detail)


# ---------------------------------------------------------------- clsid-scan.exe --live

CLSID_SCAN = "clsid-scan.exe"
LIVE_SCENARIO = "clsid_scan_live"
LIVE_FIXTURES = ("live_machine.reg", "live_user.reg")
# The keys the live scan reads: both views of both sides.
LIVE_KEYS = (
    "HKLM\\Software\\Classes\\CLSID",
    "HKLM\\Software\\Classes\\Wow6432Node\\CLSID",
    "HKCU\\Software\\Classes\\CLSID",
    "HKCU\\Software\\Classes\\Wow6432Node\\CLSID",
)
SHORT_ROOTS = {"HKEY_LOCAL_MACHINE\\": "HKLM\\", "HKEY_CURRENT_USER\\": "HKCU\\"}


def live_expected(converted: list) -> dict:
    """What the live fixtures set, keyed as the helper's dump of LIVE_KEYS names the keys."""
    expected: dict = {}
    for source in converted:
        for key, values in parse_reg(FIXTURES / source.name, root="").items():
            for long, short in SHORT_ROOTS.items():
                if key.startswith(long):
                    key = short + key[len(long):]
            top = next((k for k in LIVE_KEYS if key == k or key.startswith(k + "\\")), None)
            if top is None:
                raise RigError(f"{source.name}: key outside the live keys: {key}")
            parts = key[len(top):].split("\\")
            for i in range(1, len(parts) + 1):
                expected.setdefault(top + "\\".join(parts[:i]), [])
            expected[key].extend(values)
    return expected


def live_snapshot(rig: Rig) -> tuple:
    """The raw dumps and the `reg export` files of the live keys."""
    dumps, exports, keys = [], [], {}
    for key in LIVE_KEYS:
        text = rig.helper_run(["dump", key]).stdout.decode("ascii")
        dumps.append(text)
        keys.update(parse_dump(text))
        target = rig.work / "export.reg"
        target.unlink(missing_ok=True)
        done = rig.wine.run(["reg", "export", key, windows_path(target), "/y"])
        exports.append(target.read_bytes() if done.returncode == 0 and target.exists() else None)
    return dumps, exports, keys


FILE_REASONS = ("server file missing", "unquoted path runs another program",
                "server machine does not fit view")
WRITTEN = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z")


def json_without_sources(out: bytes, live: bool = False) -> list:
    """JSON Lines as objects without what differs between a live scan and one of its export: their
    "sources" (file names differ from the live key names), "written" (a .reg export keeps no
    times; a live key's time is checked to be one), "file" (examined on the live machine) and
    the reasons only an examined file gives."""
    found = []
    for line in out.decode("utf-8").splitlines():
        obj = json.loads(line)
        obj.pop("sources", None)
        written = obj.pop("written", None)
        if live and not (isinstance(written, str) and WRITTEN.fullmatch(written)):
            raise ValueError(f"written is not a key's time: {written!r}")
        obj.pop("file", None)
        obj.pop("passed_over", None)
        if live:
            # What only the examined files add; an export has no files to examine.
            obj["reasons"] = [r for r in obj.get("reasons", []) if r not in FILE_REASONS]
        found.append(obj)
    return found


def same_findings(report: Report, name: str, what: str, expected: bytes, actual: bytes,
                  live: bool = False) -> None:
    try:
        want, got = json_without_sources(expected), json_without_sources(actual, live)
    except (ValueError, UnicodeDecodeError) as e:
        report.check(name, what, False, f"    not JSON Lines: {e}\n    {actual[:300]!r}")
        return
    detail = ""
    if want != got:
        diff = difflib.unified_diff(
            [json.dumps(o, ensure_ascii=False) for o in want],
            [json.dumps(o, ensure_ascii=False) for o in got], "native", "clsid-scan.exe", lineterm="")
        detail = "\n".join("    " + d for d in diff)
    report.check(name, what, bool(want) and want == got, detail or "    no findings")


# The server files the live fixtures name, as the live scan must find them in the prefix:
# (class key, view) -> state, path (letter case aside), the file in drive_c, PE headers.
LIVE_FILES = {
    ("{E1000005-0000-4000-8000-000000000005}", 64):
        ("present", "windows/system32/ole32.dll", "windows/system32/ole32.dll", ("x64", True)),
    ("{E1000006-0000-4000-8000-000000000006}", 64):
        ("missing", "windows/system32/clsid-scan-gone.dll", None, None),
    ("{E1000014-0000-4000-8000-000000000014}", 32):
        ("present", "windows/syswow64/clsid-scan-x86.dll", "windows/syswow64/clsid-scan-x86.dll",
         ("x86", True)),
}


def x86_dll_headers() -> bytes:
    """A file that is only the headers of a 32-bit DLL: MZ, e_lfanew 0x40, "PE", i386, DLL."""
    image = bytearray(0x200)
    image[0:2] = b"MZ"
    image[0x3C:0x40] = (0x40).to_bytes(4, "little")
    image[0x40:0x44] = b"PE\0\0"
    image[0x44:0x46] = (0x14C).to_bytes(2, "little")
    image[0x56:0x58] = (0x2102).to_bytes(2, "little")
    return bytes(image)


def filetime_text(nanoseconds: int) -> str:
    """A Unix time as clsid-scan writes a file's FILETIME: UTC, to 100 ns."""
    seconds, rest = divmod(nanoseconds, 10**9)
    stamp = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + f".{rest // 100:07d}Z"


def check_live_files(rig: Rig, report: Report, name: str, live_json: bytes) -> None:
    """Each server file of LIVE_FILES as the live scan reports it, against the prefix's own file."""
    files = {}
    for line in live_json.decode("utf-8", "replace").splitlines():
        obj = json.loads(line)
        if (obj.get("key"), obj.get("view")) in LIVE_FILES:
            files[(obj["key"], obj["view"])] = obj.get("file")
    drive_c = rig.wine.prefix / "drive_c"
    for (key, view), (state, path, on_disk, pe) in LIVE_FILES.items():
        got = files.get((key, view))
        want = {"state": state, "path": path, "size": None, "sha256": None, "modified": None,
                "pe": None, "location": "system"}
        if on_disk is not None:
            disk = drive_c / on_disk
            want.update(size=disk.stat().st_size, sha256=hashlib.sha256(disk.read_bytes()).hexdigest(),
                        modified=filetime_text(disk.stat().st_mtime_ns))
        if pe is not None:
            want["pe"] = {"machine": pe[0], "dll": pe[1]}
        seen = None
        if isinstance(got, dict):
            seen = {field: got.get(field) for field in want}
            if isinstance(seen["path"], str):
                seen["path"] = seen["path"].lower()
        report.check(name, f"--live JSON: the server file of {key} ({view}-bit view): {state}", seen == want,
                     f"    expected {want}\n    got      {got}")


def live_scan(rig: Rig, report: Report, program: Path) -> None:
    """clsid-scan.exe --live on a machine and a user side imported with `reg import`: the same
    findings as the native clsid-scan on the two .reg files, and the registry untouched."""
    s = LIVE_SCENARIO
    print(f"== {s} ({CLSID_SCAN} --live)")
    if not program.exists():
        report.check(s, "program exists", False, f"    not found: {program}")
        return
    for key in LIVE_KEYS:
        rig.wine.run(["reg", "delete", key, "/f"])
    regdir = rig.work / "reg"
    regdir.mkdir(exist_ok=True)
    converted = []
    for name in LIVE_FIXTURES:
        target = regdir / name
        target.write_bytes(reg_to_utf16((FIXTURES / name).read_text(encoding="utf-8")))
        rig.wine.check(["reg", "import", windows_path(target)])
        converted.append(target)
    expected = live_expected(converted)
    # `reg import` adds a terminator to hex(1) and hex(2) data: store such data again as written.
    for key, values in expected.items():
        for value_name, type_, data in values:
            if type_ in (REG_SZ, REG_EXPAND_SZ) and (len(data) % 2 or data[-2:] != b"\0\0"):
                rig.helper_run(["setraw", key, value_name or "@", str(type_), data.hex() or "-"])
    (rig.wine.prefix / "drive_c" / LIVE_FILES[("{E1000014-0000-4000-8000-000000000014}", 32)][2]).write_bytes(
        x86_dll_headers())
    dumps_before, exports_before, registry = live_snapshot(rig)
    problems = compare_registry(expected, registry)
    report.check(s, "HKLM and HKCU hold the fixtures, both views", not problems, "\n".join(problems))

    exe = windows_path(program)
    files = [windows_path(c) for c in converted]
    # Every rule but abandoned, which needs the files that a scan of the exports does not have.
    rules = ["--rule", "bare,name,shadow,scriptlet,treatas,userpath,handler,known"]
    runs = {
        "live json": [exe, "--live", "--format", "json", *rules],
        "live text": [exe, "--live", *rules],
        "files json": [exe, "--format", "json", *rules, *files],
        "files text": [exe, *rules, *files],
    }
    out = {}
    for label, args in runs.items():
        done = rig.wine.run(args)
        out[label] = done.stdout
        report.check(s, f"clsid-scan.exe ({label}): exit 1, nothing on standard error",
                     done.returncode == 1 and not done.stderr, describe_output(done) or f"    exit {done.returncode}")
    report.check(s, "text output is UTF-8 with LF line ends, no BOM",
                 out["live text"].decode("utf-8", "replace").startswith("# bare rule, 64-bit view\n")
                 and b"\r" not in out["live text"] and "更新チェッカー".encode() in out["live text"],
                 f"    {out['live text'][:200]!r}")
    report.same_bytes(s, "--live text is the text of the offline scan of its .reg files",
                      out["files text"], out["live text"])
    check_live_files(rig, report, s, out["live json"])

    if rig.clsid_scan is not None:
        native = {
            "json": subprocess.run([str(rig.clsid_scan), "--format", "json", *rules,
                                    *map(str, converted)], capture_output=True, timeout=60),
            "text": subprocess.run([str(rig.clsid_scan), *rules, *map(str, converted)],
                                   capture_output=True, timeout=60),
        }
        report.check(s, "native clsid-scan exit 1", all(n.returncode == 1 for n in native.values()),
                     "    " + " / ".join(n.stderr.decode(errors="replace") for n in native.values()))
        same_findings(report, s, "--live JSON is the native JSON of the .reg files (sources aside)",
                      native["json"].stdout, out["live json"], live=True)
        same_findings(report, s, "offline JSON on Windows is the native JSON (sources aside)",
                      native["json"].stdout, out["files json"])
        report.same_bytes(s, "--live text is the native text of the .reg files", native["text"].stdout,
                          out["live text"])

    # What the Windows build leaves to the Linux one.
    _, hive = write_same_registry((), {"CLSID": []}, regdir)
    for label, args in (("a hive", [exe, windows_path(hive)]), ("--system", [exe, "--system", "Z:\\"])):
        done = rig.wine.run(args)
        report.check(s, f"{label}: exit 2 with an error naming the Linux build",
                     done.returncode == 2 and b"Linux build" in done.stderr and not done.stdout,
                     describe_output(done) or f"    exit {done.returncode}")

    dumps_after, exports_after, _ = live_snapshot(rig)
    same = dumps_before == dumps_after and exports_before == exports_after
    detail = ""
    if not same:
        before = [line for d in dumps_before for line in readable_dump(d)]
        after = [line for d in dumps_after for line in readable_dump(d)]
        detail = "\n".join("    " + d for d in difflib.unified_diff(before, after, "before", "after", lineterm=""))
        detail = detail or "    the exported registry differs"
    report.check(s, "registry unchanged by the runs (raw dump and export)", same, detail)


# ---------------------------------------------------------------- main


def sample_same_bytes(rig: Rig, report: Report, program_path: Path, program: str) -> None:
    """The sample registry: the program's clipboard after Yes, and clsid-scan's output, agree."""
    name = f"sample_registry_{RULE_OF_PROGRAM[program]}"
    print(f"== {name} ({program}, answer yes)")
    fixtures = (str(SAMPLE_REGISTRY),)
    expected = rig.prepare_registry(fixtures, ())
    result = rig.run_program(program_path, "yes", rig.work / "runs" / name)
    clip = result["clipboard"] or b""
    if report.check(name, "the program filled the clipboard", clip not in (b"", MARKER)):
        same_bytes_as_clsid_scan(rig, report, name, program, fixtures, expected, clip)


def build_helper(work: Path) -> Path:
    compiler = os.environ.get("MINGW_CXX", "x86_64-w64-mingw32-g++")
    target = work / "rig_helper.exe"
    command = [compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", "-municode", "-static"]
    command += ["-o", str(target), str(HERE / "rig_helper.cpp")]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RigError(f"building the helper failed:\n{done.stdout}{done.stderr}")
    return target


def resolve_program(name: str, build: Path, overrides: dict) -> Path:
    return overrides.get(name, build / name)


def show(rig: Rig, program: Path, fixtures: list, answer: str) -> int:
    rig.prepare_registry(tuple(str(Path(f).resolve()) if Path(f).exists() else f for f in fixtures), ())
    result = rig.run_program(program, answer, rig.work / "runs" / "show")
    box = result.get("box", ["?"])[0].split()[0]
    if box != "seen":
        print(f"message box: {box}")
    else:
        print(f"caption: {(result['box_caption'] or b'').decode(CODEPAGE, 'replace')}")
        print("text:")
        print((result["box_text"] or b"").decode(CODEPAGE, "replace"))
        for b in result.get("box_button", []):
            ident, default, text = b.split(" ", 2)
            print(f"button {ident}: {text}" + (" (default)" if default == "def" else ""))
        print(f"answered: {result.get('answered', ['?'])[0]}")
    clip = result["clipboard"] or b""
    print("clipboard: " + ("untouched" if clip == MARKER else "\n" + clip.decode(CODEPAGE, "replace")))
    print(f"exit code: {result.get('exit', ['?'])[0]}")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir", type=Path, help="directory with the programs under test")
    parser.add_argument("work_dir", type=Path, help="scratch directory for the Wine prefix and run files")
    parser.add_argument("--only", default="", help="run only scenarios whose name contains this text")
    parser.add_argument("--exe", action="append", default=[], metavar="NAME=PATH", help="use PATH for program NAME")
    parser.add_argument("--helper", type=Path, help="prebuilt rig_helper.exe")
    parser.add_argument("--clsid-scan", type=Path, help="the native clsid-scan, to compare with the clipboard")
    parser.add_argument(
        "--show", nargs="+", metavar=("PROGRAM", "FIXTURE"), help="run one program and print its box (give it last)"
    )
    parser.add_argument("--answer", choices=("yes", "no", "enter"), default="enter", help="answer for --show")
    args = parser.parse_args()

    overrides = {}
    for item in args.exe:
        name, _, path = item.partition("=")
        overrides[name] = Path(path).resolve()

    def stop(signum, frame):
        raise KeyboardInterrupt(f"signal {signum}")

    signal.signal(signal.SIGTERM, stop)

    started = time.monotonic()
    work = args.work_dir.resolve()
    work.mkdir(parents=True, exist_ok=True)
    for sub in ("runs", "reg"):
        shutil.rmtree(work / sub, ignore_errors=True)
    wine = Wine(work)
    report = Report()
    try:
        helper = args.helper.resolve() if args.helper else build_helper(work)
        wine.create()
        rig = Rig(wine, helper, work)
        if args.clsid_scan is not None:
            if not args.clsid_scan.exists():
                raise RigError(f"not found: {args.clsid_scan} (build the native preset first)")
            rig.clsid_scan = args.clsid_scan.resolve()
        pages = rig.helper_run(["codepages"]).stdout.decode("ascii").split()
        if pages != ["acp", "932", "oemcp", "932"]:
            raise RigError(f"Wine does not use code page 932 ({' '.join(pages)}); is the ja_JP.UTF-8 locale installed?")
        print(f"Wine prefix ready in {time.monotonic() - started:.1f} s")
        if args.show:
            program = Path(args.show[0])
            if not program.exists():
                program = resolve_program(args.show[0], args.build_dir, overrides)
            if not program.exists():
                raise RigError(f"not found: {program}")
            return show(rig, program, args.show[1:], args.answer)
        for scenario in SCENARIOS:
            if args.only in scenario.name:
                try:
                    run_scenario(rig, report, scenario, resolve_program(scenario.program, args.build_dir, overrides))
                except RigError as e:
                    report.check(scenario.name, "rig could run the scenario", False, f"    {e}")
        if rig.clsid_scan is not None and args.only in "sample_registry":
            for program in (BARE_SCAN, NAME_SCAN):
                sample_same_bytes(rig, report, resolve_program(program, args.build_dir, overrides), program)
        # Last: it replaces both views of both sides' classes.
        if args.only in LIVE_SCENARIO:
            try:
                live_scan(rig, report, resolve_program(CLSID_SCAN, args.build_dir, overrides))
            except RigError as e:
                report.check(LIVE_SCENARIO, "rig could run the scenario", False, f"    {e}")
    except (RigError, OSError, subprocess.SubprocessError) as e:
        report.check("rig", "setup and runs", False, f"    {e}")
    finally:
        wine.shutdown()
    print(f"Wine runs took {time.monotonic() - started:.1f} s")
    print(f"{report.passed} passed, {report.failed} failed")
    return 1 if report.failed or not report.passed else 0


if __name__ == "__main__":
    sys.exit(main())
