#!/usr/bin/env python3
"""Generates namescan/letter_pair_table.cpp, the letter-pair probability table of clsid-name-scan.

Source of the counts: the English word list of the Debian package `wamerican`, installed as
/usr/share/dict/american-english (another list with one word a line can be given instead).

How the words are shaped and counted:
  - each line is one word; its line end is stripped;
  - lines holding anything but the ASCII letters A-Z and a-z are dropped (possessives such as
    "Aaron's", names written with accented letters);
  - lines with two or more capitals are dropped (acronyms and abbreviations such as "AAA");
  - the remaining words are lowered, and each distinct lowered word is counted once;
  - a pair is two adjacent letters within one word; nothing is counted across words.

How a row is made from its 26 counts (rows q and x are not made: they are fixed values):
  1. The entries that the rule fixes are set first: the strongest successor of each letter with
     its value, the x column of rows e, i, k, u and y, and o->q, the smallest entry of the table.
  2. Every other entry starts at FLOOR, so no pair is impossible and o->q stays the smallest.
  3. The mass left over is shared among those entries in proportion to count ** POWER. The power
     above 1 sharpens the counts: common pairs gain, pairs seen in only a few words lose, so a
     word of uniformly random letters meets far more improbable pairs than a real one does.
  4. An entry that would reach CAP_SHARE of the row's fixed strongest value is held there and the
     rest is shared again among the others, so the fixed strongest successor stays the strongest.
  5. The largest free entry absorbs the last rounding error, so the row sums to 1 in doubles.

Usage: make_letter_pair_table.py [WORD_LIST [OUTPUT]]
The output is deterministic: the same word list always gives the same file.
"""

import math
import os
import sys

DEFAULT_WORD_LIST = "/usr/share/dict/american-english"
DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "namescan",
                              "letter_pair_table.cpp")

LETTERS = "abcdefghijklmnopqrstuvwxyz"

# Shaping of the free entries (see the module comment). Chosen with tools/measure_name_rule.cpp:
# with these, the rule lists about 81% of random 6-12 letter words and under 0.1% of the words
# of another English word list.
FLOOR = 5.0e-5
POWER = 1.55
CAP_SHARE = 0.9

# The strongest successor of each letter, with its value as written in the table.
STRONGEST = {
    "a": ("t", "0.1814"), "b": ("e", "0.3219"), "c": ("o", "0.2062"), "d": ("e", "0.3171"),
    "e": ("r", "0.1716"), "f": ("o", "0.2966"), "g": ("e", "0.3613"), "h": ("e", "0.5660"),
    "i": ("n", "0.2201"), "j": ("e", "0.4829"), "k": ("e", "0.4372"), "l": ("e", "0.2099"),
    "m": ("e", "0.2863"), "n": ("t", "0.1928"), "o": ("n", "0.2334"), "p": ("r", "0.1851"),
    "q": ("u", "0.9406"), "r": ("e", "0.2621"), "s": ("e", "0.2018"), "t": ("h", "0.2691"),
    "u": ("s", "0.1482"), "v": ("e", "0.5222"), "w": ("i", "0.2612"), "x": ("e", "0.2077"),
    "y": ("p", "0.2362"), "z": ("e", "0.5390"),
}

# Rows where x is a frequent successor, with the value of that entry.
X_COLUMN = {"e": "0.1260", "i": "0.1021", "k": "0.1187", "u": "0.1263", "y": "0.1671"}

# The smallest entry of the whole table.
SMALLEST = ("o", "q", "1.643e-5")

# Rows q and x are fixed, a to z, to ten significant digits.
FIXED_ROWS = {
    "q": ["0.0015870017", "0.001379180049", "0.00257572895", "0.002361609673", "0.001461049184",
          "0.0009635367466", "0.0007746079728", "0.0006360602053", "0.001120977392",
          "0.0002519050318", "0.000491214812", "0.002027835506", "0.001410668178",
          "0.002966181749", "0.0216071541", "0.002273442912", "0.0008375842307",
          "0.003772277851", "0.003123622394", "0.003016562756", "0.9406007935",
          "0.001341394294", "0.0003904527993", "0.002172680899", "0.0005478934442",
          "0.000308583664"],
    "x": ["0.03870250956", "0.0006717513775", "0.02759586563", "0.001719848953", "0.2076840204",
          "0.0057036832", "0.001414695403", "0.02723428969", "0.09837967305", "0.0001326369255",
          "0.003982061816", "0.005922578438", "0.01482638595", "0.003171174599", "0.04272917755",
          "0.04271529351", "0.000168085547", "0.001595778778", "0.1153967838", "0.1773317291",
          "0.04905025758", "0.0007391037584", "0.004432554714", "0.1149873522", "0.01362645011",
          "0.00008625831233"],
}


