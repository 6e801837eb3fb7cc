#!/usr/bin/env bash
# Installs what is missing, then shows the scanners on the bundled examples:
#  1. clsid-scan, built natively: first the examiner's main job, every machine and user of an
#     evidence volume with each finding's time, id, severity and file (examples/evidence); then a
#     .reg export, a small hive, and that hive merged with a user's classes (examples/, made by
#     examples/make-examples.sh);
#  2. the Windows programs under Wine on the same sample registry. Without a display it prints
#     what each message box shows, decoded to UTF-8; with one (DISPLAY set) the real message
#     boxes appear. Everything Wine needs lives in build/: the user's own Wine prefix is never
#     touched.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --workflow --preset release >/dev/null
scan=build/release/clsid-scan
run() {
    echo "\$ clsid-scan $*"
    "$scan" "$@" || [ $? -eq 1 ] # exit code 1: something was found
    echo
}
run --system --details examples/evidence
run --rule both examples/sample-registry.reg
run --rule bare --view 64 examples/sample-classes.hive
run --rule bare --view 64 examples/sample-classes.hive examples/sample-user-classes.reg
run --rule name --view 64 --format json examples/sample-classes.hive

cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 >/dev/null
build=build/windows-x64
sample=examples/sample-registry.reg

if [ -z "${DISPLAY:-}" ]; then
    for program in clsid-bare-scan clsid-name-scan; do
        echo "=== $program.exe (Enter pressed at the box)"
        python3 tests/wine/run_wine_tests.py "$build" "build/wine-demo" \
            --helper "$build/rig-helper.exe" --show "$program.exe" "$sample"
    done
    exit 0
fi

export WINEPREFIX="$PWD/build/wine-demo-window" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8
tools/wine-load-sample.sh "$sample"
for program in clsid-bare-scan clsid-name-scan; do
    echo "=== $program.exe: answer its message box to go on"
    wine "$build/$program.exe"
done
wineserver -k || true
