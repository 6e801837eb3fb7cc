#!/usr/bin/env python3
"""Times clsid-scan on generated hives, .reg exports and Windows folders against plain readers.

Usage (from the repository root):
  cmake --build build/native --target clsid-scan
  bench/clsid_scan_benchmark.py [--program build/native/clsid-scan] [--work-dir build/bench-clsid-scan]
                                [--classes 100000] [--match-percent 1] [--roots 50]
                                [--system-classes 20000] [--user-classes 200] [--runs 5]
                                [--parts hive,reg,system,stack] [--stack-lines 10000000]
                                [--regenerate]
  bench/clsid_scan_benchmark.py --classes 2000 --system-classes 1000 --roots 3 --runs 1   # smoke run

What it does:
  1. makes its inputs in WORK_DIR with tools/make_classes.py (kept for later runs while the
     parameters stay the same): a SOFTWARE-like hive and a UTF-16LE .reg export of CLASSES
     classes, MATCH_PERCENT of them matching and the rest near misses; a SOFTWARE hive of
     SYSTEM_CLASSES classes and three user hives (UsrClass.dat) of USER_CLASSES classes, linked
     (or copied) into ROOTS folders laid out as Windows volumes;
  2. checks what clsid-scan finds, once, outside the timings: its JSON lines per rule and view
     equal the generator's counts on the hive and on the .reg, per machine and user on every ROOT,
     and the system scan with --jobs 1 and with all cores writes the same bytes; for stacking,
     the ROOTs again with one user's unique bare registration, whose --stack puts that
     registration first on one machine, and STACK_LINES JSON lines made from their --system
     JSON (copies as other machines, one line in a hundred with an id of its own), which
     --stack with --jobs 1 and with all cores prints alike;
  3. runs each command once under /usr/bin/time for its peak resident memory, which also warms
     the page cache, then the commands of each group RUNS times, alternating and rotating their
     order, and takes the wall time and the CPU time (user + system) of every run;
  4. prints the commands and Markdown tables of the medians, their ratios and the peak memory.
Needs /usr/bin/time (Debian's time), hivexml (libhivex-bin) for the hive part and iconv for the
.reg part.
"""

import argparse
import hashlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
GENERATOR = REPO / "tools" / "make_classes.py"
VIEW_BITS = {"CLSID": 64, "Wow6432Node\\CLSID": 32}
RULES = ("bare", "name")
USER_NAMES = ("alice", "bob", "carol")
SOFTWARE_PATH = ("Windows", "System32", "config", "SOFTWARE")
USRCLASS_PATH = ("AppData", "Local", "Microsoft", "Windows", "UsrClass.dat")
PARTS = ("hive", "reg", "system", "stack")
TIME = "/usr/bin/time"  # GNU time (Debian package time), for the peak memory


class BenchError(Exception):
    pass


# ---- inputs ----


def parse_counts(text):
    """{(rule, view bits): count} from the generator's first table ("classes:")."""
    counts = {}
    for line in text.splitlines()[2:4]:
        fields = line.split()
        view, bare, name = fields[0], int(fields[2]), int(fields[3])
        counts[("bare", VIEW_BITS[view])] = bare
        counts[("name", VIEW_BITS[view])] = name
    return counts


def generate(work, stem, outputs, classes, match_percent, seed, regenerate):
    """Runs the generator unless its outputs and printed counts for these parameters are kept.
    Returns {(rule, view bits): count}."""
    stamp = work / (stem + ".counts")
    params = "classes=%d match=%g seed=%d\n" % (classes, match_percent, seed)
    paths = [work / name for _, name in outputs]
    if not regenerate and stamp.exists() and all(path.exists() for path in paths):
        kept = stamp.read_text(encoding="utf-8")
        if kept.startswith(params):
            return parse_counts(kept[len(params):])
    for path in paths + [stamp]:
        if path.exists():
            path.unlink()
    args = [sys.executable, str(GENERATOR), "--classes", str(classes), "--match-percent",
            str(match_percent), "--seed", str(seed)]
    for option, name in outputs:
        args += [option, str(work / name)]
    print("generating %s (%d classes)..." % (stem, classes), file=sys.stderr, flush=True)
    done = subprocess.run(args, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise BenchError("generator failed: " + " ".join(args))
    stamp.write_text(params + done.stdout, encoding="utf-8")
    return parse_counts(done.stdout)


def link_or_copy(source, target):
    target.parent.mkdir(parents=True, exist_ok=True)
    if target.exists():
        if os.path.samefile(source, target):
            return
        target.unlink()
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)


