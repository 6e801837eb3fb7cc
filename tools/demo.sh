#!/usr/bin/env bash
# Installs what is missing, builds the Windows programs, and runs both scanners under Wine on the
# sample registry (examples/sample-registry.reg). Without a display it prints what each message
# box shows, decoded to UTF-8; with one (DISPLAY set) the real message boxes appear.
# Everything Wine needs lives in build/: the user's own Wine prefix is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
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
