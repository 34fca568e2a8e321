#!/usr/bin/env bash
# Builds and runs every benchmark of bench/ (Release).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
# The demo may have configured this tree without the benchmarks.
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DVBZ_BUILD_BENCH=ON
for b in build/release/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $b =="
  "$b" "$@"
done
