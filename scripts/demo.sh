#!/usr/bin/env bash
# The main job: build the SDK and run the example application.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
./build/release/examples/vibrenza_log_demo
