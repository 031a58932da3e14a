#!/usr/bin/env bash
# bench/hostile.sh [time|memory|all] [--only NAME] [--server EXECUTABLE]
# Builds the server and hostile_bench, makes the hostile catalogs once into
# build/bench-data/hostile and runs the requests built to wear the server down, each on a freshly
# started server: the time a request naming ten catalogs holds the worker, and the server's peak
# memory after requests over catalogs whose own schema makes fat values. --server runs another
# build of the server (e.g. an older one, for figures before and after a change).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORVANTEL_BUILD_DIR:-$root/build}"
mode=all
case "${1:-}" in time | memory | all) mode="$1"; shift ;; esac
server="$build/quorvantel-server"
args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --server) server="$2"; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
cmake -S "$root" -B "$build" -DQUORVANTEL_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvantel-server hostile_bench >/dev/null
exec "$build/bench/hostile_bench" --server "$server" --data "$build/bench-data" --mode "$mode" "${args[@]}"
