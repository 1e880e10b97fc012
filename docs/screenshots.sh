#!/usr/bin/env bash
# Regenerates the window screenshots in docs/ under Xvfb: empty, a painted photo, an
# erase under way and compare mode.   docs/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
photo=$(mktemp --suffix=.png)
trap 'rm -f "$photo"' EXIT
convert /usr/share/doc/opencv-doc/examples/data/building.jpg -resize 2600x "$photo"

cat >/tmp/mirelo-shots.sh <<'DRIVE'
set -euo pipefail
build=$1 photo=$2 out=$3
export QT_QPA_PLATFORM=xcb
shot() { sleep "${2:-0.5}"; import -window "$win" "$out/$1.png"; }
start() {
    "$build/src/app/mirelo" "$@" >/dev/null 2>&1 &
    pid=$!
    win=""
    for _ in $(seq 100); do
        win=$(xdotool search --name '^Mirelo$' 2>/dev/null | head -n 1) && [ -n "$win" ] && break
        sleep 0.1
    done
    xdotool windowsize --sync "$win" 1100 760 2>/dev/null || true
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$win")"
}
start
shot empty
kill "$pid"; wait "$pid" 2>/dev/null || true

start "$photo"
# Paint over the road sign and the car in the bottom left corner with a larger brush.
for _ in 1 2 3 4 5 6; do xdotool key bracketright; done
x0=$((X + WIDTH * 170 / 1000)) y0=$((Y + HEIGHT * 755 / 1000))
xdotool mousemove "$x0" "$y0" mousedown 1
for d in $(seq 0 4 110); do xdotool mousemove $((x0 + d)) $((y0 + d / 5)); sleep 0.01; done
xdotool mouseup 1
xdotool mousemove $((x0 + 350)) $((y0 - 200))
shot painted
xdotool key ctrl+Return
shot erasing 0.1
sleep 4
xdotool mousemove $((X + WIDTH / 2)) $((Y + 10))
xdotool key ctrl+0
shot erased
# Compare is the fourth toolbar button.
xdotool mousemove $((X + 186)) $((Y + 45)) click 1
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
shot compare
kill "$pid"; wait "$pid" 2>/dev/null || true
DRIVE
xvfb-run -a -s "-screen 0 1280x900x24" bash /tmp/mirelo-shots.sh "$build" "$photo" docs
