#!/usr/bin/env bash
# bench/hostile.sh [--server EXECUTABLE] [--only big,labels,lineends,generated,departed] [--scale F]
# Builds the server and the hostile client, makes the benchmark catalogs once into
# build/bench-data and runs the hostile scenarios, each against a fresh server: this build's,
# unless --server names another (an older build, to compare).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORVANTEL_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DQUORVANTEL_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvantel-server make_catalogs hostile >/dev/null
"$build/bench/make_catalogs" "$build/bench-data"
exec "$build/bench/hostile" --server "$build/quorvantel-server" --data "$build/bench-data" "$@"
