#!/usr/bin/env bash
# Runs the server of BUILD_DIR on a desktop of its own (with_window_manager.sh: Xvfb managed by
# openbox) as an operator meets it: three catalogs registered from the preferences database, one
# of them a default database, one unticked for search with a real click, and a few clients'
# requests in the log. Checks that the console window "Databases" and the log window "Server log"
# are shown with the log window's frame 10 pixels right of the console's and at its top, and that
# the unticked catalog is no longer offered to clients; writes a picture of the two windows to
# BUILD_DIR/console-screenshot.png. Then SIGTERM must end the server with status 0.
# Needs the Debian packages of with_window_manager.sh, xdotool and sqlite3.
# Usage: tests/console/xvfb_screenshot.sh BUILD_DIR
set -euo pipefail

if [ "${1:-}" != "--on-display" ]; then
    if [ $# -ne 1 ] || [ ! -d "$1" ]; then
        echo "usage: $0 BUILD_DIR" >&2
        exit 2
    fi
    # Wide enough for both windows beside each other where the window manager puts the console.
    export QV_SCREEN_SIZE=1600x900x24
    exec "$(dirname "$0")/with_window_manager.sh" "$0" --on-display "$(cd "$1" && pwd)"
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
for tool in xdotool xwininfo xprop sqlite3; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-dependencies.sh"
done

work=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A port nothing answers on: bash itself tries to connect. Below the system's range of ports for
# outgoing connections, where a client of another test may hold the port without answering on it.
port=""
for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || fail "no free port found"

mkdir "$work/app" "$work/catalogs"
cat >"$work/app/preferences-server.xml" <<SETTINGS
<?xml version="1.0" encoding="UTF-8" standalone="no" ?>

<settings>
     <variable name="port" value="$port" />
</settings>
SETTINGS

# Catalogs as the catalog application writes them: the disks, and the files on them.
catalog() {
    local file=$1 disk=$2
    shift 2
    local sql="CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd);
        INSERT INTO disks VALUES(1, 'hfs', '$disk', '$disk', '/Volumes/$disk/', 3786825600);
        CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
    local name
    for name in "$@"; do
        sql="$sql INSERT INTO paths VALUES('/Volumes/$disk/', '$name', '0', 1, 4096, 3786825600, 3786825600, '1', '', '');"
    done
    sqlite3 "$work/catalogs/$file" "$sql"
}
catalog "Archive 2019.vxo" "Archive 2019" "beach.jpg" "beach-2.jpg" "taxes.pdf"
catalog "Music.vxo" "Music" "beach boys - surfin.mp3" "bach - goldberg.flac"
catalog "Photos.vxo" "Photos" "beach at dusk.tif" "harbour.tif"
# The preferences database beside the application's folder: one default database, and the folder
# whose catalogs are registered at start-up.
sqlite3 "$work/preferences" "CREATE TABLE DefDBs(paths TEXT); CREATE TABLE dbTarget(path TEXT);
    CREATE TABLE useDefDBs(io INTEGER); INSERT INTO DefDBs VALUES('$work/catalogs/Photos.vxo');
    INSERT INTO dbTarget VALUES('$work/catalogs'); INSERT INTO useDefDBs VALUES(1);"

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

# One request, as a client sends it; prints the answer.
request() {
    local answer="" piece
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf '%s' "$1" >&3
    # The server keeps the connection open: read up to the end of the answer.
    while [[ $answer != *"</answer>"* && $answer != *"</result>"* ]] &&
        IFS= read -r -d '' -n 1 -t 5 -u 3 piece; do
        answer+=$piece
    done
    exec 3<&-
    printf '%s' "$answer"
}

# The window of that title, and its frame (width, height, left, top) on the root window: the
# window's own place widened by the frame the window manager draws around it.
window() { xdotool search --onlyvisible --name "^$1\$" | head -n 1; }
frame() {
    local id info x y w h l r t b
    id=$(window "$1")
    [ -n "$id" ] || return 1
    info=$(xwininfo -id "$id")
    x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
    y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
    w=$(sed -n 's/.*Width: *//p' <<<"$info")
    h=$(sed -n 's/.*Height: *//p' <<<"$info")
    IFS=', ' read -r l r t b <<<"$(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //')"
    echo "$((w + l + r)) $((h + t + b)) $((x - l)) $((y - t))"
}

# The log window is placed once the window manager has placed the console.
placed=""
for _ in $(seq 100); do
    read -r cw ch cx cy <<<"$(frame Databases)" || true
    read -r lw lh lx ly <<<"$(frame "Server log")" || true
    if [ -n "${cx:-}" ] && [ -n "${lx:-}" ] && [ "$lx" -eq $((cx + cw + 10)) ] && [ "$ly" -eq "$cy" ]; then
        placed=yes
        break
    fi
    sleep 0.1
done
[ -n "${cx:-}" ] || fail "no window \"Databases\": $(xwininfo -root -tree)"
[ -n "${lx:-}" ] || fail "no window \"Server log\": $(xwininfo -root -tree)"
[ -n "$placed" ] || fail "log window frame at $lx,$ly (${lw}x$lh), expected $((cx + cw + 10)),$cy beside the console frame at $cx,$cy (${cw}x$ch)"

# "Music.vxo", the second row, leaves the search: a click on its "search" box. The list stands
# 20, 14 into the content area, under the menu bar; its rows are 16 pixels high under the heading,
# and the box sits at the start of the column that begins at 70% of the list's width.
client=$(xwininfo -id "$(window Databases)")
ax=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$client")
ay=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$client")
ah=$(sed -n 's/.*Height: *//p' <<<"$client")
menu_bar=$((ah - 450))
heading=21
xdotool mousemove $((ax + 20 + 2 + 306 * 70 / 100 + 10)) $((ay + menu_bar + 14 + 2 + heading + 16 + 8)) click 1
listed=""
for _ in $(seq 50); do
    list=$(request "screenshot]':'[vaxo-getlist]':'[2.4]':'[studio-imac")
    if grep -q 'Archive 2019.vxo' <<<"$list" && ! grep -q 'Music.vxo' <<<"$list"; then
        listed=yes
        break
    fi
    sleep 0.1
done
[ -n "$listed" ] || fail "the click did not take Music.vxo out of the search: $list"

request "screenshot]':'[vaxo-ping]':'[2.4]':'[studio-imac" >/dev/null
request "screenshot]':'[vaxo-ping]':'[2.3]':'[office-mini" >/dev/null
both="$work/catalogs/Archive 2019.vxo::$work/catalogs/Photos.vxo"
answer=$(request "screenshot]':'[vaxo-search]':'[2.4]':'[studio-imac]':'[]':'[$both]':'[name LIKE '%beach%']':'[]':'[")
grep -q 'beach at dusk' <<<"$answer" || fail "no search answer: $answer"
request "screenshot]':'[vaxo-search]':'[2.3]':'[office-mini]':'[]':'[$both]':'[size > 1000000]':'[]':'[" >/dev/null

# The console as the operator leaves it: in front, with the keyboard.
xdotool windowactivate --sync "$(window Databases)"
# The log window shows its lines in batches, a moment after they are logged.
sleep 0.5
left=$((cx - 10))
top=$((cy - 10))
"$grab" "$shot" "$((lx + lw + 10 - left))x$((ch + 20))+$left+$top" || fail "no screenshot"

for title in Databases "Server log"; do
    xwininfo -id "$(window "$title")" | grep -q "Map State: IsViewable" || fail "window \"$title\" is not shown"
done

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "the server ended with status $status after SIGTERM"
grep -qs "QUIT ---- Quorvantel server quit" "$work"/app/logs/*.log || fail "no QUIT line in the log"
# With a display the log window is seen; its lines go to standard output only headless.
[ ! -s "$work/server.stdout" ] || fail "log lines on standard output with a display: $(head -3 "$work/server.stdout")"

echo "console frame at $cx,$cy (${cw}x$ch), log window frame at $lx,$ly (${lw}x$lh); screenshot: $shot"
