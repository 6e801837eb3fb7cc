#!/usr/bin/env bash
# Takes a picture of each scanner's message box over the sample registry, under Wine and Xvfb.
# Writes docs/clsid-bare-scan.png and docs/clsid-name-scan.png. Needs the windows-x64 build.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in Xvfb wine import python3; do
    command -v "$tool" >/dev/null || {
        echo "missing $tool: apt-get install xvfb wine wine64 imagemagick fonts-ipafont-gothic" >&2
        exit 1
    }
done

build=build/windows-x64
export WINEPREFIX="$PWD/build/wine-screenshot" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=ja_JP.UTF-8 DISPLAY=:93
Xvfb "$DISPLAY" -screen 0 1600x1000x24 >/dev/null 2>&1 &
xvfb_pid=$!
trap 'wineserver -k 2>/dev/null || true; kill "$xvfb_pid" 2>/dev/null || true' EXIT
sleep 2

tools/wine-load-sample.sh examples/sample-registry.reg

mkdir -p docs
for program in clsid-bare-scan clsid-name-scan; do
    wine "$build/$program.exe" >/dev/null 2>&1 &
    sleep 6
    # The screen is black but for the box: trimming leaves the box alone.
    import -display "$DISPLAY" -window root -trim +repage "docs/$program.png"
    wineserver -k 2>/dev/null || true
    echo "wrote docs/$program.png"
done
