#!/usr/bin/env bash
# bench/run.sh [search|spotlight] [ARGS...]
# bench/run.sh soak [SECONDS] [--interval S]   (not part of the default run; 600 s unless given)
# bench/run.sh startup [--files N] [--reps N]   (not part of the default run)
# bench/run.sh answer [--reps N]               (not part of the default run: one 100 MB answer)
# Builds the server and the benchmarks, makes their data once into build/bench-data and runs
# them: both, one after the other, unless the first argument chooses one. Extra arguments go to
# the benchmark that runs (e.g. --reps 15; --only abcd is search_bench's, --pause spotlight_bench's).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORVANTEL_BUILD_DIR:-$root/build}"
which=all
case "${1:-}" in search | spotlight | soak | startup | answer) which="$1"; shift ;; esac
cmake -S "$root" -B "$build" -DQUORVANTEL_BENCH=ON >/dev/null
if [[ $which == soak ]]; then
  seconds=600
  if [[ ${1:-} =~ ^[0-9]+$ ]]; then seconds="$1"; shift; fi
  cmake --build "$build" -j"$(nproc)" --target quorvantel-server make_catalogs soak >/dev/null
  "$build/bench/make_catalogs" "$build/bench-data"
  exec "$build/bench/soak" --server "$build/quorvantel-server" --data "$build/bench-data" --seconds "$seconds" "$@"
fi
if [[ $which == startup ]]; then
  cmake --build "$build" -j"$(nproc)" --target quorvantel-server startup_bench >/dev/null
  exec "$build/bench/startup_bench" --server "$build/quorvantel-server" "$@"
fi
if [[ $which == answer ]]; then
  cmake --build "$build" -j"$(nproc)" --target quorvantel-server make_catalogs answer_bench >/dev/null
  "$build/bench/make_catalogs" "$build/bench-data"
  exec "$build/bench/answer_bench" --server "$build/quorvantel-server" --data "$build/bench-data" "$@"
fi
cmake --build "$build" -j"$(nproc)" --target quorvantel-server make_catalogs search_bench spotlight_bench >/dev/null
if [[ $which != spotlight ]]; then
  "$build/bench/make_catalogs" "$build/bench-data"
  "$build/bench/search_bench" --server "$build/quorvantel-server" --data "$build/bench-data" "$@"
fi
if [[ $which != search ]]; then
  "$build/bench/spotlight_bench" --server "$build/quorvantel-server" --data "$build/bench-data" "$@"
fi
