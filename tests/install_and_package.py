#!/usr/bin/env python3
"""What a newcomer installs: `cmake --install` into a throwaway prefix, and the Debian package.

Usage: install_and_package.py [--cmake CMAKE] [--cpack CPACK] --version X.Y.Z
                              [--windows-programs DIR] BUILD_DIR WORK_DIR

Installs BUILD_DIR into WORK_DIR/prefix and runs the installed clsid-scan on the sample registry;
checks --version, that the Windows programs are installed when DIR holds them, the man page (groff finds nothing to warn about, and every long option of
--help is in it, and every option it describes is in --help); then, when cpack and dpkg-deb are
there, makes the .deb, checks its control fields, unpacks it with dpkg -x into a scratch root and
runs that program too. Ends with "N passed, M failed" (exit 1 when any check failed).
"""

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SAMPLE = HERE.parent / "examples" / "sample-registry.reg"
MAN_PAGE = Path("share/man/man1/clsid-scan.1")

passed = failed = 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"PASS {what}")
    else:
        failed += 1
        print(f"FAIL {what}\n    {detail}")
    return ok


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, timeout=60, **kwargs)


def long_options_of_help(help_text):
    """The long options --help describes: the first word of each option line."""
    return {m.group(1) for m in re.finditer(r"^\s+(?:-\w,)?(--[a-z][a-z0-9-]*)", help_text, re.M)}


def man_text(man_source):
    """The man page's words with groff's escapes for - and the font changes taken out."""
    return re.sub(r"\\f[BIRP]", "", man_source).replace("\\-", "-").replace("\\&", "")


def long_options_of_man(man_source):
    """The options the OPTIONS section describes: each .TP paragraph's tag line."""
    section = man_source.split("\n.SH OPTIONS", 1)[-1].split("\n.SH ", 1)[0]
    tags = re.findall(r"^\.TP\n(.*)$", section, re.M)
    return {m for tag in tags for m in re.findall(r"--[a-z][a-z0-9-]*", man_text(tag))}


def the_program(program, where, version):
    """The installed program runs the sample, tells its version and answers --help."""
    done = run(program, SAMPLE)
    check(f"{where}: clsid-scan on the sample registry finds something (exit 1)",
          done.returncode == 1 and b"HKEY_CLASSES_ROOT\\CLSID\\{" in done.stdout,
          f"exit {done.returncode}: {done.stderr.decode(errors='replace')}")
    shown = run(program, "--version")
    text = shown.stdout.decode()
    check(f"{where}: --version names the version and libhivex's", shown.returncode == 0
          and re.fullmatch(rf"clsid-scan {re.escape(version)} \(built with libhivex [0-9.]+\)\n",
                           text) is not None, f"exit {shown.returncode}: {text!r}")
    return done.stdout


def installed(args, prefix):
    shutil.rmtree(prefix, ignore_errors=True)
    done = run(args.cmake, "--install", args.build_dir, "--prefix", prefix)
    if not check("cmake --install into a throwaway prefix", done.returncode == 0,
                 done.stdout.decode() + done.stderr.decode()):
        return None
    program = prefix / "bin" / "clsid-scan"
    if not check("bin/clsid-scan is installed", program.is_file(), sorted(map(str, prefix.rglob("*")))):
        return None
    output = the_program(program, "installed", args.version)

    windows = prefix / "share" / "clsid-scan" / "windows"
    if args.windows_programs and (args.windows_programs / "clsid-scan.exe").is_file():
        check("the Windows build's clsid-scan.exe is installed in share/clsid-scan/windows",
              (windows / "clsid-scan.exe").is_file() and (windows / "clsid-scan.exe").read_bytes()
              == (args.windows_programs / "clsid-scan.exe").read_bytes())
    else:
        check("no Windows build, no share/clsid-scan/windows", not windows.exists())

    man = prefix / MAN_PAGE
    if not check("the man page is in share/man/man1", man.is_file()):
        return output
    source = man.read_text(encoding="utf-8")
    help_text = run(program, "--help").stdout.decode()
    in_help = long_options_of_help(help_text)
    check("--help lists the long options", {"--rule", "--system", "--recover", "--help"} <= in_help,
          help_text)
    words = set(re.findall(r"--[a-z][a-z0-9-]*", man_text(source)))
    check("every long option of --help is in the man page", in_help <= words,
          f"missing from the man page: {sorted(in_help - words)}")
    described = long_options_of_man(source)
    check("every option the man page describes is in --help", described and described <= in_help,
          f"not in --help: {sorted(described - in_help)}")
    groff = shutil.which("groff")
    if groff:
        done = run(groff, "-t", "-man", "-Tutf8", "-ww", "-z", man)
        check("groff reads the man page without a warning", done.returncode == 0 and not done.stderr,
              done.stderr.decode())
    else:
        print("SKIP groff check of the man page: groff not found")
    return output


def packaged(args, work, installed_output):
    dpkg_deb = shutil.which("dpkg-deb")
    if args.cpack is None or not Path(args.cpack).exists() or dpkg_deb is None:
        print("SKIP the Debian package: cpack or dpkg-deb not found")
        return
    out = work / "package"
    shutil.rmtree(out, ignore_errors=True)
    done = run(args.cpack, "-G", "DEB", "--config", args.build_dir / "CPackConfig.cmake", "-B", out)
    debs = sorted(out.glob("*.deb"))
    if not check("cpack -G DEB makes one .deb", done.returncode == 0 and len(debs) == 1,
                 done.stdout.decode() + done.stderr.decode()):
        return
    deb = debs[0]
    fields = {}
    for name in ("Package", "Version", "Depends", "Maintainer", "Description"):
        fields[name] = run(dpkg_deb, "-f", deb, name).stdout.decode().strip()
    check("the package: name, version, maintainer, description",
          fields["Package"] == "clsid-scan" and fields["Version"] == args.version
          and "@" in fields["Maintainer"] and len(fields["Description"].splitlines()) > 1, fields)
    check("the package depends on libhivex0", re.search(r"\blibhivex0\b", fields["Depends"]),
          fields["Depends"])

    root = work / "root"
    shutil.rmtree(root, ignore_errors=True)
    done = run("dpkg", "-x", deb, root) if shutil.which("dpkg") else run(dpkg_deb, "-x", deb, root)
    if not check("dpkg -x unpacks the package", done.returncode == 0, done.stderr.decode()):
        return
    check("the package holds the man page", (root / "usr" / MAN_PAGE).is_file(),
          sorted(map(str, root.rglob("*"))))
    output = the_program(root / "usr" / "bin" / "clsid-scan", "from the package", args.version)
    check("the package's program prints what the installed one does", output == installed_output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", type=Path)
    parser.add_argument("work_dir", type=Path)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack")
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--windows-programs", type=Path, help="SCAN_WINDOWS_PROGRAMS")
    args = parser.parse_args()
    args.work_dir.mkdir(parents=True, exist_ok=True)
    output = installed(args, args.work_dir / "prefix")
    if output is not None:
        packaged(args, args.work_dir, output)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
