#!/usr/bin/env bash
# Times whole command-line runs of mirelo-erase and of OpenCV's Telea inpainting
# (telea-erase, radius 3) on the benchmark photo and its three masks, side by side.
# Each figure is the median wall time of RUNS runs, decoding and encoding included.
#
#   bench/erase_vs_telea.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR must be configured with the benchmarks on and libopencv-dev installed.
set -euo pipefail
build=${1:-build-bench}
runs=${2:-7}
data=$build/bench-data
[ -x "$build/bench/telea-erase" ] || { echo "no $build/bench/telea-erase (install libopencv-dev and reconfigure)"; exit 1; }
[ -f "$data/photo.png" ] || "$build/bench/make-bench-images" "$data"

median_ms() { # command...
    local times=()
    for _ in $(seq "$runs"); do
        local t0 t1
        t0=$(date +%s%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s%N)
        times+=($(((t1 - t0) / 1000000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

echo "$(nproc) cores; photo 3072 x 2048; median of $runs runs, wall ms"
printf '%-22s %10s %10s %10s %8s\n' case mirelo-1t mirelo-2t telea ratio-2t
for mask in thin_stroke_8x1500 feathered_disc_300 blob_700x500; do
    m1=$(median_ms "$build/src/cli/mirelo-erase" "$data/photo.png" "$data/$mask.png" -o "$data/out-m.png" --threads 1)
    m2=$(median_ms "$build/src/cli/mirelo-erase" "$data/photo.png" "$data/$mask.png" -o "$data/out-m.png" --threads 2)
    t=$(median_ms "$build/bench/telea-erase" "$data/photo.png" "$data/$mask.png" -o "$data/out-t.png")
    printf '%-22s %10s %10s %10s %8s\n' "$mask" "$m1" "$m2" "$t" "$(awk -v a="$m2" -v b="$t" 'BEGIN { printf "%.2f", a / b }')"
done
