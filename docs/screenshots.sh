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
# Paint over the lamp post in front of the building.
for _ in 1 2 3 4; do xdotool key bracketright; done
cx=$((X + WIDTH * 47 / 100)) cy=$((Y + HEIGHT * 40 / 100))
xdotool mousemove "$cx" "$cy" mousedown 1
for dy in $(seq 0 6 150); do xdotool mousemove $((cx + dy / 10)) $((cy + dy)); sleep 0.01; done
xdotool mouseup 1
xdotool mousemove $((cx + 160)) $((cy + 40))
shot painted
xdotool key ctrl+Return
shot erasing 0.25
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
