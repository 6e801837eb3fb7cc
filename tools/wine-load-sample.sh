#!/usr/bin/env bash
# Makes the Wine prefix $WINEPREFIX if needed and replaces its HKEY_CLASSES_ROOT\CLSID with a
# registry file of ours (UTF-8 .reg, default examples/sample-registry.reg).
set -euo pipefail
cd "$(dirname "$0")/.."
: "${WINEPREFIX:?set WINEPREFIX to a prefix under build/}"
registry=${1:-examples/sample-registry.reg}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8

if [ ! -d "$WINEPREFIX" ]; then
    wine wineboot -i >/dev/null 2>&1
    # With no window manager, Wine draws the caption bar only of windows it manages itself.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
fi
# reg import wants UTF-16 with a byte-order mark and CR LF line ends.
python3 - "$registry" "$WINEPREFIX/drive_c/import.reg" <<'PY'
import sys
text = open(sys.argv[1], encoding="utf-8").read().replace("\n", "\r\n")
open(sys.argv[2], "wb").write(b"\xff\xfe" + text.encode("utf-16-le"))
PY
wine reg delete 'HKLM\Software\Classes\CLSID' /f >/dev/null 2>&1 || true
wine reg import 'C:\import.reg' >/dev/null 2>&1
