#!/usr/bin/env python3
"""Writes files/upper_case_table.inc: the simple upper-case mapping of the Basic Multilingual
Plane, as runs of code points that move by the same amount (every one, or every other one), for
comparing file names without regard to letter case as NTFS does. Run it from the repository's
root; the table depends only on the Unicode data of the Python that runs it."""
import sys
import unicodedata


def upper(code):
    text = chr(code).upper()
    if len(text) != 1 or ord(text) > 0xFFFF:
        return code  # no single upper-case letter: a simple mapping leaves it
    return ord(text)


def runs():
    moves = [(code, upper(code) - code) for code in range(0x10000)
             if not 0xD800 <= code <= 0xDFFF and upper(code) != code]
    found = []
    for code, delta in moves:
        if found:
            first, last, step, move = found[-1]
            if move == delta and (step, code - last) in ((1, 1), (2, 2)) or (
                    first == last and move == delta and code - last in (1, 2)):
                found[-1] = (first, code, code - last, move)
                continue
        found.append((code, code, 1, delta))
    return found


def main():
    lines = ["// The simple upper-case mapping of the Basic Multilingual Plane (Unicode "
             + unicodedata.unidata_version + "), written by tools/make_upper_case_table.py:",
             "// {first, last, step, move}: every step-th code point from first to last moves by move."]
    for first, last, step, move in runs():
        lines.append(f"{{0x{first:04x}, 0x{last:04x}, {step}, {move}}},")
    with open("files/upper_case_table.inc", "w") as out:
        out.write("\n".join(lines) + "\n")
    print(len(lines) - 2, "runs", file=sys.stderr)


if __name__ == "__main__":
    main()
