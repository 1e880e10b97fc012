#!/usr/bin/env bash
# Times Mirelo's start-up under Xvfb: from launch until the window is shown, median of
# RUNS runs.   bench/startup.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build}
runs=${2:-15}
echo "$(nproc) cores"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x900x24" \
    "$build/bench/startup-probe" "$runs" "$build/src/app/mirelo"
