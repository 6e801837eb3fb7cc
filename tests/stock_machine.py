#!/usr/bin/env python3
"""Every rule on a stock-like Windows 10 machine: what a clean machine costs an examiner.

Usage: stock_machine.py CLSID_SCAN WORK_DIR [CLASSES.json.zip]
Builds WORK_DIR/root with tools/make_stock_machine.py (6,943 stock classes, every server file
present as a PE stub, two profiles) and runs `clsid-scan --system --rule all` on it. A stock
machine must give no high finding and at most 5 medium ones. Prints each medium or high finding
and the count of each rule and severity. Exits 77 (skipped) when the table of classes is not
there.
"""

import collections
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import make_stock_machine  # noqa: E402

MOST_MEDIUM = 5


def scan_counts(scan, root):
    done = subprocess.run([str(scan), "--system", "--rule", "all", "--format", "json", str(root)],
                          capture_output=True, timeout=600)
    if done.returncode not in (0, 1):
        raise SystemExit("clsid-scan failed (%d): %s" % (done.returncode, done.stderr.decode()))
    findings = [json.loads(line) for line in done.stdout.decode().splitlines()]
    return findings, done.stderr.decode()


def main():
    scan, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    classes = Path(sys.argv[3]) if len(sys.argv) > 3 else make_stock_machine.DEFAULT_CLASSES
    if not classes.is_file():
        print("skipped: no table of stock classes at %s" % classes)
        return 77
    root = work / "root"
    make_stock_machine.build(root, classes, ["alice", "bob"], log=print)
    findings, notes = scan_counts(scan, root)
    counts = collections.Counter((f["rule"], f["severity"]) for f in findings)
    for rule, severity in sorted(counts):
        print("%-10s %-6s %d" % (rule, severity, counts[(rule, severity)]))
    for f in findings:
        if f["severity"] != "low":
            print("%s %s %s %s %s" % (f["severity"], f["rule"], f["key"], f.get("server"),
                                      f["reasons"]))
    high = sum(n for (_, severity), n in counts.items() if severity == "high")
    medium = sum(n for (_, severity), n in counts.items() if severity == "medium")
    print("%d findings: %d high, %d medium" % (len(findings), high, medium))
    ok = high == 0 and medium <= MOST_MEDIUM and len(findings) > 0
    if not ok:
        print("FAIL: a stock machine must give no high finding and at most %d medium" % MOST_MEDIUM)
        print(notes)

    # The same machine as a triage collection holds it: the hives and nothing else.
    for folder, _, names in os.walk(root):
        for name in names:
            if name.upper() not in ("SOFTWARE", "SYSTEM", "NTUSER.DAT", "USRCLASS.DAT"):
                os.unlink(os.path.join(folder, name))
    triage, notes = scan_counts(scan, root)
    above_low = [f for f in triage if f["severity"] != "low"]
    said = notes.count("holds none of the volume's program files")
    print("triage collection: %d findings, %d above low; %d note(s) that it is one"
          % (len(triage), len(above_low), said))
    states = collections.Counter(f["file"]["state"] for f in triage if f.get("file"))
    print("  file states: %s" % dict(states))
    if above_low or said != 1 or any(f["rule"] == "abandoned" for f in triage):
        print("FAIL: a triage collection of a clean machine gives nothing above low, no "
              "abandoned finding, and one note")
        for f in above_low:
            print("  %s %s %s %s" % (f["severity"], f["rule"], f["key"], f["reasons"]))
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
