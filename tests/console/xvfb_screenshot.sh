#!/usr/bin/env bash
# Runs the server of BUILD_DIR on a virtual X display (Xvfb, no window manager, so windows
# have no frames), writes a picture of the screen to BUILD_DIR/console-screenshot.png, and
# checks that the console window "Databases" and the log window "Server log" are shown with
# the log window 10 pixels right of the console and at its top. Then SIGTERM must end the
# server with status 0. Needs the Debian packages xvfb, xauth and x11-utils.
# Usage: tests/console/xvfb_screenshot.sh BUILD_DIR
set -euo pipefail

if [ "${1:-}" != "--on-display" ]; then
    if [ $# -ne 1 ] || [ ! -d "$1" ]; then
        echo "usage: $0 BUILD_DIR" >&2
        exit 2
    fi
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-display "$(cd "$1" && pwd)"
fi

build=$2
server=$build/quorvantel-server
grab=$build/tests/console/screen_grab
shot=$build/console-screenshot.png

fail() {
    echo "xvfb_screenshot: $*" >&2
    exit 1
}

for tool in "$server" "$grab"; do
    [ -x "$tool" ] || fail "$tool is missing: build the targets quorvantel-server and screen_grab first"
done

work=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A port nothing answers on: bash itself tries to connect.
port=""
for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || fail "no free port found"

mkdir "$work/app"
cat >"$work/app/preferences-server.xml" <<SETTINGS
<?xml version="1.0" encoding="UTF-8" standalone="no" ?>

<settings>
     <variable name="port" value="$port" />
</settings>
SETTINGS

QUORVANTEL_APP_FOLDER="$work/app" QT_QPA_PLATFORM=xcb "$server" >"$work/server.stdout" 2>"$work/server.out" &
pid=$!

started=""
for _ in $(seq 300); do
    if grep -qs "START ---- server is ready" "$work"/app/logs/*.log; then
        started=yes
        break
    fi
    kill -0 "$pid" 2>/dev/null || fail "the server ended early: $(cat "$work/server.out")"
    sleep 0.1
done
[ -n "$started" ] || fail "no START line in the log"

# Width, height, left and top (on the root window) of the window of that title.
frame() {
    xwininfo -root -tree | grep -F "\"$1\": (" | head -n 1 |
        sed -E 's/.* ([0-9]+)x([0-9]+)[+-]-?[0-9]+[+-]-?[0-9]+ +\+(-?[0-9]+)\+(-?[0-9]+).*/\1 \2 \3 \4/'
}

# The log window is moved once both windows are up; give the X server a moment to follow.
placed=""
for _ in $(seq 50); do
    read -r cw ch cx cy <<<"$(frame Databases)" || true
    read -r lw lh lx ly <<<"$(frame "Server log")" || true
    if [ -n "${cx:-}" ] && [ -n "${lx:-}" ] && [ "$lx" -eq $((cx + cw + 10)) ] && [ "$ly" -eq "$cy" ]; then
        placed=yes
        break
    fi
    sleep 0.1
done
[ -n "${cx:-}" ] || fail "no window \"Databases\""
[ -n "${lx:-}" ] || fail "no window \"Server log\""
for title in Databases "Server log"; do
    xwininfo -name "$title" | grep -q "Map State: IsViewable" || fail "window \"$title\" is not shown"
done

# The log window shows its lines in batches, a moment after they are logged.
sleep 0.5
"$grab" "$shot" || fail "no screenshot"

[ -n "$placed" ] || fail "log window at $lx,$ly (${lw}x$lh), expected $((cx + cw + 10)),$cy beside the console at $cx,$cy (${cw}x$ch)"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "the server ended with status $status after SIGTERM"
grep -qs "QUIT ---- Quorvantel server quit" "$work"/app/logs/*.log || fail "no QUIT line in the log"
# With a display the log window is seen; its lines go to standard output only headless.
[ ! -s "$work/server.stdout" ] || fail "log lines on standard output with a display: $(head -3 "$work/server.stdout")"

echo "console at $cx,$cy (${cw}x$ch), log window at $lx,$ly (${lw}x$lh); screenshot: $shot"
