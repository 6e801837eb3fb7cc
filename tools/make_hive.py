#!/usr/bin/env python3
"""Writes registry hive files and .reg exports straight from a tree of keys, and reads .reg exports.

Used for the benchmark hives and the bundled examples. A hive is written in one pass: for every
key its own cell (left blank), its values and value list first, then its subkeys (each subtree
whole), then its subkey list; last the key's cell is filled in. No cell is ever copied or left
unused, so 100,000 classes take seconds and a hive holds little more than its data.

What the hive holds (all integers little-endian, offsets relative to the first hive bin):
  - a base block of 4096 bytes: both sequence numbers 1, version 1.5, file type 0, format 1,
    the root offset, the size of the hive bins data, and the XOR checksum of its first 508 bytes;
  - hive bins of 4096 bytes (larger only where one cell, or one key's own run of cells, needs
    more); the space left at a bin's end is one free cell;
  - one security cell shared by every key (owner Administrators, full access for SYSTEM and
    Administrators, read access for Users);
  - per key an `nk` cell; a name that Latin-1 can hold is stored one byte a character (flag
    0x20), any other name as UTF-16LE;
  - per value a `vk` cell; up to 4 bytes of data sit in the value cell itself, up to 16344 bytes
    in one data cell, more in a `db` cell over segments of 16344 bytes;
  - subkey lists `lh`, sorted by upper-cased name, each entry with the name's hash; a key with
    more than 1000 subkeys gets an `ri` over several `lh` lists of 500.

A key is a `Key` (name, values, children). A value is a tuple (name, type, data bytes); the
empty name is the key's default value. Strings are stored as the registry stores them: UTF-16LE
with a terminating NUL (`string_data`).

Usage:
  make_hive.py --self-check
  make_hive.py --from-reg IN.reg --key PATH --hive OUT.hive   (the subtree at PATH as a hive)
"""

import argparse
import base64
import contextlib
import gc
import operator
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

REG_NONE = 0
REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_MULTI_SZ = 7
REG_QWORD = 11

BLOCK_SIZE = 4096
BIN_HEADER_SIZE = 32
INLINE_DATA_MAX = 4
DATA_CELL_MAX = 16344  # the most data one data cell holds; more goes into a db cell's segments
LEAF_MAX = 1000  # a key with more subkeys than this gets an ri list
LEAF_SIZE = 500  # subkeys per lh list under an ri
# 2024-01-01T00:00:00Z as a FILETIME: a fixed time keeps every output byte-for-byte reproducible.
DEFAULT_TIMESTAMP = (1704067200 + 11644473600) * 10_000_000


class Key:
    """One registry key: its name, its values [(name, type, data bytes)] in stored order, its
    subkeys (any order: the hive and the .reg export both sort them as the registry does), and
    its last write time as a FILETIME (None: the hive's own timestamp)."""

    __slots__ = ("name", "values", "children", "written")

    def __init__(self, name, values=None, children=None, written=None):
        self.name = name
        self.values = values if values is not None else []
        self.children = children if children is not None else []
        self.written = written


def string_data(text):
    """REG_SZ / REG_EXPAND_SZ data as the registry stores it: UTF-16LE and a terminating NUL."""
    return text.encode("utf-16-le", "surrogatepass") + b"\0\0"


def multi_string_data(texts):
    """REG_MULTI_SZ data: each string NUL-terminated, then one more NUL."""
    return b"".join(string_data(text) for text in texts) + b"\0\0"


def dword_data(number):
    return struct.pack("<I", number & 0xFFFFFFFF)


def string_of_data(data):
    """The text of REG_SZ data: UTF-16LE up to the first NUL (an odd last byte dropped)."""
    text = data[: len(data) & ~1].decode("utf-16-le", "surrogatepass")
    end = text.find("\0")
    return text if end < 0 else text[:end]


# ---- names: upper case, hash and order as the registry has them ----

_upcase_cache = {}


