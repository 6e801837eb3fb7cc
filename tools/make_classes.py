#!/usr/bin/env python3
"""Makes sets of class registrations (HKEY_CLASSES_ROOT\\CLSID) as hives and .reg exports.

A generated set has N classes; P percent of them match one of the two rules of the scan and the
rest are near misses. Half the matching classes (the odd one included) are bare: only the
subkeys InprocServer32 and TypeLib, the class key and both subkeys holding nothing but their
unnamed default string, the TypeLib value a braced 38-character identifier; their descriptions
are two ordinary words. The other half have a made-up one-word description such as "Zqpwtn"
(letter-pair score above 2000, twice the rule's threshold) on an ordinary registration. The near
misses come in five kinds, one fifth each:
  progid       bare but for an extra ProgID subkey;
  threading    bare but for a ThreadingModel value beside the server path;
  typelib      bare but for a TypeLib value without braces (36 characters, or 38 in parentheses);
  description  a description that is not one made-up capitalised word ("Widget Class", a real
               word such as "Thumbnail", a made-up word not capitalised) on an ordinary class;
  localserver  bare but for LocalServer32 in place of InprocServer32.
One class in ten goes under Wow6432Node\\CLSID (the 32-bit view), the rest under CLSID; more go
there when CLSID would otherwise hold over 70,000 classes, the most subkeys libhivex reads
under one key (a set with over 140,000 classes is written, with a warning, but libhivex refuses it).
The same seed always gives the same classes and byte-identical files.

Every class is judged again by the two rules written out here in Python (as the scan applies
them, with code page 932 byte counts), and the counts printed are theirs, so a benchmark can
compare the scan's findings with them. The made-up words are scored with the letter-pair table
of namescan/letter_pair_table.cpp.

Outputs (any of them):
  --hive OUT       a SOFTWARE-like hive: root with Classes and Microsoft, classes under
                   Classes\\CLSID and Classes\\Wow6432Node\\CLSID;
  --user-hive OUT  a UsrClass.dat-like hive: CLSID and WOW6432Node\\CLSID at the root;
  --reg OUT        a .reg export (UTF-16LE) of HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes.

Instead of generating, --from-reg IN.reg takes the classes of an export (its
HKEY_CLASSES_ROOT, or HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes, subtree); --user-reg IN.reg adds the
per-user classes of another export (HKEY_CURRENT_USER\\Software\\Classes) and prints the counts
of the merged view as well.

Usage:
  make_classes.py --classes 100000 --match-percent 5 --hive OUT.hive [--user-hive OUT] [--reg OUT]
  make_classes.py --from-reg IN.reg [--user-reg USER.reg] [--hive OUT.hive]
"""

import argparse
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from make_hive import (REG_SZ, Key, find_key, name_sort_key,  # noqa: E402 (after the path)
                       paused_cyclic_gc, read_reg, string_data, write_hive, write_reg)

TABLE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "namescan",
                            "letter_pair_table.cpp")
SCORE_THRESHOLD = 1000.0
SCORE_CAP = 20
MADE_UP_MIN_SCORE = 2 * SCORE_THRESHOLD  # generated made-up words clear the threshold widely
CODE_PAGE = "cp932"
DATA_BUFFER_BYTES = 1024

MACHINE_CLASSES = ("HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes")
USER_CLASSES = ("HKEY_CURRENT_USER\\Software\\Classes",)
REG_PREFIX = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"
USER_HIVE_ROOT = "S-1-5-21-1004336348-1177238915-682003330-1001_Classes"
VIEWS = ("CLSID", "Wow6432Node\\CLSID")
NEAR_MISS_KINDS = ("progid", "threading", "typelib", "description", "localserver")
WOW64_SHARE = 0.1
LIBHIVEX_MAX_SUBKEYS = 70000  # libhivex refuses a key with more subkeys (ERANGE)

# ---- the two rules ----


def read_letter_pair_table(path=TABLE_SOURCE):
    """The 26 x 26 table (row = letter, column = next letter) from the C++ source."""
    with open(path, encoding="utf-8") as source:
        text = source.read()
    body = text[text.index("{", text.index("LetterPairTable")):text.index("};")]
    body = re.sub(r"//[^\n]*", "", body)
    numbers = [float(token) for token in re.findall(r"[0-9][0-9.eE+-]*", body)]
    if len(numbers) != 26 * 26:
        raise ValueError("%s: %d table entries, expected 676" % (path, len(numbers)))
    return numbers