def lay_out_roots(work, count):
    """ROOT folders root-01.. each with the one SOFTWARE hive and a UsrClass.dat per user."""
    system = work / "system"
    roots = []
    for index in range(1, count + 1):
        root = system / ("root-%02d" % index)
        link_or_copy(work / "system-software.hive", root.joinpath(*SOFTWARE_PATH))
        for user_index, user in enumerate(USER_NAMES):
            link_or_copy(work / ("user-%d.dat" % (user_index + 1)),
                         root.joinpath("Users", user, *USRCLASS_PATH))
        roots.append(str(root))
    return roots


# ---- checks ----


def run_captured(args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")


def json_counts(output):
    """{(machine, user, rule, view bits): count} of clsid-scan's JSON lines."""
    counts = Counter()
    for line in output.decode("utf-8").splitlines():
        found = json.loads(line)
        counts[(found.get("machine"), found.get("user"), found["rule"], found["view"])] += 1
    return counts


def expect_counts(what, found, expected):
    """Raises unless `found` {(rule, view): n} equals `expected`, zero counts aside."""
    found = {key: n for key, n in found.items() if n}
    expected = {key: n for key, n in expected.items() if n}
    if found != expected:
        raise BenchError("%s: clsid-scan found %s, the generator counted %s"
                         % (what, sorted(found.items()), sorted(expected.items())))
    return sum(expected.values())


def check_file_scan(program, path, expected):
    code, out, err = run_captured([program, "--rule", "both", "--format", "json", path])
    if code != (1 if sum(expected.values()) else 0):
        raise BenchError("%s: clsid-scan exited %d: %s" % (path, code, err.strip()))
    found = Counter()
    for (_, _, rule, view), n in json_counts(out).items():
        found[(rule, view)] += n
    return expect_counts(path, found, expected)


def check_system_scan(program, roots, machine_expected, users_expected, jobs):
    """Findings per machine and user on every ROOT, and the same bytes with --jobs 1 as with all
    cores. Each user hive holds classes of its own, so each user reports exactly its hive's."""
    code, out, err = run_captured([program, "--system", "--format", "json"] + roots)
    if code != 1:
        raise BenchError("system scan exited %d: %s" % (code, err.strip()[-2000:]))
    counts = json_counts(out)
    total = 0
    for root in roots:
        for user, expected in [(None, machine_expected)] + list(zip(USER_NAMES, users_expected)):
            found = {(rule, view): counts[(root, user, rule, view)]
                     for rule in RULES for view in VIEW_BITS.values()}
            total += expect_counts("%s, %s" % (root, user or "machine"), found, expected)
    outputs = []
    for jobs_args in (["--jobs", "1"], jobs):
        code, out, err = run_captured([program, "--system"] + jobs_args + roots)
        outputs.append((code, out, err))
    if outputs[0] != outputs[1]:
        raise BenchError("the system scan with --jobs 1 and with %s differ"
                         % (" ".join(jobs) or "all cores"))
    return total, len(outputs[0][1])


# ---- stacking ----

INJECTED_KEY = "{0D15EA5E-0000-4000-8000-000000000001}"


def lay_out_stack_roots(work, count):
    """The system part's ROOTs again, linked, with one user more in the middle ROOT whose classes
    hold one bare registration no other machine has: the hijack stacking must put first."""
    sys.path.insert(0, str(REPO / "tools"))
    import make_hive  # noqa: E402
    from make_hive import Key, string_data  # noqa: E402
    stack = work / "stack-roots"
    roots = []
    for index in range(1, count + 1):
        root = stack / ("root-%02d" % index)
        link_or_copy(work / "system-software.hive", root.joinpath(*SOFTWARE_PATH))
        for user_index, user in enumerate(USER_NAMES):
            link_or_copy(work / ("user-%d.dat" % (user_index + 1)),
                         root.joinpath("Users", user, *USRCLASS_PATH))
        roots.append(str(root))
    hive = Path(roots[len(roots) // 2]).joinpath("Users", "mallory", *USRCLASS_PATH)
    hive.parent.mkdir(parents=True, exist_ok=True)
    typelib = "{8F20AB14-3D55-4C7E-9B62-4DAE6F80A215}"
    make_hive.write_hive(str(hive), Key("", [], [Key("CLSID", [], [
        Key(INJECTED_KEY, [("", 1, string_data("Updater"))], [
            Key("InprocServer32", [("", 1, string_data("C:\\Users\\mallory\\AppData\\u.dll"))]),
            Key("TypeLib", [("", 1, string_data(typelib))])])])]))
    return roots, hive


def write_fleet_lines(base, path, lines_wanted):
    """Writes `lines_wanted` JSON lines made from `base` (one --system run's JSON Lines): copy
    after copy, each as other machines (the ROOT names with a copy number), and in each copy one
    line in a hundred given an id of its own, so that rare ids mix with common ones. Returns the
    number of copies."""
    lines = base.decode("utf-8").splitlines(keepends=True)
    written = copy = 0
    with open(path, "w", encoding="utf-8") as out:
        while written < lines_wanted:
            chunk = []
            for index, line in enumerate(lines[:lines_wanted - written]):
                line = line.replace('"machine":"', '"machine":"copy%05d:' % copy, 1)
                if index % 100 == 7:
                    start = line.index('"id":"') + 6
                    line = line[:start] + "%08x%08x" % (copy, index) + line[start + 16:]
                chunk.append(line)
            out.write("".join(chunk))
            written += len(chunk)
            copy += 1
    return copy


def check_stack_first(program, roots):
    """The --system JSON of the ROOTs, and --stack over it: the injected hijack first, on one
    machine. Returns the JSON Lines."""
    code, out, err = run_captured([program, "--system", "--format", "json"] + roots)
    if code != 1:
        raise BenchError("system scan of the stack ROOTs exited %d: %s" % (code, err.strip()[-2000:]))
    path = Path(roots[0]).parent / "stack-base.jsonl"
    path.write_bytes(out)
    code, stacked, err = run_captured([program, "--stack", "--format", "json", str(path)])
    if code != 1:
        raise BenchError("--stack exited %d: %s" % (code, err.strip()))
    rows = [json.loads(line) for line in stacked.decode("utf-8").splitlines()]
    first = rows[0]
    if first["key"] != INJECTED_KEY or first["machines"] != 1 or rows[1]["machines"] == 1:
        raise BenchError("--stack did not put the injected hijack first, alone on one machine: %s"
                         % rows[:2])
    return out, len(rows), rows[1]["machines"]


# ---- timing ----


def timed_run(args, shell=False):
    """(wall seconds, CPU seconds (user + system, its children's included), exit code) of one
    run, its output thrown away."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        child = subprocess.Popen(args, stdout=null, stderr=null, shell=shell)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, child.returncode


def measured_run(args, shell=False):
    """(peak resident KiB, exit code) of one run under /usr/bin/time. The child of a Python
    process would report Python's own peak as its floor (the peak survives fork and exec), so a
    small launcher starts it instead."""
    command = ["sh", "-c", args] if shell else args
    with open(os.devnull, "wb") as null:
        done = subprocess.run([TIME, "-f", "%M"] + command, stdout=null, stderr=subprocess.PIPE,
                              text=True)
    return int(done.stderr.strip().splitlines()[-1]), done.returncode


def time_group(commands, runs):
    """Runs each (label, args, shell, accepted exit codes) once under /usr/bin/time for its peak
    memory, which also warms the page cache, then `runs` timed rounds, rotating the order each
    round. Returns ({label: [(wall, cpu), ...]}, {label: peak KiB})."""
    walls = {label: [] for label, _, _, _ in commands}
    peaks = {}
    for label, args, shell, accepted in commands:
        peaks[label], code = measured_run(args, shell)
        if code not in accepted:
            raise BenchError("%s exited %d" % (label, code))
    for round_index in range(runs):
        shift = round_index % len(commands)
        for label, args, shell, accepted in commands[shift:] + commands[:shift]:
            wall, cpu, code = timed_run(args, shell)
            if code not in accepted:
                raise BenchError("%s exited %d" % (label, code))
            walls[label].append((wall, cpu))
    return walls, peaks




# ---- report ----


def shown(args):
    return " ".join(str(arg) for arg in args)


def mib(size_bytes):
    return size_bytes / (1024 * 1024)


def build_type(program):
    cache = Path(program).resolve().parent / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text(encoding="utf-8", errors="replace").splitlines():
            if line.startswith("CMAKE_BUILD_TYPE:"):
                return line.split("=", 1)[1] or "(none)"
    return "unknown"


def package_version(name):
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", name], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
    return done.stdout.strip() or "unknown"


def median(samples, which=0):
    """The median wall (which=0) or CPU (which=1) seconds of (wall, cpu) samples."""
    return statistics.median(sample[which] for sample in samples)


def time_row(label, samples, note=""):
    walls = [wall for wall, _ in samples]
    return "| %s | %d | %.3f | %.3f | %.3f | %.3f | %s |" % (
        label, len(walls), statistics.median(walls), min(walls), max(walls), median(samples, 1),
        note)


def memory_row(label, peak_kib, size_bytes, size_label=""):
    return "| %s | %.1f MiB%s | %.1f MiB | %.2f |" % (
        label, mib(size_bytes), size_label, peak_kib / 1024, peak_kib * 1024 / size_bytes)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program", default=str(REPO / "build" / "native" / "clsid-scan"))
    parser.add_argument("--work-dir", default=str(REPO / "build" / "bench-clsid-scan"))
    parser.add_argument("--classes", type=int, default=100000,
                        help="classes in the hive and the .reg (default 100000)")
    parser.add_argument("--match-percent", type=float, default=1.0,
                        help="share of matching classes (default 1)")
    parser.add_argument("--roots", type=int, default=50, help="ROOT folders (default 50)")
    parser.add_argument("--system-classes", type=int, default=20000,
                        help="classes in each ROOT's SOFTWARE hive (default 20000)")
    parser.add_argument("--user-classes", type=int, default=200,
                        help="classes in each user hive (default 200)")
    parser.add_argument("--user-match-percent", type=float, default=5.0,
                        help="share of matching classes in the user hives (default 5)")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per command (default 5)")
    parser.add_argument("--parts", default="hive,reg,system",
                        help="which measurements, of hive,reg,system,stack (default all but "
                             "stack, which writes gigabytes)")
    parser.add_argument("--stack-lines", type=int, default=10000000,
                        help="JSON lines --stack reads (default 10000000)")
    parser.add_argument("--regenerate", action="store_true",
                        help="make the inputs again even when kept ones fit")
    args = parser.parse_args(argv)
    parts = [part for part in args.parts.split(",") if part]
    if any(part not in PARTS for part in parts) or args.runs < 1 or args.roots < 1:
        parser.error("--parts takes hive, reg, system, stack; --runs and --roots at least 1")
    program = str(Path(args.program).resolve())
    if not os.access(program, os.X_OK):
        parser.error("%s: no such program (cmake --build build/native --target clsid-scan)"
                     % program)
    for tool, part in (("hivexml", "hive"), ("iconv", "reg")):
        if part in parts and shutil.which(tool) is None:
            parser.error("%s is needed for the %s part (apt-get install %s)"
                         % (tool, part, "libhivex-bin" if tool == "hivexml" else "libc-bin"))
    if not os.access(TIME, os.X_OK):
        parser.error("%s is needed for the peak memory (apt-get install time)" % TIME)
    work = Path(args.work_dir).resolve()
    work.mkdir(parents=True, exist_ok=True)

    try:
        return run_benchmark(args, parts, program, work)
    except BenchError as error:
        print("clsid_scan_benchmark: %s" % error, file=sys.stderr)
        return 1


def load_average():
    with open("/proc/loadavg", encoding="ascii") as load:
        return " ".join(load.read().split()[:3])


def run_benchmark(args, parts, program, work):
    load_at_start = load_average()
    both = [program, "--rule", "both"]
    lines = []  # the report, printed at the end
    times = []  # rows of the timing table
    memory = []  # rows of the memory table
    commands_shown = []

    if "hive" in parts or "reg" in parts:
        stem = "software-%d" % args.classes
        counts = generate(work, stem, [("--hive", stem + ".hive"), ("--reg", stem + ".reg")],
                          args.classes, args.match_percent, 1, args.regenerate)
        hive, reg = str(work / (stem + ".hive")), str(work / (stem + ".reg"))

    if "hive" in parts:
        found = check_file_scan(program, hive, counts)
        code, _, err = run_captured(["hivexml", hive])
        if code != 0:
            raise BenchError("hivexml %s exited %d: %s" % (hive, code, err.strip()))
        scan_args, library_args = both + [hive], ["hivexml", hive]
        print("timing the hive...", file=sys.stderr, flush=True)
        walls, peaks = time_group([("scan", scan_args, False, (0, 1)),
                                   ("hivexml", library_args, False, (0,))], args.runs)
        ratio = median(walls["scan"]) / median(walls["hivexml"])
        times.append(time_row("hive: `clsid-scan --rule both HIVE`", walls["scan"],
                              "%.2f x hivexml (aim <= 0.50: %s), CPU %.2f x; %d findings = "
                              "generator's" % (ratio, "met" if ratio <= 0.5 else "MISSED",
                                               median(walls["scan"], 1)
                                               / median(walls["hivexml"], 1), found)))
        times.append(time_row("hive: `hivexml HIVE`", walls["hivexml"]))
        memory.append(memory_row("hive, clsid-scan", peaks["scan"], os.path.getsize(hive)))
        memory.append(memory_row("hive, hivexml", peaks["hivexml"], os.path.getsize(hive)))
        commands_shown += [shown(scan_args) + " > /dev/null", shown(library_args) + " > /dev/null"]

    if "reg" in parts:
        found = check_file_scan(program, reg, counts)
        scan_args = both + [reg]
        iconv_args = ["iconv", "-f", "UTF-16LE", "-t", "UTF-8", reg]
        print("timing the .reg...", file=sys.stderr, flush=True)
        walls, peaks = time_group([("scan", scan_args, False, (0, 1)),
                                   ("iconv", iconv_args, False, (0,))], args.runs)
        ratio = median(walls["scan"]) / median(walls["iconv"])
        times.append(time_row("reg: `clsid-scan --rule both FILE.reg`", walls["scan"],
                              "%.1f x iconv; %d findings = generator's" % (ratio, found)))
        times.append(time_row("reg: `iconv -f UTF-16LE -t UTF-8 FILE.reg`", walls["iconv"]))
        memory.append(memory_row(".reg, clsid-scan", peaks["scan"], os.path.getsize(reg)))
        memory.append(memory_row(".reg, iconv", peaks["iconv"], os.path.getsize(reg)))
        commands_shown += [shown(scan_args) + " > /dev/null", shown(iconv_args) + " > /dev/null"]

    if "system" in parts or "stack" in parts:
        machine = generate(work, "system-software", [("--hive", "system-software.hive")],
                           args.system_classes, args.match_percent, 1, args.regenerate)
        users = [generate(work, "user-%d" % (index + 1),
                          [("--user-hive", "user-%d.dat" % (index + 1))], args.user_classes,
                          args.user_match_percent, 2 + index, args.regenerate)
                 for index in range(len(USER_NAMES))]
    if "system" in parts:
        roots = lay_out_roots(work, args.roots)
        found, output_size = check_system_scan(program, roots, machine, users, [])
        one_job = [program, "--system", "--jobs", "1"] + roots
        all_cores = [program, "--system"] + roots
        read_all = "find %s -type f -exec cat {} + > /dev/null" % " ".join(roots)
        one_root_scan = [program, "--system", "--jobs", "1", roots[0]]
        one_root_read = "find %s -type f -exec cat {} + > /dev/null" % roots[0]
        print("timing %d ROOTs..." % len(roots), file=sys.stderr, flush=True)
        walls, peaks = time_group([("jobs1", one_job, False, (0, 1)),
                                   ("all", all_cores, False, (0, 1)),
                                   ("read", read_all, True, (0,)),
                                   ("scan1", one_root_scan, False, (0, 1)),
                                   ("read1", one_root_read, True, (0,))], args.runs)
        count = len(roots)
        one, every = median(walls["jobs1"]), median(walls["all"])
        read = median(walls["read"])
        times.append(time_row("%d ROOTs: `clsid-scan --system --jobs 1 ROOT...`" % count,
                              walls["jobs1"], "%.3f s a ROOT; %.0f x reading the files"
                              % (one / count, one / read)))
        times.append(time_row("%d ROOTs: `clsid-scan --system ROOT...` (all %d cores)"
                              % (count, os.cpu_count()), walls["all"],
                              "speed-up %.2f over --jobs 1; %.3f s a ROOT; output identical "
                              "(%d bytes, %d findings as generated)"
                              % (one / every, every / count, output_size, found)))
        times.append(time_row("%d ROOTs: `find ROOT... -type f -exec cat {} +`" % count,
                              walls["read"], "%.4f s a ROOT" % (read / count)))
        times.append(time_row("1 ROOT: `clsid-scan --system --jobs 1 ROOT`", walls["scan1"],
                              "%.0f x reading its files"
                              % (median(walls["scan1"]) / median(walls["read1"]))))
        times.append(time_row("1 ROOT: `find ROOT -type f -exec cat {} +`", walls["read1"]))
        root_bytes = sum(os.path.getsize(os.path.join(folder, name))
                         for folder, _, names in os.walk(roots[0]) for name in names)
        memory.append(memory_row("system, --jobs 1, %d ROOTs" % count, peaks["jobs1"],
                                 root_bytes, " a ROOT"))
        memory.append(memory_row("system, all cores, %d ROOTs" % count, peaks["all"], root_bytes,
                                 " a ROOT"))
        commands_shown += [shown(one_job[:4]) + " ROOT1..ROOT%d > /dev/null" % count,
                           shown(all_cores[:2]) + " ROOT1..ROOT%d > /dev/null" % count,
                           "find ROOT1..ROOT%d -type f -exec cat {} + > /dev/null" % count,
                           shown(one_root_scan) + " > /dev/null", one_root_read]

    if "stack" in parts:
        stack_roots, _ = lay_out_stack_roots(work, args.roots)
        base, ids, common = check_stack_first(program, stack_roots)
        fleet = work / ("stack-%d.jsonl" % args.stack_lines)
        stamp = work / ("stack-%d.stamp" % args.stack_lines)
        base_digest = hashlib.sha256(base).hexdigest() + "\n"
        if args.regenerate or not fleet.exists() or not stamp.exists() \
                or stamp.read_text() != base_digest:
            print("writing %d JSON lines..." % args.stack_lines, file=sys.stderr, flush=True)
            write_fleet_lines(base, fleet, args.stack_lines)
            stamp.write_text(base_digest)
        stack_all = [program, "--stack", "--format", "json", str(fleet)]
        stack_one = [program, "--stack", "--jobs", "1", "--format", "json", str(fleet)]
        outputs = [run_captured(command) for command in (stack_one, stack_all)]
        if outputs[0] != outputs[1] or outputs[0][0] != 1:
            raise BenchError("--stack with --jobs 1 and with all cores differ, or failed: %s"
                             % outputs[0][2].strip())
        stacked_ids = outputs[0][1].count(b"\n")
        read_fleet = "cat %s > /dev/null" % fleet
        print("timing --stack over %d lines..." % args.stack_lines, file=sys.stderr, flush=True)
        walls, peaks = time_group([("stack1", stack_one, False, (1,)),
                                   ("stack", stack_all, False, (1,)),
                                   ("read", read_fleet, True, (0,))], args.runs)
        size = os.path.getsize(fleet)
        for label, what in (("stack1", "`clsid-scan --stack --jobs 1 --format json FILE`"),
                            ("stack", "`clsid-scan --stack --format json FILE` (all %d cores)"
                             % os.cpu_count())):
            times.append(time_row("stack, %d lines (%.0f MiB): %s" % (args.stack_lines, mib(size),
                                                                       what),
                                  walls[label], "%.0f lines/s; %d ids"
                                  % (args.stack_lines / median(walls[label]), stacked_ids)))
            memory.append(memory_row("stack, %s" % label, peaks[label], size))
        times.append(time_row("stack: `cat FILE`", walls["read"]))
        lines.append("Stacking: the %d ROOTs' --system JSON with one user's unique bare "
                     "registration added: --stack puts it first, on 1 machine (the next on %d); "
                     "%d ids there. --jobs 1 and all cores print the same %d ids."
                     % (args.roots, common, ids, stacked_ids))
        commands_shown += [shown(stack_one), shown(stack_all), read_fleet]

    lines.append("clsid-scan: %s (CMAKE_BUILD_TYPE %s); libhivex-bin %s; %s, %d cores; "
                 "load average at the start %s, at the end %s"
                 % (program, build_type(program), package_version("libhivex-bin"),
                    platform.machine(), os.cpu_count(), load_at_start, load_average()))
    lines.append("Inputs in %s: %d classes, %g %% matching (hive, .reg); %d ROOTs of a "
                 "%d-class SOFTWARE and %d users of %d classes (%g %% matching)."
                 % (work, args.classes, args.match_percent, args.roots, args.system_classes,
                    len(USER_NAMES), args.user_classes, args.user_match_percent))
    lines.append("")
    lines.append("Commands (stderr to /dev/null as well; one run under /usr/bin/time first, then "
                 "alternating timed runs):")
    lines.append("")
    lines += ["    " + command for command in commands_shown]
    lines.append("")
    lines.append("| what | runs | median s | min s | max s | median CPU s | notes |")
    lines.append("|---|---:|---:|---:|---:|---:|---|")
    lines += times
    lines.append("")
    lines.append("| peak memory | input | max RSS | RSS / input |")
    lines.append("|---|---:|---:|---:|")
    lines += memory
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
