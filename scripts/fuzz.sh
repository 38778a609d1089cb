#!/usr/bin/env bash
# Builds the fuzz targets with address and undefined-behaviour sanitizers and runs each for a
# bounded time (seconds, default 60) over a scratch copy of its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
status=0
for pair in "fuzz_avdecc_receive:frames" "fuzz_entity_json:json"; do
    target="${pair%%:*}"
    corpus="${work}/${pair##*:}"
    cp -r "fuzz/seeds/${pair##*:}" "${corpus}"
    echo "=== fuzz: ${target} for ${seconds} s"
    if ! "build/fuzz/fuzz/${target}" -max_total_time="${seconds}" -print_final_stats=1 \
        "${corpus}" 2>"${work}/${target}.log"; then
        status=1
        tail -n 40 "${work}/${target}.log"
    fi
    grep -E "^(Done|stat::number_of_executed_units)" "${work}/${target}.log" || true
done
exit "${status}"
