#!/usr/bin/env bash
# Installs what building and testing need on Debian, skipping what is already there.
set -euo pipefail

packages=(
    cmake make g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev python3 locales libssl-dev
    mingw-w64 wine wine64 pkg-config libhivex-dev libhivex-bin libcli11-dev xz-utils dpkg-dev sleuthkit
    libsimdjson-dev libxml2-dev
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_if_needed=()
    [ "$(id -u)" -eq 0 ] || sudo_if_needed=(sudo)
    "${sudo_if_needed[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_if_needed[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI and OEM code pages (932) from this locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "generating the ja_JP.UTF-8 locale"
    sudo_if_needed=()
    [ "$(id -u)" -eq 0 ] || sudo_if_needed=(sudo)
    "${sudo_if_needed[@]}" sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    "${sudo_if_needed[@]}" locale-gen >/dev/null
fi

# The end-to-end test runs the README's stacking query in DuckDB, the engine inside npm's
# @duckdb/node-api, at the version tests/duckdb/package-lock.json pins. Without npm or the
# registry the test says so and skips that check.
duckdb_test=$(dirname "$0")/../tests/duckdb
if [ ! -d "$duckdb_test/node_modules/@duckdb/node-api" ]; then
    if ! command -v npm >/dev/null; then
        echo "installing: nodejs npm"
        sudo_if_needed=()
        [ "$(id -u)" -eq 0 ] || sudo_if_needed=(sudo)
        "${sudo_if_needed[@]}" apt-get update -qq || true
        DEBIAN_FRONTEND=noninteractive "${sudo_if_needed[@]}" apt-get install -y -qq \
            --no-install-recommends nodejs npm >/dev/null || true
    fi
    if command -v npm >/dev/null; then
        echo "installing DuckDB for the tests (npm ci in tests/duckdb)"
        (cd "$duckdb_test" && npm ci --no-audit --no-fund --loglevel=error) ||
            echo "npm ci failed in tests/duckdb: the DuckDB check of the README's query will be skipped"
    fi
fi