def read_words(path):
    """Returns the sorted distinct lowered words of the list, shaped as the module comment says."""
    words = set()
    with open(path, "rb") as stream:
        for raw in stream:
            word = raw.rstrip(b"\r\n")
            if not word or not all(65 <= b <= 90 or 97 <= b <= 122 for b in word):
                continue
            if sum(1 for b in word if 65 <= b <= 90) >= 2:
                continue
            words.add(word.decode("ascii").lower())
    return sorted(words)


def count_pairs(words):
    """Returns counts[row][column] of adjacent letter pairs within the words."""
    counts = {a: {b: 0 for b in LETTERS} for a in LETTERS}
    for word in words:
        for first, second in zip(word, word[1:]):
            counts[first][second] += 1
    return counts


def fixed_entries(row):
    """Returns {column: literal} for the entries of a made row that the rule fixes."""
    fixed = {STRONGEST[row][0]: STRONGEST[row][1]}
    if row in X_COLUMN:
        fixed["x"] = X_COLUMN[row]
    if row == SMALLEST[0]:
        fixed[SMALLEST[1]] = SMALLEST[2]
    return fixed


def make_row(row, counts):
    """Returns the 26 entries of a made row as literals, fixed ones exactly as written."""
    fixed = fixed_entries(row)
    cap = CAP_SHARE * float(STRONGEST[row][1])
    capped = {}
    free = [b for b in LETTERS if b not in fixed]
    while True:
        sharing = [b for b in free if b not in capped]
        left = 1.0 - sum(float(v) for v in fixed.values()) - sum(capped.values())
        spread = left - FLOOR * len(sharing)
        if spread <= 0.0:
            sys.exit("row %s: no mass left above the floor" % row)
        weights = {b: float(counts[row][b]) ** POWER for b in sharing}
        total = sum(weights.values())
        if total == 0.0:
            weights = {b: 1.0 for b in sharing}
            total = float(len(sharing))
        values = {b: FLOOR + spread * weights[b] / total for b in sharing}
        over = [b for b in sharing if values[b] >= cap]
        if not over:
            break
        for b in over:
            capped[b] = cap
    values.update(capped)

    # The largest free entry takes up the rounding error of the others, summed in table order.
    absorber = max(free, key=lambda b: (values[b], -LETTERS.index(b)))
    entries = {b: float(fixed[b]) if b in fixed else values[b] for b in LETTERS}
    entries[absorber] = 0.0
    entries[absorber] = 1.0 - sum(entries[b] for b in LETTERS)
    literals = [fixed[b] if b in fixed else repr(entries[b]) for b in LETTERS]
    check_row(row, literals)
    return literals


def check_row(row, literals):
    """Stops the generator when a made row misses one of the table's properties."""
    values = [float(v) for v in literals]
    smallest = float(SMALLEST[2])
    strongest = LETTERS.index(STRONGEST[row][0])
    if abs(sum(values) - 1.0) > 1e-15 or abs(math.fsum(values) - 1.0) > 1e-15:
        sys.exit("row %s: sums to %r" % (row, sum(values)))
    for column, value in enumerate(values):
        if column != strongest and value >= values[strongest]:
            sys.exit("row %s: %s is not below the strongest successor" % (row, LETTERS[column]))
        if (row, LETTERS[column]) != SMALLEST[:2] and value <= smallest:
            sys.exit("row %s: %s is not above the smallest entry" % (row, LETTERS[column]))


def render(rows, source):
    """Returns the text of letter_pair_table.cpp."""
    lines = [
        "// Generated by tools/make_letter_pair_table.py from %s." % source,
        "// Do not edit. The letter-pair probability table: row = letter, column = next letter.",
        '#include "namescan/letter_pair_table.h"',
        "",
        "// clang-format off",
        "const double LetterPairTable[LETTER_COUNT * LETTER_COUNT] = {",
    ]
    for row in LETTERS:
        lines.append("    // %s" % row)
        literals = rows[row]
        for start in range(0, len(LETTERS), 4):
            lines.append("    " + " ".join(v + "," for v in literals[start:start + 4]))
    lines.append("};")
    lines.append("// clang-format on")
    return "\n".join(lines) + "\n"


def main(argv):
    word_list = argv[1] if len(argv) > 1 else DEFAULT_WORD_LIST
    output = argv[2] if len(argv) > 2 else DEFAULT_OUTPUT
    counts = count_pairs(read_words(word_list))
    rows = {row: FIXED_ROWS[row] if row in FIXED_ROWS else make_row(row, counts)
            for row in LETTERS}
    source = os.path.basename(word_list)
    if word_list == DEFAULT_WORD_LIST:
        source = "%s (wamerican)" % word_list
    with open(output, "w", encoding="ascii", newline="\n") as stream:
        stream.write(render(rows, source))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
