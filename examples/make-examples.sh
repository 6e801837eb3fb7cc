#!/usr/bin/env bash
# Makes the generated examples beside this script: sample-classes.hive, sample-user-classes.reg
# and the evidence volume evidence/ (with evidence-LICENSE.txt).
#
#   sample-classes.hive       a SOFTWARE-like hive (root with Classes and Microsoft) holding exactly
#                             the classes of sample-registry.reg, under Classes\CLSID;
#   sample-user-classes.reg   per-user classes (HKEY_CURRENT_USER\Software\Classes) to go with
#                             them, written as the registry editor exports: UTF-16LE with a byte
#                             order mark, CRLF line ends. Its text is below.
#
#   evidence/                 a small Windows 10 volume as a mounted image shows it: a sample of
#                             one stock machine's classes with their server files, two users, a
#                             few hijacks and one look-alike (tools/make_example_volume.py says
#                             which). Its classes come from an MIT-licensed table; its notice is
#                             evidence-LICENSE.txt. Needs ../shared/data/stock-classes/ beside the
#                             repository; without it the volume kept here is left as it is.
#
# All are deterministic: running this again gives the same bytes. Needs python3; checks the hive
# with hivexml (Debian package libhivex-bin) when it is installed.
set -euo pipefail
cd "$(dirname "$0")"
tools=../tools

python3 "$tools/make_classes.py" --from-reg sample-registry.reg --hive sample-classes.hive \
    >/dev/null
if command -v hivexml >/dev/null; then
    hivexml sample-classes.hive >/dev/null
fi

python3 -c '
import sys
text = sys.stdin.read().replace("\n", "\r\n")
sys.stdout.buffer.write(b"\xff\xfe" + text.encode("utf-16-le"))
' >sample-user-classes.reg <<'EOF'
Windows Registry Editor Version 5.00

; Per-user classes (a user's UsrClass.dat) to go with sample-registry.reg, the machine's classes.
;
; The class {A2C5E709-...} "Legacy Control" is almost bare on the machine: description,
; InprocServer32 with only its path, and a TypeLib whose value "legacyctl.tlb" is no braced
; identifier, so neither side alone is listed as bare. This user's classes register the same
; class again with a braced TypeLib value. In the merged view of HKEY_CLASSES_ROOT a value present
; on both sides comes from the user, so the class has its description and server path from the
; machine and its type library from the user: it is bare, and the merged view has exactly one
; bare finding more than the machine's classes alone (4 instead of 3). The made-up-name findings
; stay the same (3): "Legacy Control" is two words.
;
; The user's class key repeats the machine's description, so the outcome is the same where a key
; present on both sides shows the user's values only: the description is there, InprocServer32
; comes from the machine (the user has none), TypeLib from the user.
;
; Wine does not build the merged view (its HKEY_CLASSES_ROOT is the machine's classes alone):
; there, importing this file changes nothing that HKEY_CLASSES_ROOT\CLSID shows.

[HKEY_CURRENT_USER\Software\Classes]

[HKEY_CURRENT_USER\Software\Classes\CLSID]

[HKEY_CURRENT_USER\Software\Classes\CLSID\{A2C5E709-13BA-4506-A7AA-92F3B4D5F60A}]
@="Legacy Control"

[HKEY_CURRENT_USER\Software\Classes\CLSID\{A2C5E709-13BA-4506-A7AA-92F3B4D5F60A}\TypeLib]
@="{C4D6F81A-2B3C-4D5E-8F60-7A8B9C0D1E2F}"

EOF

# The merged view must have exactly one bare finding more than the machine's classes alone.
counts=$(python3 "$tools/make_classes.py" --from-reg sample-registry.reg \
    --user-reg sample-user-classes.reg)
echo "$counts"
bare_of() {
    awk -v title="$1:" '$0 == title { found = 1 } found && $1 == "all" { print $3; exit }'
}
machine_bare=$(bare_of "machine classes" <<<"$counts")
merged_bare=$(bare_of "merged view" <<<"$counts")
if [ "$merged_bare" != "$((machine_bare + 1))" ]; then
    echo "make-examples.sh: merged view has $merged_bare bare classes, machine $machine_bare" >&2
    exit 1
fi

stock=../../shared/data/stock-classes
if [ -f "$stock/xcyclopedia_COM.json.zip" ]; then
    python3 "$tools/make_example_volume.py" evidence --classes "$stock/xcyclopedia_COM.json.zip"
    cp "$stock/LICENSE" evidence-LICENSE.txt
    chmod u+w evidence-LICENSE.txt
else
    echo "make-examples.sh: no $stock; evidence/ left as it is" >&2
fi
