#!/usr/bin/env bash
# build.sh <build-dir> [extra cmake args...]: configure and build with Ninja.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$1"; shift
cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "${VBZ_JOBS:-$(nproc)}"
