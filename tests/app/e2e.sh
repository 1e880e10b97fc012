#!/usr/bin/env bash
# End to end in a real X server: start mirelo on a photo, paint over the object in its
# centre with the mouse, erase with Ctrl+Return, check that Ctrl+Q asks before the result
# is lost and that Escape keeps the window, that the keyboard works after the question and
# after a menu closed with Escape, save with Ctrl+S through the dialog and check the
# written PNG.
#
#   e2e.sh MIRELO
set -euo pipefail
mirelo=$1
for tool in xvfb-run xdotool convert compare; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
trap '[ -n "${MIRELO_E2E_KEEP:-}" ] && cp "$work"/*.png "$MIRELO_E2E_KEEP"/ 2>/dev/null; rm -rf "$work"' EXIT
# A 640 x 480 gradient with a black square in the middle: the object to remove.
convert -size 480x640 gradient:'#4a7fc0-#d9b36a' -rotate 90 \
    -fill black -draw 'rectangle 308,228 332,252' -depth 8 \
    -define png:exclude-chunk=gAMA,cHRM,sRGB,bKGD "PNG24:$work/photo.png"

cat >"$work/drive.sh" <<'DRIVE'
set -euo pipefail
work=$1
mirelo=$2
export QT_QPA_PLATFORM=xcb
# Waits for a window whose title matches $1 and brings it to the front; prints its id.
raise() {
    local id=""
    for _ in $(seq 100); do
        id=$(xdotool search --name "$1" 2>/dev/null | head -n 1) && [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || return 1
    sleep 0.5
    xdotool windowactivate --sync "$id" 2>/dev/null || xdotool windowfocus --sync "$id"
    echo "$id"
}
"$mirelo" "$work/photo.png" >"$work/mirelo.log" 2>&1 &
pid=$!
win=$(raise '^photo.png — Mirelo$') || { echo "no window"; cat "$work/mirelo.log"; exit 1; }
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")" # X, Y, WIDTH, HEIGHT
# The photo is fitted and centred in the canvas, which lies between the toolbar and
# the bottom bar; their heights differ by a few pixels, so aim a little above centre.
cx=$((X + WIDTH / 2))
cy=$((Y + HEIGHT / 2 - 8))
# One stroke, zig-zagging over the object.
xdotool mousemove $((cx - 30)) $((cy - 16)) mousedown 1
for row in -16 0 16; do
    for dx in $(seq -30 6 30); do xdotool mousemove $((cx + dx)) $((cy + row)); sleep 0.02; done
done
xdotool mouseup 1
sleep 0.3
xdotool key ctrl+Return
# The title marks the unsaved result once the erase is in (slower on a loaded machine),
# and quitting asks about it; Escape answers Cancel.
for _ in $(seq 300); do
    xdotool search --name '^photo.png\* — Mirelo$' >/dev/null 2>&1 && break
    sleep 0.1
done
import -window root "$work/screen.png" 2>/dev/null || true
xdotool search --name '^photo.png\* — Mirelo$' >/dev/null || { echo "title not marked"; exit 1; }
xdotool key ctrl+q
raise '^Unsaved Picture$' >/dev/null || { echo "no question on quitting"; exit 1; }
xdotool key Escape
sleep 1
if xdotool search --name '^Unsaved Picture$' >/dev/null 2>&1; then echo "the question stayed"; exit 1; fi
kill -0 "$pid" 2>/dev/null && xdotool getwindowname "$win" >/dev/null 2>&1 ||
    { echo "Escape closed the window"; exit 1; }
# The window has the keyboard again by itself: there is no window manager to give it back.
xdotool key ctrl+q
for _ in $(seq 30); do xdotool search --name '^Unsaved Picture$' >/dev/null 2>&1 && break; sleep 0.1; done
xdotool search --name '^Unsaved Picture$' >/dev/null 2>&1 || { echo "Ctrl+Q after Cancel did not ask"; exit 1; }
xdotool key Escape
sleep 1
# A menu closed with Escape leaves the keys with the canvas: "]" grows the brush, which
# the bottom bar's slider and read-out show.
shot() { import -window root -crop "$1" "$work/$2" 2>/dev/null; }
same() { [ "$(compare -metric AE "$work/$1" "$work/$2" null: 2>&1)" = 0 ]; }
menu="300x200+$X+$((Y + 20))"                   # where the Image menu drops down
bar="$((WIDTH / 2))x40+$X+$((Y + HEIGHT - 40))" # the brush slider and its read-out
shot "$menu" menu-closed.png
xdotool key alt+i
sleep 0.5
shot "$menu" menu-open.png
same menu-closed.png menu-open.png && { echo "Alt+I opened no menu"; exit 1; }
xdotool key Escape
sleep 0.5
shot "$bar" bar-before.png
xdotool key bracketright
sleep 0.5
shot "$bar" bar-after.png
same bar-before.png bar-after.png && { echo '"]" after a menu did not grow the brush'; exit 1; }
xdotool key ctrl+s
raise '^Save as PNG — 640 × 480$' >/dev/null || { echo "no save dialog"; exit 1; }
xdotool key ctrl+a
xdotool type --delay 5 "$work/result.png"
xdotool key Return
for _ in $(seq 50); do [ -s "$work/result.png" ] && break; sleep 0.1; done
sleep 0.5
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
DRIVE

xvfb-run -a -s "-screen 0 1280x900x24" bash "$work/drive.sh" "$work" "$mirelo"
[ -s "$work/result.png" ] || { echo "no result.png was written"; exit 1; }
# The result has the photo's size, the black object in the centre is gone, and beyond the
# central third (plus the brush) not one pixel changed.
[ "$(identify -format %wx%h "$work/result.png")" = 640x480 ] || { echo "wrong size"; exit 1; }
changed=$(compare -metric AE "$work/photo.png" "$work/result.png" null: 2>&1 || true)
centre=$(convert "$work/result.png" -crop 1x1+320+240 -format '%[fx:int(255*(r+g+b))]' info:)
for f in photo result; do
    convert "$work/$f.png" -fill black -draw 'rectangle 107,80 533,400' "$work/$f-outside.png"
done
outside=$(compare -metric AE "$work/photo-outside.png" "$work/result-outside.png" null: 2>&1 || true)
echo "$changed pixels changed, $outside outside the stroke area, centre $centre"
[ "$changed" -gt 500 ] && [ "$outside" = 0 ] && [ "$centre" -gt 60 ]
