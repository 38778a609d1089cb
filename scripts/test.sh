#!/usr/bin/env bash
# Runs every test: unit and system tests on the debug build, then the same again on the
# address+undefined-sanitizer build, then each fuzz target for a minute under the sanitizers.
# Needs root (system tests make network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)
status=0
for preset in debug asan; do
    echo "=== ${preset}: build"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    echo "=== ${preset}: tests"
    if ! ctest --preset "${preset}" -j "${jobs}" --timeout 300; then
        status=1
    fi
done
echo "=== fuzz targets (sanitized, bounded time)"
if ! scripts/fuzz.sh 60; then
    status=1
fi
exit "${status}"