def _upcase_unit(unit):
    """Upper case of one UTF-16 unit; characters whose upper case is not one unit stay as they
    are, as the registry's own one-to-one upcase table leaves them."""
    if unit < 0x80:
        return unit - 32 if 97 <= unit <= 122 else unit
    upper = _upcase_cache.get(unit)
    if upper is None:
        upper = unit
        if not 0xD800 <= unit <= 0xDFFF:
            text = chr(unit).upper()
            if len(text) == 1 and ord(text) <= 0xFFFF:
                upper = ord(text)
        _upcase_cache[unit] = upper
    return upper


def _units(name):
    data = name.encode("utf-16-le", "surrogatepass")
    return struct.unpack("<%dH" % (len(data) // 2), data)


def name_sort_key(name):
    """Sort key of a subkey name: its upper-cased UTF-16 units, compared unit by unit."""
    if name.isascii():
        return name.upper()
    return "".join(chr(_upcase_unit(unit)) for unit in _units(name))


# 37 ** k mod 2 ** 32, highest power first: the hash of n units is the sum of unit i times
# _HASH_POWERS[-n + i], which map() and sum() work out far faster than a loop in Python.
_HASH_POWERS = tuple(pow(37, k, 1 << 32) for k in range(16383, -1, -1))


def _folded_hash(folded):
    """The lh hash of a name given as name_sort_key(name): h = h * 37 + upper(unit) over the
    name's UTF-16 units, 32 bits."""
    units = folded.encode("ascii") if folded.isascii() else [ord(char) for char in folded]
    return sum(map(operator.mul, units, _HASH_POWERS[len(_HASH_POWERS) - len(units):])) \
        & 0xFFFFFFFF


def _stored_name(name):
    """(stored bytes, compressed?, length in UTF-16 units): Latin-1 names one byte a character."""
    try:
        return name.encode("latin-1"), True, len(name)
    except UnicodeEncodeError:
        data = name.encode("utf-16-le", "surrogatepass")
        return data, False, len(data) // 2


def _security_descriptor():
    """A self-relative security descriptor: owner Administrators, group SYSTEM, and a DACL that
    gives SYSTEM and Administrators full access (KEY_ALL_ACCESS) and Users read access."""

    def sid(*sub_authorities):  # authority 5 (NT AUTHORITY)
        count = len(sub_authorities)
        return struct.pack("<BB6B%dI" % count, 1, count, 0, 0, 0, 0, 0, 5, *sub_authorities)

    system, admins, users = sid(18), sid(32, 544), sid(32, 545)
    aces = b""
    for mask, who in ((0xF003F, system), (0xF003F, admins), (0x20019, users)):
        # type 0 (allow), flags 2 (container inherit)
        aces += struct.pack("<BBHI", 0, 2, 8 + len(who), mask) + who
    dacl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 3, 0) + aces
    header_size = 20
    owner_offset = header_size
    group_offset = owner_offset + len(admins)
    dacl_offset = group_offset + len(system)
    control = 0x8004  # self-relative, DACL present
    return struct.pack("<BBHIIII", 1, 0, control, owner_offset, group_offset, 0,
                       dacl_offset) + admins + system + dacl


@contextlib.contextmanager
def paused_cyclic_gc():
    """Keeps the cyclic garbage collector off for a while. Big trees of keys are hundreds of
    thousands of objects that the collector would walk again and again, for nothing: keys hold
    no cycles. Pausing it halves the time a large hive takes."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def write_hive(path, root_key, timestamp=DEFAULT_TIMESTAMP):
    """Writes `root_key` and everything below it as a clean hive file at `path`.

    Raises ValueError when two subkeys of one key, or two values of one key, have names that
    differ only in case (the registry cannot hold both) or a name is longer than the format
    allows."""
    with paused_cyclic_gc():
        _write_hive(path, root_key, timestamp)


def _write_hive(path, root_key, timestamp):
    buf = bytearray()
    bin_end = 0  # where the current hive bin ends
    pack = struct.pack
    pack_into = struct.pack_into
    zeros = bytes(1024)  # padding of cells and the body of a reserved key cell
    first_item = operator.itemgetter(0)

    def allocate(size):
        """Offset for a cell of `size` bytes (a multiple of 8), starting a new bin if needed."""
        nonlocal bin_end
        offset = len(buf)
        if offset + size > bin_end:
            if offset < bin_end:  # the rest of the bin becomes one free cell
                buf.extend(pack("<i", bin_end - offset))
                buf.extend(bytes(bin_end - offset - 4))
            bin_size = (BIN_HEADER_SIZE + size + BLOCK_SIZE - 1) & ~(BLOCK_SIZE - 1)
            buf.extend(b"hbin" + pack("<II", bin_end, bin_size) + bytes(20))
            bin_end += bin_size
            offset = len(buf)
        return offset

    def cell(payload):
        size = (len(payload) + 11) & ~7
        offset = allocate(size)
        buf.extend(pack("<i", -size))
        buf.extend(payload)
        buf.extend(zeros[: size - 4 - len(payload)])
        return offset

    # Per value name: (its stored bytes padded to the cell's end, stored length, flags, length
    # in bytes as UTF-16, value cell size). Few names, used many times.
    value_names = {}
    value_cell_inline = struct.Struct("<i2sHI4sIHH").pack  # data in the offset field
    value_cell_offset = struct.Struct("<i2sHIIIHH").pack

    def value_name_info(value_name):
        stored, compressed, units = _stored_name(value_name)
        if units > 16383:
            raise ValueError("value name too long: %r" % value_name[:40])
        size = (24 + len(stored) + 7) & ~7
        info = (stored + zeros[: size - 24 - len(stored)], len(stored), 1 if compressed else 0,
                units * 2, size)
        value_names[value_name] = info
        return info

    def write_own_cells(key, stored):
        """Writes the key cell (its fields are filled in once the subtree is written), then per
        value its data cell and value cell, then the value list: one run of cells, placed
        with a single allocation. Returns (key cell offset, value list offset, longest value
        name in bytes as UTF-16, largest data size)."""
        values = key.values
        key_size = (80 + len(stored) + 7) & ~7
        if not values:
            offset = allocate(key_size)
            buf.extend(pack("<i", -key_size) + zeros[: key_size - 4])
            return offset, 0xFFFFFFFF, 0, 0
        count = len(values)
        if count > 1 and len({name_sort_key(value[0]) for value in values}) < count:
            raise ValueError("key %r: two values with one name" % key.name)
        list_size = (4 * count + 11) & ~7
        total = key_size + list_size
        layout = []  # per value: (type, data, name info, data cell size or -(db offset + 1))
        longest_name = 0
        largest_data = 0
        for value_name, value_type, data in values:
            info = value_names.get(value_name) or value_name_info(value_name)
            size = len(data)
            if size <= INLINE_DATA_MAX:
                data_cell = 0
            elif size <= DATA_CELL_MAX:
                data_cell = (size + 11) & ~7
                total += data_cell
            else:
                # Big data goes first, in cells of its own. Every segment cell is a full one,
                # as the registry allocates them (readers take a segment's length from its
                # cell size).
                segments = [cell(data[start:start + DATA_CELL_MAX].ljust(DATA_CELL_MAX, b"\0"))
                            for start in range(0, size, DATA_CELL_MAX)]
                segment_list = cell(pack("<%dI" % len(segments), *segments))
                data_cell = -cell(pack("<2sHII", b"db", len(segments), segment_list, 0)) - 1
            total += info[4]
            if info[3] > longest_name:
                longest_name = info[3]
            if size > largest_data:
                largest_data = size
            layout.append((value_type, data, info, data_cell))
        offset = allocate(total)
        pieces = [pack("<i", -key_size), zeros[: key_size - 4]]
        position = offset + key_size
        value_offsets = []
        for value_type, data, info, data_cell in layout:
            size = len(data)
            if data_cell > 0:
                pieces += (pack("<i", -data_cell), data, zeros[: data_cell - 4 - size])
                pieces.append(value_cell_offset(-info[4], b"vk", info[1], size, position,
                                                value_type, info[2], 0))
                position += data_cell
            elif data_cell < 0:
                pieces.append(value_cell_offset(-info[4], b"vk", info[1], size, -data_cell - 1,
                                                value_type, info[2], 0))
            else:  # struct pads the data to 4 bytes with zeros
                pieces.append(value_cell_inline(-info[4], b"vk", info[1], size | 0x80000000,
                                                data, value_type, info[2], 0))
            pieces.append(info[0])
            value_offsets.append(position)
            position += info[4]
        pieces.append(pack("<i%dI" % count, -list_size, *value_offsets))
        pieces.append(zeros[: list_size - 4 - 4 * count])
        buf.extend(b"".join(pieces))
        return offset, position, longest_name, largest_data

    def write_subkey_list(entries):
        """entries: sorted (offset, hash) pairs. Returns the offset of the lh or ri list."""

        def leaf(part):
            flat = [number for entry in part for number in entry]
            return cell(b"lh" + pack("<H%dI" % len(flat), len(part), *flat))

        if len(entries) <= LEAF_MAX:
            return leaf(entries)
        leaves = [leaf(entries[start:start + LEAF_SIZE])
                  for start in range(0, len(entries), LEAF_SIZE)]
        return cell(b"ri" + pack("<H%dI" % len(leaves), len(leaves), *leaves))

    key_count = 0

    def write_key(key, stored, own_cells, parent, flags, security):
        """Writes the subtree of a key whose own cells are written, then fills in its key
        cell."""
        nonlocal key_count
        key_count += 1
        offset, value_list, longest_value_name, largest_data = own_cells
        children = key.children
        if children:
            named = [(name_sort_key(child.name), child) for child in children]
            if len(named) > 1:
                named.sort(key=first_item)
                for index in range(1, len(named)):
                    if named[index][0] == named[index - 1][0]:
                        raise ValueError("key %r: two subkeys named %r" % (key.name,
                                                                          named[index][1].name))
            entries = []
            longest_subkey_name = 0
            for folded, child in named:
                child_stored, child_compressed, units = _stored_name(child.name)
                if units > 255 or units == 0:
                    raise ValueError("key %r: subkey name of %d characters" % (key.name, units))
                if units * 2 > longest_subkey_name:
                    longest_subkey_name = units * 2
                child_cells = write_own_cells(child, child_stored)
                write_key(child, child_stored, child_cells, offset,
                          0x20 if child_compressed else 0, security)
                entries.append((child_cells[0], _folded_hash(folded)))
            subkey_list = write_subkey_list(entries)
        else:
            longest_subkey_name = 0
            subkey_list = 0xFFFFFFFF
        written = timestamp if key.written is None else key.written
        pack_into("<2sHQ15IHH", buf, offset + 4, b"nk", flags, written, 0,
                  parent, len(key.children), 0, subkey_list, 0xFFFFFFFF, len(key.values),
                  value_list, security, 0xFFFFFFFF, longest_subkey_name, 0,
                  longest_value_name, largest_data, 0, len(stored), 0)
        buf[offset + 80:offset + 80 + len(stored)] = stored

    # The security cell comes first; as the only one it links to itself. Its offset is the
    # first cell's: right after the first bin's header.
    descriptor = _security_descriptor()
    security = allocate((20 + len(descriptor) + 11) & ~7)
    cell(pack("<2sHIIII", b"sk", 0, security, security, 0, len(descriptor)) + descriptor)
    root_stored, root_compressed, _ = _stored_name(root_key.name)
    root_cells = write_own_cells(root_key, root_stored)
    root_offset = root_cells[0]
    # the root: hive entry (0x04), cannot be deleted (0x08)
    write_key(root_key, root_stored, root_cells, 0, 0x0C | (0x20 if root_compressed else 0),
              security)
    pack_into("<I", buf, security + 16, key_count)  # every key refers to the one security cell
    if len(buf) < bin_end:
        buf.extend(pack("<i", bin_end - len(buf)))
        buf.extend(bytes(bin_end - len(buf)))

    base = bytearray(BLOCK_SIZE)
    pack_into("<4sIIQIIIIIII", base, 0, b"regf", 1, 1, timestamp, 1, 5, 0, 1, root_offset,
              len(buf), 1)
    checksum = 0
    for word in struct.unpack_from("<127I", base, 0):
        checksum ^= word
    if checksum == 0xFFFFFFFF:
        checksum = 0xFFFFFFFE
    elif checksum == 0:
        checksum = 1
    pack_into("<I", base, 508, checksum)
    with open(path, "wb") as out:
        out.write(base)
        out.write(buf)


# ---- .reg exports ----

REG_HEADER = "Windows Registry Editor Version 5.00"


def _quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _plain_string(data):
    """The text of REG_SZ data when a "..." string in a .reg file gives back exactly these bytes:
    UTF-16LE, one terminating NUL, no other NUL and no line break. Otherwise None."""
    if len(data) < 2 or len(data) % 2 or data[-2:] != b"\0\0":
        return None
    try:
        text = data[:-2].decode("utf-16-le")
    except UnicodeDecodeError:
        return None
    if "\0" in text or "\r" in text or "\n" in text:
        return None
    return text


def _format_value(name, value_type, data):
    line = ("@" if name == "" else _quoted(name)) + "="
    if value_type == REG_SZ:
        text = _plain_string(data)
        if text is not None:
            return line + _quoted(text)
    if value_type == REG_DWORD and len(data) == 4:
        return line + "dword:%08x" % struct.unpack("<I", data)[0]
    line += "hex:" if value_type == REG_BINARY else "hex(%x):" % value_type
    # Bytes as "xx," with lines wrapped before 80 columns, continued by "\" and two spaces.
    lines = []
    last = len(data) - 1
    for index, byte in enumerate(data):
        piece = "%02x" % byte + ("," if index < last else "")
        if len(line) + len(piece) > 78:
            lines.append(line + "\\")
            line = "  "
        line += piece
    lines.append(line)
    return "\r\n".join(lines)


def write_reg(path, side_prefix, root_key, encoding="utf-16le"):
    """Writes `root_key` and its subtree as a version-5 .reg export, the root as `side_prefix`
    (for example HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes), its subkeys below it. Keys come in the
    registry's order (sorted by upper-cased name), values in stored order; CRLF line ends; in
    UTF-16LE a byte order mark first, as the registry editor writes it."""
    with paused_cyclic_gc():
        _write_reg(path, side_prefix, root_key, encoding)


def _write_reg(path, side_prefix, root_key, encoding):
    lines = [REG_HEADER, ""]
    stack = [(side_prefix, root_key)]
    while stack:
        key_path, key = stack.pop()
        lines.append("[" + key_path + "]")
        for name, value_type, data in key.values:
            lines.append(_format_value(name, value_type, data))
        lines.append("")
        children = sorted(key.children, key=lambda child: name_sort_key(child.name))
        for child in reversed(children):
            stack.append((key_path + "\\" + child.name, child))
    text = "\r\n".join(lines) + "\r\n"
    if encoding.replace("-", "").lower() == "utf16le":
        data = b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass")
    else:
        data = text.encode(encoding)
    with open(path, "wb") as out:
        out.write(data)


def _read_quoted(line, start):
    """Reads a "..." string whose opening quote is at `start`; returns (text, index after it).
    A backslash takes the next character as it is."""
    chars = []
    index = start + 1
    while index < len(line):
        char = line[index]
        if char == "\\" and index + 1 < len(line):
            chars.append(line[index + 1])
            index += 2
        elif char == '"':
            return "".join(chars), index + 1
        else:
            chars.append(char)
            index += 1
    raise ValueError("unterminated string")


def _parse_data(text):
    """(type, data bytes) of the part of a value line after its '='."""
    if text.startswith('"'):
        value, end = _read_quoted(text, 0)
        if text[end:].strip():
            raise ValueError("text after the string")
        return REG_SZ, string_data(value)
    lowered = text.lower()
    if lowered.startswith("dword:"):
        return REG_DWORD, dword_data(int(text[6:].strip(), 16))
    if lowered.startswith("hex:"):
        value_type, digits = REG_BINARY, text[4:]
    elif lowered.startswith("hex("):
        close = text.index(")")
        if text[close + 1:close + 2] != ":":
            raise ValueError("hex(N) without ':'")
        value_type, digits = int(text[4:close], 16), text[close + 2:]
    else:
        raise ValueError("unknown value form %r" % text[:20])
    digits = "".join(digits.replace(",", " ").split())
    return value_type, bytes.fromhex(digits)


def read_reg(path):
    """Reads a .reg export (version 5 or REGEDIT4; UTF-16 with a byte order mark, or UTF-8).
    Returns a nameless Key whose children are the top-level keys as written (HKEY_...).
    Keys are matched without case; a value set twice keeps the later data. Raises ValueError,
    naming the line, for what it cannot read, deletions included."""
    with open(path, "rb") as source:
        raw = source.read()
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le", "surrogatepass")
    elif raw.startswith(b"\xfe\xff"):
        text = raw[2:].decode("utf-16-be", "surrogatepass")
    else:
        text = raw.decode("utf-8-sig")
    lines = [line.rstrip("\r") for line in text.split("\n")]
    top = Key("")
    lookup = {id(top): {}}  # per key: upper-cased subkey name -> subkey
    value_index = {}  # per key: upper-cased value name -> index in its values
    current = None
    number = 0
    header_seen = False
    while number < len(lines):
        line = lines[number].strip()
        number += 1
        where = "%s:%d" % (path, number)
        if not line or line.startswith(";"):
            continue
        if not header_seen:
            if line not in (REG_HEADER, "REGEDIT4"):
                raise ValueError("%s: not a .reg export" % where)
            header_seen = True
            continue
        try:
            if line.startswith("["):
                key_path = line[1:line.rindex("]")]
                if key_path.startswith("-"):
                    raise ValueError("key deletions are not supported")
                current = top
                for part in key_path.split("\\"):
                    if not part:
                        raise ValueError("empty key name in the path")
                    children = lookup[id(current)]
                    child = children.get(name_sort_key(part))
                    if child is None:
                        child = Key(part)
                        current.children.append(child)
                        children[name_sort_key(part)] = child
                        lookup[id(child)] = {}
                    current = child
                continue
            if current is None:
                raise ValueError("value before any key")
            while line.endswith("\\") and number < len(lines):  # hex data goes on
                line = line[:-1] + lines[number].strip()
                number += 1
            if line.startswith("@"):
                name, rest = "", line[1:]
            elif line.startswith('"'):
                name, end = _read_quoted(line, 0)
                rest = line[end:]
            else:
                raise ValueError("cannot read the line")
            rest = rest.strip()
            if not rest.startswith("="):
                raise ValueError("no '=' after the value name")
            rest = rest[1:].strip()
            if rest == "-":
                raise ValueError("value deletions are not supported")
            value_type, data = _parse_data(rest)
        except ValueError as error:
            raise ValueError("%s: %s" % (where, error)) from None
        indexes = value_index.setdefault(id(current), {})
        folded = name_sort_key(name)
        if folded in indexes:
            current.values[indexes[folded]] = (name, value_type, data)
        else:
            indexes[folded] = len(current.values)
            current.values.append((name, value_type, data))
    if not header_seen:
        raise ValueError("%s: empty file" % path)
    return top


def find_key(root, key_path):
    """The key at `key_path` (backslash-separated, without case) below `root`, or None."""
    key = root
    for part in key_path.split("\\") if key_path else []:
        folded = name_sort_key(part)
        key = next((child for child in key.children if name_sort_key(child.name) == folded), None)
        if key is None:
            return None
    return key


# ---- self-check against libhivex ----

def _expected_dump(key, key_path, out):
    """What hivexml shows of the tree: (path, values) per key in the registry's order."""
    shown = []
    for name, value_type, data in key.values:
        if value_type in (REG_SZ, REG_EXPAND_SZ):
            shown.append((name, "string" if value_type == REG_SZ else "expand",
                          string_of_data(data)))
        elif value_type == REG_DWORD:
            shown.append((name, "int32", str(struct.unpack("<i", data)[0])))
        elif value_type == REG_QWORD:
            shown.append((name, "int64", str(struct.unpack("<q", data)[0])))
        elif value_type == REG_MULTI_SZ:
            texts = data.decode("utf-16-le").split("\0")[:-1]  # hivexml shows the last "" too
            shown.append((name, "string-list", "|".join(texts)))
        else:
            shown.append((name, {REG_NONE: "none", REG_BINARY: "binary"}[value_type],
                          data.hex()))
    out.append((key_path, shown))
    for child in sorted(key.children, key=lambda child: name_sort_key(child.name)):
        _expected_dump(child, key_path + "\\" + child.name, out)


def _raw_dump(key, key_path, out):
    """(path, values exactly as held) per key, in the registry's order."""
    out.append((key_path, list(key.values)))
    for child in sorted(key.children, key=lambda child: name_sort_key(child.name)):
        _raw_dump(child, key_path + "\\" + child.name, out)


def _hivexml_dump(node, key_path, out):
    shown = []
    for value in node.findall("value"):
        name = "" if value.get("default") == "1" else value.get("key")
        kind = value.get("type")
        if kind == "string-list":
            text = "|".join(item.text or "" for item in value.findall("string"))
        elif value.get("encoding") == "base64":
            text = base64.b64decode(value.get("value", "")).hex()
        else:
            text = value.get("value")
        shown.append((name, kind, text))
    out.append((key_path, shown))
    for child in node.findall("node"):
        _hivexml_dump(child, key_path + "\\" + child.get("name"), out)


def _hash_faults(hive):
    """Reads the subkey lists of a hive file back and returns the entries whose stored hash is
    not h = h * 37 + upper(unit), worked out here the plain way, over the entry's key name."""
    faults = []

    def record(offset):  # where a cell's contents start in the file
        return BLOCK_SIZE + offset + 4

    def name_at(key):
        flags, length = struct.unpack_from("<H", hive, key + 2)[0], \
            struct.unpack_from("<H", hive, key + 72)[0]
        stored = hive[key + 76:key + 76 + length]
        return stored.decode("latin-1" if flags & 0x20 else "utf-16-le")

    keys = [record(struct.unpack_from("<I", hive, 36)[0])]
    while keys:
        key = keys.pop()
        count, subkey_list = struct.unpack_from("<I4xI", hive, key + 20)
        lists = [record(subkey_list)] if count else []
        while lists:
            at = lists.pop()
            signature, entries = struct.unpack_from("<2sH", hive, at)
            if signature == b"ri":
                lists += [record(offset)
                          for offset in struct.unpack_from("<%dI" % entries, hive, at + 4)]
                continue
            for index in range(entries):
                child_offset, stored_hash = struct.unpack_from("<II", hive, at + 4 + 8 * index)
                child = record(child_offset)
                plain = 0
                for unit in _units(name_at(child)):
                    plain = (plain * 37 + _upcase_unit(unit)) & 0xFFFFFFFF
                if plain != stored_hash:
                    faults.append(name_at(child))
                keys.append(child)
    return faults


def _self_check_tree():
    """A small tree that touches every form the writer has."""
    strings = Key("Strings", [
        ("", REG_SZ, string_data("")),                     # 2 bytes: inside the value cell
        ("One", REG_SZ, string_data("x")),                 # 4 bytes: inside the value cell
        ("Path", REG_EXPAND_SZ, string_data("%SystemRoot%\\x.dll")),
        ("Grüße", REG_SZ, string_data("Latin-1 value name")),
        ("値", REG_SZ, string_data("UTF-16 value name, 日本語 data")),
        ("List", REG_MULTI_SZ, multi_string_data(["a", "bc", "日本"])),
        ("Lines", REG_SZ, string_data("two\r\nlines \"quoted\" C:\\")),  # hex(1) in a .reg
        ("Unended", REG_SZ, b"n\0o\0"),  # no terminating NUL: hex(1) in a .reg
    ])
    numbers = Key("Numbers", [
        ("Dword", REG_DWORD, dword_data(0xFFFFFFFE)),
        ("Qword", REG_QWORD, struct.pack("<q", 131666165469970000)),
        ("Empty", REG_BINARY, b""),
        ("Three", REG_BINARY, b"\1\2\3"),
        ("Five", REG_BINARY, b"\1\2\3\4\5"),
        ("None", REG_NONE, b"\xAA\xBB"),
        ("CellFull", REG_BINARY, bytes(range(256)) * 63 + bytes(range(216))),  # exactly 16344
        ("Big", REG_BINARY, bytes((i * 7) & 0xFF for i in range(40001))),      # db, 3 segments
    ])
    names = Key("Names", [], [Key(name) for name in (
        "abc", "ABD", "Abe", "ab", "Café", "caff", "日本語キー", "Zeta", "_under", "Ünïcödé")])
    many = Key("CLSID", [], [
        Key("{%08X-0000-4000-8000-%012X}" % (index * 2654435761 & 0xFFFFFFFF, index),
            [("", REG_SZ, string_data("Class %d" % index))],
            [Key("InprocServer32", [("", REG_SZ, string_data("C:\\c%d.dll" % index))])]
            if index % 100 == 0 else [])
        for index in range(2345)])  # an ri over five lh lists
    return Key("ROOT", [], [strings, numbers, names, Key("Classes", [], [many])])


def self_check():
    """Writes the check tree as a hive and as a .reg export; compares what hivexml shows of the
    hive, and what read_reg gives back of the export, with the tree, and checks the hashes of
    the subkey lists (which libhivex does not look at). Returns an exit code."""
    if shutil.which("hivexml") is None:
        print("self-check: hivexml is missing (Debian package libhivex-bin)", file=sys.stderr)
        return 2
    tree = _self_check_tree()
    expected = []
    _expected_dump(tree, "", expected)
    failures = []
    with tempfile.TemporaryDirectory() as directory:
        hive_path = os.path.join(directory, "check.hive")
        write_hive(hive_path, tree)
        with open(hive_path, "rb") as hive:
            wrong_hashes = _hash_faults(hive.read())
        if wrong_hashes:
            failures.append("wrong hash in the subkey lists for %r" % wrong_hashes[:5])
        run = subprocess.run(["hivexml", hive_path], capture_output=True)
        if run.returncode != 0 or run.stderr:
            failures.append("hivexml: exit %d, %s" % (run.returncode,
                                                      run.stderr.decode(errors="replace")))
        else:
            root = ElementTree.fromstring(run.stdout).find("node")
            shown = []
            _hivexml_dump(root, "", shown)
            if root.get("name") != "ROOT":
                failures.append("hivexml: root is named %r" % root.get("name"))
            if shown != expected:
                failures.append("hivexml shows other keys or values than were written")
                for want, got in zip(expected, shown):
                    if want != got:
                        failures.append("  first difference at key %r: wrote %.200r, hivexml "
                                        "shows %.200r" % (want[0], want, got))
                        break
                if len(shown) != len(expected):
                    failures.append("  %d keys written, %d shown" % (len(expected), len(shown)))
        written = []
        _raw_dump(tree, "", written)
        for encoding in ("utf-16le", "utf-8"):
            reg_path = os.path.join(directory, "check.reg")
            write_reg(reg_path, "HKEY_LOCAL_MACHINE\\SOFTWARE", tree, encoding)
            read_back = find_key(read_reg(reg_path), "HKEY_LOCAL_MACHINE\\SOFTWARE")
            again = []
            if read_back is not None:
                _raw_dump(read_back, "", again)
            if again != written:
                failures.append(".reg export in %s does not read back the same" % encoding)
    for failure in failures:
        print("self-check: " + failure, file=sys.stderr)
    if failures:
        return 1
    print("self-check: hive (%d keys) and .reg export agree with what was written"
          % len(expected))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--self-check", action="store_true",
                        help="write a small hive and .reg export and check them with hivexml")
    parser.add_argument("--from-reg", metavar="IN.reg", help="a .reg export to read")
    parser.add_argument("--key", default="",
                        help="path of the key in the export that becomes the hive's root")
    parser.add_argument("--hive", metavar="OUT", help="hive file to write")
    args = parser.parse_args(argv)
    if args.self_check:
        return self_check()
    if not (args.from_reg and args.hive):
        parser.error("give --self-check, or --from-reg and --hive")
    try:
        root = find_key(read_reg(args.from_reg), args.key)
        if root is None:
            print("make_hive: no key %r in %s" % (args.key, args.from_reg), file=sys.stderr)
            return 1
        if not root.name:
            root.name = "ROOT"
        write_hive(args.hive, root)
    except (OSError, ValueError) as error:
        print("make_hive: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
