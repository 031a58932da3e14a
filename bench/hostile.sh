#!/usr/bin/env bash
# bench/hostile.sh [--server EXECUTABLE] [--only big,labels,lineends,generated,departed] [--scale F]
#   the hostile clients: big answers, flooding labels, schema-made fat values, departed clients
# bench/hostile.sh time|memory|all [--only NAME] [--server EXECUTABLE]
#   the hostile catalogs: how long a request naming ten of them holds the worker, also with a
#   file-name search of 500 000 hits after them (time), and the server's peak memory after
#   requests over catalogs whose own schema makes fat values or that hold millions of empty
#   disks (memory)
# Builds what it needs, makes the data once into build/bench-data and runs each scenario against
# a freshly started server: this build's, unless --server names another (an older build, to
# compare before and after a change).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORVANTEL_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DQUORVANTEL_BENCH=ON >/dev/null
case "${1:-}" in
  time | memory | all)
    mode="$1"; shift
    server="$build/quorvantel-server"
    args=()
    while [[ $# -gt 0 ]]; do
      case "$1" in
        --server) server="$2"; shift 2 ;;
        *) args+=("$1"); shift ;;
      esac
    done
    cmake --build "$build" -j"$(nproc)" --target quorvantel-server hostile_bench >/dev/null
    exec "$build/bench/hostile_bench" --server "$server" --data "$build/bench-data" --mode "$mode" "${args[@]}"
    ;;
esac
cmake --build "$build" -j"$(nproc)" --target quorvantel-server make_catalogs hostile >/dev/null
"$build/bench/make_catalogs" "$build/bench-data"
exec "$build/bench/hostile" --server "$build/quorvantel-server" --data "$build/bench-data" "$@"
