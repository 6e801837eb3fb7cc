#!/usr/bin/env bash
# Installs what is missing, then runs every test: unit tests with g++, the same with clang++
# under ASan and UBSan, short fuzzing runs over a kept corpus, the Windows x86_64 programs end to
# end under Wine, and the i686 programs built and checked.
set -uo pipefail
cd "$(dirname "$0")/.."

# A fresh machine has none of the tools: install what is missing (a no-op when all is there).
tools/install-deps.sh || exit 1

passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in native sanitize fuzz windows-x64 windows-x86; do
    echo "=== $preset"
    if ! cmake --workflow --preset "$preset" 2>&1 | tee "$log"; then
        grep -q 'tests failed out of' "$log" || failed=$((failed + 1)) # a build failure
    fi
    summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$summary" ]; then
        bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
        all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
        passed=$((passed + all - bad))
        failed=$((failed + bad))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
