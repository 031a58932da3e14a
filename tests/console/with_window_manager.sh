#!/usr/bin/env bash
# Runs a command on a virtual X display of its own, managed by openbox, as an operator's desktop
# would be: windows get frames and title bars, and the window manager places them and moves the
# keyboard focus. The X server takes a display number no other server holds, so that runs side by
# side never share a screen. Ends the display and the window manager with the command, and exits with
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

# A display number of its own. The X server's own search for a free number (-displayfd alone)
# tries numbers in use by other servers and can take their sockets from them for a moment, which
# fails clients connecting to them then: here the number is chosen by the lock files, far from the
# numbers other tools start at, and the runs on this machine choose one at a time.
start_display() {
    local n
    for n in $(seq $((300 + RANDOM % 500)) 999); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        rm -f "$work/display"
        mkfifo "$work/display"
        # With a number given, -displayfd only tells when the server takes clients.
        Xvfb ":$n" -displayfd 3 -screen 0 "${QV_SCREEN_SIZE:-1024x768x24}" -nolisten tcp \
            3>"$work/display" 2>"$work/xvfb.log" &
        xvfb=$!
        if read -r -t 30 number <"$work/display" && [ "$number" = "$n" ]; then return 0; fi
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
        xvfb=""
    done
    return 1
}
exec 9>"${TMPDIR:-/tmp}/quorvantel-x-display.lock"
flock 9
started=""
start_display && started=yes
flock -u 9
exec 9>&-
[ -n "$started" ] || fail "no X server that takes clients: $(cat "$work/xvfb.log")"
export DISPLAY=":$number"
unset WAYLAND_DISPLAY

# The defaults of the Debian package, and nothing of the user's own configuration. A window
# manager that could not reach the display at once is started again.
start_window_manager() {
    XDG_CONFIG_HOME="$work/config" openbox --sm-disable >"$work/openbox.log" 2>&1 &
    wm=$!
    for _ in $(seq 300); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return 0
        kill -0 "$wm" 2>/dev/null || break
        sleep 0.1
    done
    kill "$wm" 2>/dev/null || true
    wait "$wm" 2>/dev/null || true
    wm=""
    return 1
}
managed=""
for _ in $(seq 3); do
    if start_window_manager; then
        managed=yes
        break
    fi
done
[ -n "$managed" ] || fail "openbox did not take the display: $(cat "$work/openbox.log"); X server: $(cat "$work/xvfb.log")"

status=0
"$@" || status=$?
exit "$status"
