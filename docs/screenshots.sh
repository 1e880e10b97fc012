#!/usr/bin/env bash
# Regenerates the window screenshots in docs/ under Xvfb: empty, a painted photo, an
# erase under way, compare mode, the question before an erased picture is lost, and a
# long message at the minimum window size.   docs/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
photo=$(mktemp -d)
trap 'rm -rf "$photo"' EXIT
convert /usr/share/doc/opencv-doc/examples/data/building.jpg -resize 2600x "$photo/building.png"
echo "not a picture" >"$photo/notes.txt"

cat >/tmp/mirelo-shots.sh <<'DRIVE'
set -euo pipefail
build=$1 photo=$2 out=$3
export QT_QPA_PLATFORM=xcb
shot() { sleep "${2:-0.5}"; import -window "$win" "$out/$1.png"; }
# The window with the dialogs and tooltips over it (there is no window manager here).
screen() {
    sleep "${2:-0.5}"
    eval "$(xdotool getwindowgeometry --shell "$win")"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/$1.png"
}
start() {
    "$build/src/app/mirelo" "$@" >/dev/null 2>&1 &
    pid=$!
    win=""
    for _ in $(seq 100); do
        win=$(xdotool search --onlyvisible --name '^(.* — )?Mirelo$' 2>/dev/null | head -n 1) && [ -n "$win" ] && break
        sleep 0.1
    done
    xdotool windowsize --sync "$win" 1100 760 2>/dev/null || true
    xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$win")"
}
waitfor() {
    for _ in $(seq 100); do
        xdotool search --name "$1" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
start
shot empty
kill "$pid"; wait "$pid" 2>/dev/null || true

start "$photo/building.png"
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
# Quitting asks first; Escape keeps the window.
xdotool key ctrl+q
waitfor '^Unsaved Picture$'
screen question 1
xdotool key Escape
kill "$pid"; wait "$pid" 2>/dev/null || true

# A file that is no picture, at the smallest window size, with the message's tooltip.
start "$photo/building.png"
min=$(xprop -id "$win" WM_NORMAL_HINTS | sed -n 's/.*minimum size: \([0-9]*\) by \([0-9]*\).*/\1 \2/p')
xdotool windowsize --sync "$win" $min 2>/dev/null || true
# In the bottom right corner of the screen, so that the tooltip opens over the window.
xdotool windowmove --sync "$win" $((1280 - ${min% *})) $((900 - ${min#* }))
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool key ctrl+o
waitfor '^Open$'
sleep 0.5
xdotool key ctrl+a
xdotool type --delay 5 "$photo/notes.txt"
xdotool key Return
sleep 1
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
xdotool mousemove $((X + WIDTH - 70)) $((Y + HEIGHT - 20))
sleep 0.2
xdotool mousemove $((X + WIDTH - 60)) $((Y + HEIGHT - 22))
screen message 2
kill "$pid"; wait "$pid" 2>/dev/null || true
DRIVE
xvfb-run -a -s "-screen 0 1280x900x24" bash /tmp/mirelo-shots.sh "$build" "$photo" docs
