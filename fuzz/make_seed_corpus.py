#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/corpus/registry_walk and fuzz/corpus/letter_pair.

Each seed is a small input named after what it holds. The registry_walk inputs are encoded as
registry_walk_fuzzer.cpp decodes them (its opening comment describes the form); the Input class
below is the encoder. Run from anywhere: python3 fuzz/make_seed_corpus.py
"""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent

OPS = ["OpenKey", "EnumKey", "EnumValue", "CloseKey", "MessageBox", "HeapAlloc", "GlobalAlloc",
       "GlobalLock", "GlobalUnlock", "GlobalFree", "ClipboardOpen", "ClipboardEmpty",
       "ClipboardSetData", "ClipboardClose", "Any"]
STATUSES = ["ACCESS_DENIED", "MORE_DATA", "NO_MORE_ITEMS", "KEY_DELETED", "FILE_NOT_FOUND",
            "OUTOFMEMORY"]
TYPE_INDEX = {1: 0, 2: 3, 0: 4, 3: 5, 4: 6, 7: 7}  # value type -> index in VALUE_TYPES
SUBKEYS = {"InprocServer32": 0, "TypeLib": 2, "ProgID": 4, "InProcServer32": 5, "typeLib": 6}
DELETE = {"class": 0, "InprocServer32": 1, "TypeLib": 2, "CLSID": 3}

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4


class Fill:
    """A long blob made cheaply: `count` copies of one byte, then a short tail."""

    def __init__(self, count, byte, tail=b""):
        self.count, self.byte, self.tail = count, byte, tail

    def encode(self):
        return bytes([0xF0, self.count & 0xFF, self.count >> 8, self.byte, len(self.tail)]) + self.tail


def blob(data):
    if isinstance(data, Fill):
        return data.encode()
    if isinstance(data, str):
        data = data.encode("latin-1")
    if len(data) < 0xC0:
        return bytes([len(data)]) + data
    assert len(data) < 0x3000
    return bytes([0xC0 + (len(data) >> 8), len(data) & 0xFF]) + data


class Input:
    def __init__(self, yes=False, no_clsid=False):
        self.yes, self.no_clsid = yes, no_clsid
        self.faults, self.deletions, self.records = [], [], b""

    def fail(self, op, nth, from_then_on=False, status="ACCESS_DENIED"):
        mode = int(from_then_on) | STATUSES.index(status) << 1
        self.faults.append(bytes([OPS.index(op), nth - 1, mode]))
        return self

    def delete(self, call, class_index, what):
        self.deletions.append(bytes([call - 1, class_index, DELETE[what]]))
        return self

    def cls(self, name=b""):
        self.records += b"\x00" + blob(name)
        return self

    def sub(self, name):
        if name in SUBKEYS:
            self.records += b"\x01" + bytes([SUBKEYS[name]])
        else:
            self.records += b"\x01\x07" + blob(name)
        return self

    def value(self, data, name=None, type=REG_SZ, terminated=True):
        self.records += b"\x02" + (b"\x00" if name is None else b"\xa0" + blob(name))
        self.records += bytes([TYPE_INDEX[type] | (0 if terminated else 8)]) + blob(data)
        return self

    def back(self):
        self.records += b"\x03"
        return self

    def encode(self):
        assert len(self.faults) < 4 and len(self.deletions) < 4
        flags = int(self.yes) | (6 if self.no_clsid else 0)
        flags |= len(self.faults) << 3 | len(self.deletions) << 5
        return bytes([flags]) + b"".join(self.faults) + b"".join(self.deletions) + self.records


TYPE_LIB = "{00020430-0000-0000-C000-000000000046}"


def bare(i, key="", description="Widget Class", server="C:\\Windows\\widget.dll",
         type_lib=TYPE_LIB):
    """A class registered in the bare form: a description, InprocServer32 and TypeLib."""
    return (i.cls(key).value(description).sub("InprocServer32").value(server)
            .sub("TypeLib").value(type_lib).back())


def named(i, description, key=""):
    return i.cls(key).value(description)


def registry_walk_seeds():
    s = {}
    s["bare-match-yes"] = bare(Input(yes=True))
    s["bare-match-no"] = bare(Input())
    s["bare-two-matches-around-a-miss"] = bare(
        bare(bare(Input(yes=True)).sub("ProgID").value("Widget.1")))
    s["bare-extra-progid"] = bare(Input(yes=True)).sub("ProgID").value("Widget.1")
    s["bare-threading-model"] = bare(Input(yes=True)).sub("InprocServer32").value(
        "Both", name="ThreadingModel")
    s["bare-server-expand-sz"] = (Input(yes=True).cls().value("Widget").sub("InprocServer32")
                                  .value("%SystemRoot%\\w.dll", type=REG_EXPAND_SZ)
                                  .sub("TypeLib").value(TYPE_LIB))
    s["bare-typelib-37"] = bare(Input(yes=True), type_lib=TYPE_LIB[:36] + "}")
    s["bare-typelib-39"] = bare(Input(yes=True), type_lib=TYPE_LIB + "x")
    s["bare-typelib-no-braces"] = bare(Input(yes=True), type_lib="(" + TYPE_LIB[1:-1] + ")")
    s["bare-typelib-hex-free-middle"] = bare(Input(yes=True), type_lib="{" + "z" * 36 + "}")
    s["bare-typelib-unterminated-39"] = (Input(yes=True).cls().value("Widget")
                                        .sub("InprocServer32").value("w.dll").sub("TypeLib")
                                        .value(TYPE_LIB + "!", terminated=False))
    s["bare-typelib-nul-inside"] = bare(Input(yes=True), type_lib="{" + "\0" * 36 + "}")
    s["bare-inproc-other-case"] = (Input(yes=True).cls().value("Widget").sub("InProcServer32")
                                   .value("w.dll").sub("TypeLib").value(TYPE_LIB))
    s["bare-typelib-other-case"] = (Input(yes=True).cls().value("Widget").sub("InprocServer32")
                                    .value("w.dll").sub("typeLib").value(TYPE_LIB))
    s["bare-named-class-value"] = bare(Input(yes=True)).value("x", name="AppID")
    s["bare-only-inproc"] = Input(yes=True).cls().value("W").sub("InprocServer32").value("w.dll")
    s["bare-only-typelib"] = Input(yes=True).cls().value("W").sub("TypeLib").value(TYPE_LIB)
    s["bare-then-no-subkeys"] = bare(Input(yes=True)).cls().value("Empty")
    s["bare-second-value-long-name"] = bare(Input(yes=True)).value("v", name=Fill(16383, ord("n")))
    s["bare-description-1023"] = bare(Input(yes=True), description=Fill(1023, ord("d")))
    s["bare-server-1024-unterminated"] = (Input(yes=True).cls().value("W").sub("InprocServer32")
                                          .value(Fill(1024, ord("s")), terminated=False)
                                          .sub("TypeLib").value(TYPE_LIB))
    s["name-qj"] = named(Input(yes=True), "Qj")
    s["name-qj-no"] = named(Input(), "Qj")
    s["name-qu"] = named(Input(yes=True), "Qu")
    s["name-xx-qxq"] = named(named(Input(yes=True), "Xx"), "Qxq")
    s["name-not-words"] = named(named(named(named(Input(yes=True), "QJ"), "qj"), "Qj1"), "Qj x")
    s["name-single-capital"] = named(Input(yes=True), "X")
    s["name-qj-unterminated"] = Input(yes=True).cls().value("Qj", terminated=False)
    s["name-qj-expand-sz"] = Input(yes=True).cls().value("Qj", type=REG_EXPAND_SZ)
    s["name-named-first"] = Input(yes=True).cls().value("Qj", name="Name").value("Qj")
    s["name-with-values-and-subkeys"] = (named(Input(yes=True), "Xzqj").value("1", name="X")
                                        .sub("ProgID").value("P"))
    s["name-underflow-infinite-score"] = named(Input(yes=True), "O" + "q" * 200)
    s["name-1023-letters-listed"] = named(Input(yes=True), "Q" + "j" * 1022)
    s["name-1024-letters-rejected"] = named(Input(yes=True), "Q" + "j" * 1023)
    s["data-4000-bytes"] = named(Input(yes=True), Fill(4000, ord("j"), b"Q"))
    s["data-binary-and-dword"] = (Input(yes=True).cls().value(b"\x01\x00\xff", type=REG_BINARY)
                                  .cls().value(b"\x2a\0\0\0", type=REG_DWORD, terminated=False))
    s["key-name-255"] = named(Input(yes=True), "Qj", key=Fill(255, ord("K")))
    s["key-name-odd"] = named(Input(yes=True), "Qj", key="a\tb\nc {}")
    s["cp932-description-and-key"] = named(named(Input(yes=True), b"\x83\x4e\x83\x8a\x83\x62",
                                                 key=b"\x83\x4e"), "Qj")
    s["cp932-bare"] = bare(Input(yes=True), key=b"{\x95\x5c}", description=b"\x95\x5c\x8e\xa6",
                           server=b"C:\\\x83\x5c\\w.dll")
    s["no-clsid"] = bare(Input(yes=True, no_clsid=True))
    s["empty-clsid"] = Input(yes=True)
    s["fault-out-of-memory-at-start"] = named(Input(yes=True), "Qj").fail("HeapAlloc", 1)
    s["fault-heap-after-first-entry"] = named(named(Input(yes=True), "Qj"), "Zq").fail(
        "HeapAlloc", 3, from_then_on=True)
    s["fault-global-alloc"] = named(Input(yes=True), "Qj").fail("GlobalAlloc", 1)
    s["fault-global-lock"] = named(Input(yes=True), "Qj").fail("GlobalLock", 1)
    s["fault-global-free"] = named(Input(), "Qj").fail("GlobalFree", 1)
    s["fault-clipboard-open"] = named(Input(yes=True), "Qj").fail("ClipboardOpen", 1)
    s["fault-clipboard-set-data"] = named(Input(yes=True), "Qj").fail("ClipboardSetData", 1)
    s["fault-message-box"] = named(Input(yes=True), "Qj").fail("MessageBox", 1)
    s["fault-clsid-open"] = named(Input(yes=True), "Qj").fail("OpenKey", 1)
    s["fault-enum-key-mid-walk"] = bare(bare(Input(yes=True))).fail("EnumKey", 2)
    s["fault-class-inventory-ends"] = (bare(Input(yes=True)).sub("ZZZ").value("z")
                                       .fail("EnumKey", 4, status="KEY_DELETED"))
    s["fault-second-value-more-data"] = bare(Input(yes=True)).fail(
        "EnumValue", 2, status="MORE_DATA")
    s["fault-second-value-waived"] = (bare(Input(yes=True)).value("x", name="AppID")
                                      .fail("EnumValue", 2, status="NO_MORE_ITEMS"))
    s["fault-any-from-then-on"] = bare(named(Input(yes=True), "Qj")).fail(
        "Any", 9, from_then_on=True)
    s["fault-close-key"] = bare(Input(yes=True)).fail("CloseKey", 1, from_then_on=True)
    s["delete-class-during-walk"] = bare(bare(bare(Input(yes=True)))).delete(6, 1, "class")
    s["delete-typelib-during-test"] = bare(Input(yes=True)).delete(8, 0, "TypeLib")
    s["delete-clsid-during-walk"] = bare(bare(Input(yes=True))).delete(4, 0, "CLSID")
    return {name: i.encode() for name, i in s.items()}


def letter_pair_seeds():
    s = {
        "empty": b"",
        "single-a": b"A",
        "one-letter-and-digit": b"a1",
        "qu-cases": b"QU",
        "qu-hyphen": b"q-u",
        "qj-listed": b"Qj",
        "qq": b"Qq",
        "xq": b"Xq",
        "xz": b"Xz",
        "xx": b"Xx",
        "qxq": b"Qxq",
        "qj-not-word": b"QJ",
        "qj-digit": b"Qj1",
        "qj-space-x": b"Qj x",
        "tab-inside": b"Qjqjqj\tqjqj",
        "byte-0x80": b"Qjqj\x80",
        "del-0x7f": b"Qj\x7f",
        "cp932": b"\x83\x4e\x83\x8a\x83\x62\x83\x76",
        "21-letters": b"Abcdefghijklmnopqrstu",
        "40-letters": b"Abcdefghijklmnopqrstuabcdefghijklmnopqrs",
        "underflow-to-infinity": b"O" + b"q" * 120,
        "dictionary-word": b"Information",
        "punctuation-only": b" !\"#$%&'()*+,-./0123456789:;<=>?@[\\]^_`{|}~",
        "nul-ends-text": b"Qj\x00\x80\x01",
    }
    return s


def write(directory, seeds):
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.iterdir():
        old.unlink()
    for name, data in sorted(seeds.items()):
        (directory / name).write_bytes(data)


if __name__ == "__main__":
    write(HERE / "corpus" / "registry_walk", registry_walk_seeds())
    write(HERE / "corpus" / "letter_pair", letter_pair_seeds())
