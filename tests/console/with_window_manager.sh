#!/usr/bin/env bash
# Runs a command on a virtual X display of its own, managed by openbox, as an operator's desktop
# would be: windows get frames and title bars, and the window manager places them and moves the
# keyboard focus. The X server takes the first free display number, so that runs side by side
# never share a screen. Ends the display and the window manager with the command, and exits with
# the command's status. The screen is 1024x768 pixels at 24 bits, or as QV_SCREEN_SIZE says
# (WIDTHxHEIGHTxDEPTH). Needs the Debian packages xvfb, openbox and x11-utils.
# Usage: tests/console/with_window_manager.sh COMMAND [ARGUMENT...]
set -euo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi

fail() {
    echo "with_window_manager: $*" >&2
    exit 1
}

for tool in Xvfb openbox xprop; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-dependencies.sh"
done

work=$(mktemp -d)
xvfb=""
wm=""
cleanup() {
    if [ -n "$wm" ]; then kill "$wm" 2>/dev/null || true; wait "$wm" 2>/dev/null || true; fi
    if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# -displayfd: the server picks a free display number and writes it once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 "${QV_SCREEN_SIZE:-1024x768x24}" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
read -r -t 30 number <"$work/display" || fail "the X server did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$number"
unset WAYLAND_DISPLAY

# The defaults of the Debian package, and nothing of the user's own configuration.
XDG_CONFIG_HOME="$work/config" openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm=$!
managed=""
for _ in $(seq 300); do
    if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
        managed=yes
        break
    fi
    kill -0 "$wm" 2>/dev/null || fail "openbox ended: $(cat "$work/openbox.log")"
    sleep 0.1
done
[ -n "$managed" ] || fail "openbox did not take the display"

status=0
"$@" || status=$?
exit "$status"
