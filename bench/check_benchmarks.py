#!/usr/bin/env python3
"""Checks the scan benchmark's figures against its targets.

Usage:
  scan_benchmark --benchmark_out=scan.json --benchmark_out_format=json
  check_benchmarks.py scan.json [--time real|cpu]
  scan_benchmark --benchmark_format=json | check_benchmarks.py -

Targets, each printed with its ratio and PASS or FAIL:
  scaling  time at 1,000,000 classes <= 11 x time at 100,000, for every run, rule and mix;
  share    in the 1% mix, the whole scan and the walk alone each <= 1.5 x the reads-only walk,
           at every size;
  memory   in the all-matching mix, the program's peak heap (heap and global blocks)
           <= 3 x the final report + the stand-in's tree (the allocator's bytes in use after
           building the tree less before), at every size. peak / report is printed as well.
Times are the median of the repetitions when there are several. Exits 1 on any FAIL, and when a
benchmark reported an error or a target has no figures to judge.
"""

import argparse
import json
import re
import sys

SCALING_LIMIT = 11.0
SHARE_LIMIT = 1.5
MEMORY_FACTOR = 3.0
SMALL, LARGE = 100_000, 1_000_000

NAME = re.compile(r"^(scan|walk|reads_only)/(bare|name)/(all|one_percent)/(\d+)(/|$)")
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def load(path):
    if path == "-":
        return json.load(sys.stdin)
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def collect(data, time_field):
    """{(kind, rule, mix, classes): row}, the median aggregate where there is one."""
    runs, errors = {}, []
    for row in data.get("benchmarks", []):
        match = NAME.match(row.get("run_name", row["name"]))
        if not match:
            continue
        if row.get("error_occurred"):
            errors.append(f"{row['name']}: {row.get('error_message', 'error')}")
            continue
        key = (match.group(1), match.group(2), match.group(3), int(match.group(4)))
        is_median = row.get("run_type") == "aggregate" and row.get("aggregate_name") == "median"
        if row.get("run_type") == "aggregate" and not is_median:
            continue
        entry = runs.setdefault(key, {"median": None, "iterations": []})
        if is_median:
            entry["median"] = row
        else:
            entry["iterations"].append(row)
    figures = {}
    for key, entry in runs.items():
        rows = [entry["median"]] if entry["median"] else entry["iterations"]
        times = sorted(r[time_field] * TO_MS[r.get("time_unit", "ns")] for r in rows)
        row = rows[len(rows) // 2]
        figures[key] = {
            "ms": times[len(times) // 2],
            "report": row.get("report_bytes", 0.0),
            "peak": row.get("peak_heap_bytes", 0.0),
            "tree": row.get("tree_bytes", 0.0),
        }
    return figures, errors


def mb(value):
    return f"{value / 1e6:,.1f} MB"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("json", help="the benchmark's JSON output, or - for standard input")
    parser.add_argument("--time", choices=["real", "cpu"], default="real", help="which time to judge (default real)")
    args = parser.parse_args()
    figures, errors = collect(load(args.json), args.time + "_time")

    failures = 0

    def verdict(ok, text):
        nonlocal failures
        failures += 0 if ok else 1
        print(f"{'PASS' if ok else 'FAIL'}  {text}")

    for error in errors:
        verdict(False, f"error      {error}")

    groups = sorted({key[:3] for key in figures})
    print(f"-- scaling: time at {LARGE:,} classes <= {SCALING_LIMIT:g} x time at {SMALL:,}")
    judged = 0
    for kind, rule, mix in groups:
        small, large = figures.get((kind, rule, mix, SMALL)), figures.get((kind, rule, mix, LARGE))
        if not small or not large:
            continue
        judged += 1
        ratio = large["ms"] / small["ms"]
        verdict(ratio <= SCALING_LIMIT,
                f"scaling    {kind}/{rule}/{mix}: {large['ms']:,.1f} ms / {small['ms']:,.1f} ms = {ratio:.2f}")
    if not judged:
        verdict(False, f"scaling    no run has figures at both {SMALL:,} and {LARGE:,} classes")

    print(f"-- share: 1% mix, scan and walk <= {SHARE_LIMIT:g} x reads-only walk")
    judged = 0
    for (kind, rule, mix, classes), figure in sorted(figures.items()):
        if kind == "reads_only" or mix != "one_percent":
            continue
        reads = figures.get(("reads_only", rule, mix, classes))
        if not reads:
            continue
        judged += 1
        ratio = figure["ms"] / reads["ms"]
        verdict(ratio <= SHARE_LIMIT,
                f"share      {kind}/{rule}/{mix}/{classes}: {figure['ms']:,.2f} ms / {reads['ms']:,.2f} ms = {ratio:.2f}")
    if not judged:
        verdict(False, "share      no 1% run has a reads-only run beside it")

    print(f"-- memory: all-matching scan, peak heap <= {MEMORY_FACTOR:g} x report + tree")
    judged = 0
    for (kind, rule, mix, classes), figure in sorted(figures.items()):
        if kind != "scan" or mix != "all":
            continue
        judged += 1
        report, peak, tree = figure["report"], figure["peak"], figure["tree"]
        limit = MEMORY_FACTOR * report + tree
        per_report = f"{peak / report:.2f} x report" if report else "no report"
        verdict(peak <= limit,
                f"memory     {kind}/{rule}/{mix}/{classes}: peak {mb(peak)} ({per_report}), "
                f"limit {mb(limit)} = 3 x {mb(report)} + tree {mb(tree)}")
    if not judged:
        verdict(False, "memory     no all-matching scan")

    print(f"{failures} failed" if failures else "all targets met")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
