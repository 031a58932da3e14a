#!/usr/bin/env bash
# Builds the server and the benchmark, makes the catalogs once into build/bench-data, runs it.
# Extra arguments go to search_bench (e.g. --reps 15).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORVANTEL_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DQUORVANTEL_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvantel-server make_catalogs search_bench >/dev/null
"$build/bench/make_catalogs" "$build/bench-data"
exec "$build/bench/search_bench" --server "$build/quorvantel-server" --data "$build/bench-data" "$@"
