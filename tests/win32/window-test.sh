#!/usr/bin/env bash
# The Win32 window under Wine, as a user meets it: its title and size, a button's outline and
# face and its hover look, a view switch, an entry added and refused from the entry box and
# deleted from the list's menu, all through real clicks and keys; the notification icon, which
# brings the minimised window back; one window for a second start; the rule lists saved when it
# closes. Runs on the X server scripts/wine-tests made, with a notification area of its own.
# Arguments: the build's wine-run, quarnel.exe, WindowProbe.exe.
set -euo pipefail
wine_run=$1 program=$2 probe_exe=$3
work=$(mktemp -d)
source "$(dirname "$0")/ProgramDriving.sh"
program_pid='' trayer_pid=''

# The centre of a control on the screen: "X Y".
where() { probe where "$@"; }
click() { xdotool mousemove --sync "$1" "$2" click "${3:-1}"; }
shoot() { import -window root "$work/shot.png"; }
# The colour of the screen's pixel X Y in the latest screenshot, as #RRGGBB.
pixel() { convert "$work/shot.png" -crop "1x1+$1+$2" -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}' | head -1; }
pixel_is() { shoot && [[ $(pixel "$1" "$2") == "$3" ]]; }
on_failure() {
    if [[ -f $work/shot.png ]]; then
        cp "$work/shot.png" "${TMPDIR:-/tmp}/quarnel-window-failed.png"
        echo "last screenshot: ${TMPDIR:-/tmp}/quarnel-window-failed.png" >&2
    fi
}
cleanup() {
    end_program
    if [[ -n $trayer_pid ]]; then kill "$trayer_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A first start: nothing stored.
"$wine_run" reg delete 'HKCU\Software\Quarnel' /f >/dev/null 2>&1 || true
trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true \
    >/dev/null 2>&1 &
trayer_pid=$!
eventually xdotool search --class trayer || fail "no notification area"
"$wine_run" "$program" &
program_pid=$!

title='Virel Quarnel v.1.2   (build 38)'
eventually shows "heading: Current Connections" || fail "the window did not come up"
shows "title: $title" || fail "title"
shows "client: 564 518" || fail "client area"
xid=$(xdotool search --name "^Virel Quarnel v\\.1\\.2   \\(build 38\\)\$" | head -1)
geometry=$(xwininfo -id "$xid")
if ! grep -q 'Width: 564' <<<"$geometry" || ! grep -q 'Height: 518' <<<"$geometry"; then
    fail "X window size: $geometry"
fi
shows "checks: 1 1" || fail "both filters start checked"
shows "editing: 0 0" || fail "no editing in the connection view"

step "the note that it only shows connections"
# Under Wine nothing can be closed: the program says so in a box that holds nothing.
eventually shows "note: 1" || fail "no word that it only shows connections"
read -r x y < <(probe where-note-ok)
click "$x" "$y"
eventually shows "note: 0" || fail "the note did not go"

step "a button's look and hover"
# A button: the dark blue outline one pixel in, white at the top of the face, lavender at the
# bottom; yellow inside the outline while the pointer is over it, and back within a tick after
# it left.
read -r cx cy < <(where cmdCurrentConnections)
top=$((cy - 16)) bottom=$((cy + 16))
xdotool mousemove --sync 5 5
eventually pixel_is "$cx" $((top + 1)) '#003C74' || fail "outline: $(pixel "$cx" $((top + 1)))"
[[ $(pixel "$cx" $((top + 2))) == '#F3F3EE' ]] || fail "idle ring: $(pixel "$cx" $((top + 2)))"
face_top=$(pixel $((cx - 80)) $((top + 6))) face_bottom=$(pixel $((cx - 80)) $((bottom - 6)))
red() { echo $((16#${1:1:2})); }
blue() { echo $((16#${1:5:2})); }
(($(red "$face_top") >= 0xE8 && $(blue "$face_top") >= 0xE8)) || fail "face top $face_top"
(($(red "$face_bottom") <= 0xDA && $(blue "$face_bottom") - $(red "$face_bottom") >= 10)) ||
    fail "face bottom $face_bottom"
xdotool mousemove --sync $((cx - 60)) "$cy"
eventually pixel_is "$cx" $((top + 2)) '#FFF0CF' || fail "hover: $(pixel "$cx" $((top + 2)))"
read -r lx ly < <(where lstMain)
xdotool mousemove --sync "$lx" "$ly"
eventually pixel_is "$cx" $((top + 2)) '#F3F3EE' || fail "hover did not end"

step "a view switch"
# A view switch by a click.
read -r x y < <(where cmdBlockedLocal)
click "$x" "$y"
eventually shows "heading: Blocked Local Ports" || fail "view switch"
shows "editing: 1 1" || fail "editing in a rule list's view"

step "an entry added and one refused"
# An entry typed and added by Enter, kept; one past the ports refused with its message.
read -r x y < <(where txtItem)
click "$x" "$y"
xdotool type --delay 40 '6885'
xdotool key Return
eventually shows "item: 6885" || fail "entry not added"
eventually stored "BlockedLocalPortsString: 6885" || fail "entry not saved"
click "$x" "$y"
xdotool key End type --delay 40 '0000'
xdotool key Return
eventually shows "box: This is not a valid port number." || fail "no refusal for 68850000"
read -r bx by < <(probe where-box-ok)
click "$bx" "$by"
eventually bash -c "! \"$wine_run\" \"$probe_exe\" state | grep -q '^box:'" || fail "box stayed"
shows "items: 1" || fail "a refused entry was added"

step "deleting an entry"
# Deleted from the list's menu: selected, right-clicked, Delete.
read -r x y < <(probe where-item 0)
click "$x" "$y"
eventually shows "selected: 0" || fail "entry not selected"
click "$x" "$y" 3
sleep 0.5
xdotool mousemove_relative --sync 20 8 click 1
eventually shows "items: 0" || fail "entry not deleted"
eventually stored "BlockedLocalPortsString: " || fail "deletion not saved"

step "the notification icon"
# The notification icon, docked in the area; minimised, the window hides, and a click on the
# icon brings it back.
panel=$(xdotool search --name '^panel$' | head -1)
icon=$(xwininfo -children -id "$panel" | awk '/^ +0x/ && $0 !~ / 1x1\+/ { print $1; exit }')
[[ -n $icon ]] || fail "no notification icon"
read -r ix iy < <(xwininfo -id "$icon" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
    /Width/ {w=$2} /Height/ {h=$2} END { print x + int(w / 2), y + int(h / 2) }')
probe minimise
eventually shows "visible: 0" || fail "a minimised window stays on screen"
click "$ix" "$iy"
eventually shows "visible: 1" || fail "the icon did not bring the window back"
shows "minimised: 0" || fail "brought back minimised"

step "a second start"
# A second start leaves one window.
timeout 60 "$wine_run" "$program" || fail "a second start failed"
shows "windows: 1" || fail "two windows"

step "closing"
# Closing saves the rule lists: the first start's.
close_program || fail "the program did not end"
stored "AllowedIPString: 127.0.0.1,::1" || fail "the allowed list was not saved"
stored "BlockedRemotePortsString: " || fail "the remote ports were not saved"
echo "the window looks and works as it should"
