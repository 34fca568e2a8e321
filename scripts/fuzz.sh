#!/usr/bin/env bash
# fuzz.sh: builds and runs the libFuzzer targets of tests/fuzz/ (clang,
# ASan+UBSan) in build/fuzz.
#
#   fuzz.sh build               builds the targets
#   fuzz.sh smoke [SECONDS]     each target for SECONDS (default 30) from its
#                               seeds only, all at once (or VBZ_FUZZ_JOBS at
#                               a time); part of the test
#                               command; skipped (exit 0) without a clang
#                               that can link libFuzzer
#   fuzz.sh run SECONDS [TARGET...]
#                               a campaign: each target (default all) for
#                               SECONDS, at most VBZ_FUZZ_JOBS (default 2)
#                               at a time, niced; new inputs are kept in
#                               build/fuzz-corpus/<target>, crashes in
#                               build/fuzz-artifacts/; prints each target's
#                               executions
#   fuzz.sh targets             lists the targets
#
# A crash, a sanitizer report, a leak or an input slower than 25 s fails the
# target (and the command). Each target runs in a scratch directory of its
# own (the C API target writes the SDK's log there); the one that holds the
# SDK's Wi-Fi transport leaves its network namespace first (needs root).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
dir="build/fuzz"
targets=(fuzz_pattern_capi fuzz_engine_render fuzz_engine_structured fuzz_legacy_pattern fuzz_orv_tokens
         fuzz_usb_answers fuzz_bt_reassembly fuzz_vest_session fuzz_legacy_reception
         fuzz_orv_capture fuzz_wifi_reads fuzz_wifi_discovery)
max_len=4096

clang_can_fuzz() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local probe; probe="$(mktemp -d)"
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    > "$probe/p.cpp"
  local ok=0
  clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1 || ok=1
  rm -rf "$probe"
  return $ok
}

build() {
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVBZ_SANITIZE=ON -DVBZ_FUZZ=ON -DVBZ_BUILD_BENCH=OFF -DVBZ_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$dir" -j "${VBZ_JOBS:-$(nproc)}" --target vbz_fuzz_targets
}

# run_target TARGET SECONDS CORPUS_DIR LOG: one libFuzzer run in a scratch
# directory; its exit status.
run_target() {
  local target="$1" seconds="$2" corpus="$3" log="$4"
  local scratch; scratch="$(mktemp -d)"
  mkdir -p "$corpus" build/fuzz-artifacts
  local status=0
  (cd "$scratch" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    nice -n 10 "$root/$dir/tests/fuzz/$target" "$corpus" "$root/tests/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len="$max_len" -timeout=25 -rss_limit_mb=3072 \
      -print_final_stats=1 -artifact_prefix="$root/build/fuzz-artifacts/$target-" \
      >"$log" 2>&1) || status=$?
  rm -rf "$scratch"
  return $status
}

# Executions of a finished run, from libFuzzer's final line.
execs() { grep -Eo 'Done [0-9]+ runs' "$1" | awk '{print $2}' | tail -1; }

# run_all SECONDS PARALLEL KEEP_CORPUS TARGET...
run_all() {
  local seconds="$1" parallel="$2" keep="$3"; shift 3
  local logs; logs="$(mktemp -d)"
  local failed=0 pids=() names=() corpus
  for t in "$@"; do
    if [ "$keep" = 1 ]; then corpus="$root/build/fuzz-corpus/$t"; else corpus="$logs/corpus-$t"; fi
    run_target "$t" "$seconds" "$corpus" "$logs/$t.log" &
    pids+=($!); names+=("$t")
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do sleep 1; done
  done
  for i in "${!pids[@]}"; do
    local t="${names[$i]}"
    if wait "${pids[$i]}"; then
      echo "fuzz: $t: $(execs "$logs/$t.log") executions in ${seconds}s, no finding"
    else
      failed=1
      echo "fuzz: $t FAILED; its log:"
      tail -n 60 "$logs/$t.log"
    fi
  done
  rm -rf "$logs"
  return $failed
}

action="${1:-}"
case "$action" in
  build) build ;;
  targets) printf '%s\n' "${targets[@]}" ;;
  smoke)
    seconds="${2:-30}"
    if ! clang_can_fuzz; then
      echo "fuzz: no clang that links libFuzzer with the sanitizers: fuzz smoke skipped"
      exit 0
    fi
    echo "== Fuzz targets (clang, ASan+UBSan) =="
    build
    echo "== Fuzz smoke: each target ${seconds}s =="
    run_all "$seconds" "${VBZ_FUZZ_JOBS:-${#targets[@]}}" 0 "${targets[@]}"
    ;;
  run)
    seconds="${2:?usage: fuzz.sh run SECONDS [TARGET...]}"; shift 2
    chosen=("$@"); [ ${#chosen[@]} -gt 0 ] || chosen=("${targets[@]}")
    clang_can_fuzz || { echo "fuzz: no clang that links libFuzzer" >&2; exit 1; }
    build
    run_all "$seconds" "${VBZ_FUZZ_JOBS:-2}" 1 "${chosen[@]}"
    ;;
  *) sed -n '2,22p' "$0"; exit 2 ;;
esac