def letter_pair_score(text, table):
    """The score of 8-bit text: the pair count (at most 20) over the geometric mean of the pair
    probabilities; 1.0 for control bytes, bytes of 0x80 and above, or fewer than two letters."""
    letters = []
    for byte in text:
        if byte < 0x20 or byte >= 0x7F:
            return 1.0
        if 97 <= byte <= 122:
            letters.append(byte - 97)
        elif 65 <= byte <= 90:
            letters.append(byte - 65)
    if len(letters) < 2:
        return 1.0
    product = 1.0
    for first, second in zip(letters, letters[1:]):
        product *= table[first * 26 + second]
    pairs = len(letters) - 1
    mean = product ** (1.0 / pairs)
    return float("inf") if mean == 0.0 else (1.0 / mean) * min(pairs, SCORE_CAP)


def is_capitalized_word(text):
    return bool(re.fullmatch(rb"[A-Z][a-z]*", text))


def _default_string(key):
    """The key's value at index 0 as the scan reads it: (ANSI text, reported byte count) when it
    is the unnamed REG_SZ default of at most 1024 bytes, else None."""
    if not key.values:
        return None
    name, value_type, data = key.values[0]
    if name != "" or value_type != REG_SZ:
        return None
    stored = data[: len(data) & ~1].decode("utf-16-le", "surrogatepass")
    ansi = stored.encode("ascii") if stored.isascii() else stored.encode(CODE_PAGE, "replace")
    if len(ansi) > DATA_BUFFER_BYTES:
        return None
    end = ansi.find(b"\0")
    return (ansi if end < 0 else ansi[:end]), len(ansi)


def is_bare(class_key):
    """The bare rule: subkeys InprocServer32 and TypeLib only (exact case), the class key and
    both holding only their default string, the TypeLib value 38 characters "{...}"."""
    subkeys = {child.name: child for child in class_key.children}
    if "TypeLib" not in subkeys or "InprocServer32" not in subkeys or len(subkeys) != 2:
        return False
    for key in (class_key, subkeys["InprocServer32"], subkeys["TypeLib"]):
        if _default_string(key) is None or len(key.values) > 1:
            return False
    text, byte_count = _default_string(subkeys["TypeLib"])
    return byte_count == 39 and text[:1] == b"{" and text[37:38] == b"}"


def is_made_up_name(class_key, table):
    """The name rule: the description is one capitalised word scoring above 1000."""
    description = _default_string(class_key)
    return (description is not None and is_capitalized_word(description[0])
            and letter_pair_score(description[0], table) > SCORE_THRESHOLD)


# ---- generated classes ----

PREFIXES = ("Media", "Print", "Shell", "Search", "Sync", "Image", "Audio", "Network", "Storage",
            "Font", "Display", "Mail", "Calendar", "Contact", "Speech", "Update", "Backup",
            "Device", "Power", "Widget", "Clipboard", "Thumbnail", "Preview", "Theme")
SUFFIXES = ("Helper", "Handler", "Provider", "Extension", "Monitor", "Service", "Filter",
            "Manager", "Viewer", "Control", "Broker", "Factory", "Object", "Class")
REAL_WORDS = ("Thumbnail", "Scheduler", "Explorer", "Renderer", "Tracker", "Launcher", "Indexer",
              "Notifier", "Installer", "Previewer", "Compositor", "Navigator")
FOLDERS = ("C:\\Windows\\System32", "C:\\Windows\\SysWOW64", "C:\\Program Files\\Common Files",
           "C:\\ProgramData", "C:\\Users\\Public\\Libraries", "C:\\Program Files\\Sample Tools")
THREADING_MODELS = ("Apartment", "Both", "Free", "Neutral")
# Consonants, the rare ones several times, and few vowels: words full of improbable pairs.
MADE_UP_LETTERS = "bcdfghjklmnpqrstvwxzbcdfgjkmpqvwxzjqxzvkwa"


def _pick(rng, choices):
    return choices[int(rng.random() * len(choices))]


def _guid(rng):
    bits = rng.getrandbits(128)
    bits = (bits & ~(0xF << 76)) | (0x4 << 76)  # version 4
    bits = (bits & ~(0x3 << 62)) | (0x2 << 62)  # variant 10
    text = "%032X" % bits
    return "{%s-%s-%s-%s-%s}" % (text[:8], text[8:12], text[12:16], text[16:20], text[20:])


def _made_up_word(rng, table):
    while True:
        letters = "".join(_pick(rng, MADE_UP_LETTERS) for _ in range(5 + int(rng.random() * 5)))
        word = letters.capitalize()
        if letter_pair_score(word.encode("ascii"), table) > MADE_UP_MIN_SCORE:
            return word


def _server_path(rng, description, extension):
    stem = description.replace(" ", "").lower()[:12]
    return "%s\\%s%d%s" % (_pick(rng, FOLDERS), stem, 1 + int(rng.random() * 99), extension)


_shared_values = {}  # (name, text) -> value, for the texts that recur (descriptions, models)


def _shared_value(name, text):
    value = _shared_values.get((name, text))
    if value is None:
        value = _shared_values[(name, text)] = (name, REG_SZ, string_data(text))
    return value


