#!/usr/bin/env bash
# The main job: qzel_avbd in a network namespace whose eth0 and eth1 are veth ends, a peer
# namespace sending it frames, the daemon's syslog records as they arrive, then SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qzel_avbd_sim qzel_host_ctl qzel_avdecc_ctl qzel_netdemo >/dev/null
exec build/release/tests/system/qzel_netdemo