def _make_class(kind, rng, name_rng, table):
    """One class key of the given kind."""
    guid = _guid(rng)
    typelib = _guid(rng)
    if kind == "name":
        description = _made_up_word(name_rng, table)
    elif kind == "description" and rng.random() < 2.0 / 3.0:
        if rng.random() < 0.5:
            description = _pick(rng, REAL_WORDS)
        else:
            description = _made_up_word(name_rng, table).lower()
    else:
        description = _pick(rng, PREFIXES) + " " + _pick(rng, SUFFIXES)
    if kind == "typelib":
        typelib = typelib[1:-1] if rng.random() < 0.5 else "(" + typelib[1:-1] + ")"
    ordinary = kind in ("name", "description")  # registered the ordinary way: never bare
    if kind == "localserver":
        server = Key("LocalServer32",
                     [("", REG_SZ, string_data(_server_path(rng, description, ".exe")))])
    else:
        values = [("", REG_SZ, string_data(_server_path(rng, description, ".dll")))]
        if ordinary or kind == "threading":
            values.append(_shared_value("ThreadingModel", _pick(rng, THREADING_MODELS)))
        server = Key("InprocServer32", values)
    children = [server]
    if ordinary or kind == "progid":
        children.append(Key("ProgID", [_shared_value("", description.replace(" ", "")
                                                      + ".Object.1")]))
    if not ordinary:
        children.append(Key("TypeLib", [("", REG_SZ, string_data(typelib))]))
    return Key(guid, [_shared_value("", description)], children)


def generate_classes(count, match_percent, seed, table):
    """(classes of the 64-bit view, classes of the 32-bit view, kind of each class by name).

    One class in ten goes to the 32-bit view, more when the 64-bit view would otherwise hold
    over LIBHIVEX_MAX_SUBKEYS classes."""
    with paused_cyclic_gc():
        return _generate_classes(count, match_percent, seed, table)


def _generate_classes(count, match_percent, seed, table):
    rng = random.Random(seed)
    name_rng = random.Random(seed * 7919 + 1)  # own stream: the table cannot shift other values
    matching = round(count * match_percent / 100.0)
    kinds = (["bare"] * ((matching + 1) // 2) + ["name"] * (matching // 2)
             + [NEAR_MISS_KINDS[index % len(NEAR_MISS_KINDS)] for index in range(count - matching)])
    rng.shuffle(kinds)
    wow64_count = max(round(count * WOW64_SHARE), count - LIBHIVEX_MAX_SUBKEYS)
    wow64 = set(rng.sample(range(count), min(count, wow64_count)))
    views = ([], [])
    kind_of = {}
    for index, kind in enumerate(kinds):
        class_key = _make_class(kind, rng, name_rng, table)
        while class_key.name in kind_of:  # a repeated identifier (upper case): draw again
            class_key.name = _guid(rng)
        kind_of[class_key.name] = kind
        views[1 if index in wow64 else 0].append(class_key)
    return views[0], views[1], kind_of




# ---- trees to write ----


def software_root(classes_root):
    """A SOFTWARE-like hive root: the given Classes key and a small Microsoft key."""
    current_version = Key("CurrentVersion", [
        _shared_value("ProgramFilesDir", "C:\\Program Files"),
        _shared_value("CommonFilesDir", "C:\\Program Files\\Common Files")])
    microsoft = Key("Microsoft", [], [Key("Windows", [], [current_version])])
    return Key("ROOT", [], [classes_root, microsoft])


def classes_root_of(classes64, classes32, wow_name="Wow6432Node", name="Classes"):
    children = [Key("CLSID", [], classes64)]
    if classes32:
        children.append(Key(wow_name, [], [Key("CLSID", [], classes32)]))
    return Key(name, [], children)


def merge_sides(machine, user):
    """The merged view of two classes trees: subkeys and values are the case-insensitive union,
    a value in both comes from the user, values enumerate sorted by name. A key in both keeps
    the machine's spelling."""
    if machine is None or user is None:
        return machine if user is None else user
    values = {name_sort_key(value[0]): value for value in machine.values}
    values.update({name_sort_key(value[0]): value for value in user.values})
    children = {name_sort_key(child.name): child for child in machine.children}
    for child in user.children:
        folded = name_sort_key(child.name)
        children[folded] = merge_sides(children.get(folded), child)
    return Key(machine.name, [values[name] for name in sorted(values)],
               list(children.values()))


def _view(classes_root, view):
    key = find_key(classes_root, view) if classes_root is not None else None
    return key.children if key is not None else []


def count_findings(classes_root, table, kind_of=None):
    """Judges every class by both rules. Returns per view (classes, bare findings, made-up name
    findings), and, given the kinds of generated classes, the classes whose outcome is not the
    one their kind is meant to have (a fault of this generator)."""
    counts = {}
    wrong = []
    for view in VIEWS:
        classes = _view(classes_root, view)
        bare = name = 0
        for class_key in classes:
            bare_found = is_bare(class_key)
            name_found = is_made_up_name(class_key, table)
            bare += bare_found
            name += name_found
            if kind_of is not None:
                kind = kind_of[class_key.name]
                if bare_found != (kind == "bare") or name_found != (kind == "name"):
                    wrong.append("%s (%s)" % (class_key.name, kind))
        counts[view] = (len(classes), bare, name)
    return counts, wrong


def print_counts(title, counts, out=sys.stdout):
    print("%s:" % title, file=out)
    print("  %-20s %8s %6s %6s" % ("view", "classes", "bare", "name"), file=out)
    totals = [0, 0, 0]
    for view in VIEWS:
        print("  %-20s %8d %6d %6d" % ((view,) + counts[view]), file=out)
        totals = [total + number for total, number in zip(totals, counts[view])]
    print("  %-20s %8d %6d %6d" % ("all", *totals), file=out)


def _first_key(top, paths):
    for key_path in paths:
        key = find_key(top, key_path)
        if key is not None:
            return key
    return None


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--classes", type=int, help="how many classes to generate")
    parser.add_argument("--match-percent", type=float, default=5.0,
                        help="share of classes that match a rule (default 5)")
    parser.add_argument("--seed", type=int, default=1, help="generator seed (default 1)")
    parser.add_argument("--from-reg", metavar="IN.reg", help="take the classes of this export")
    parser.add_argument("--user-reg", metavar="IN.reg",
                        help="per-user classes to merge with --from-reg's, for the counts")
    parser.add_argument("--hive", metavar="OUT", help="write a SOFTWARE-like hive")
    parser.add_argument("--user-hive", metavar="OUT", help="write a UsrClass.dat-like hive")
    parser.add_argument("--reg", metavar="OUT", help="write a .reg export (UTF-16LE)")
    args = parser.parse_args(argv)
    if (args.classes is None) == (args.from_reg is None):
        parser.error("give either --classes or --from-reg")
    if args.user_reg and not args.from_reg:
        parser.error("--user-reg goes with --from-reg")
    if args.classes is not None and (args.classes < 0 or not 0 <= args.match_percent <= 100):
        parser.error("--classes must be 0 or more and --match-percent 0 to 100")
    try:
        table = read_letter_pair_table()
        if args.from_reg:
            found = _first_key(read_reg(args.from_reg), MACHINE_CLASSES)
            if found is None:
                print("make_classes: %s holds no machine classes (%s)"
                      % (args.from_reg, " or ".join(MACHINE_CLASSES)), file=sys.stderr)
                return 1
            classes_root = Key("Classes", found.values, found.children)
            classes64, classes32 = _view(classes_root, VIEWS[0]), _view(classes_root, VIEWS[1])
            user_root = None
            if args.user_reg:
                user_root = _first_key(read_reg(args.user_reg), USER_CLASSES)
                if user_root is None:
                    print("make_classes: %s holds no %s" % (args.user_reg, USER_CLASSES[0]),
                          file=sys.stderr)
                    return 1
            kind_of = None
        else:
            classes64, classes32, kind_of = generate_classes(args.classes, args.match_percent,
                                                             args.seed, table)
            classes_root = classes_root_of(classes64, classes32)
        counts, wrong = count_findings(classes_root, table, kind_of)
        if wrong:
            print("make_classes: classes not judged as meant: " + ", ".join(wrong[:10]),
                  file=sys.stderr)
            return 1
        for view in VIEWS:
            if len(_view(classes_root, view)) > LIBHIVEX_MAX_SUBKEYS:
                print("make_classes: warning: %s holds %d classes; libhivex reads no key with "
                      "more than %d subkeys" % (view, len(_view(classes_root, view)),
                                                LIBHIVEX_MAX_SUBKEYS), file=sys.stderr)
        if args.hive:
            write_hive(args.hive, software_root(classes_root))
        if args.user_hive:
            write_hive(args.user_hive,
                       classes_root_of(classes64, classes32, "WOW6432Node", USER_HIVE_ROOT))
        if args.reg:
            write_reg(args.reg, REG_PREFIX, classes_root)
    except (OSError, ValueError) as error:
        print("make_classes: %s" % error, file=sys.stderr)
        return 1
    print_counts("machine classes" if args.from_reg else "classes", counts)
    if kind_of is not None:
        print("near misses: " + ", ".join(
            "%s %d" % (kind, sum(1 for each in kind_of.values() if each == kind))
            for kind in NEAR_MISS_KINDS))
    if args.from_reg and args.user_reg:
        print_counts("user classes", count_findings(user_root, table)[0])
        print_counts("merged view",
                     count_findings(merge_sides(classes_root, user_root), table)[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
