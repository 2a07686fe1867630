#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (every library instrumented with
# ASan+UBSan and fuzzer coverage) and runs each of them.
#   scripts/fuzz.sh                       each target for 2000 executions (CI)
#   scripts/fuzz.sh --runs N              each target for N executions
#   scripts/fuzz.sh --time S              each target for S seconds
#   scripts/fuzz.sh --time S fuzz_crackurl   only the named targets
# The seed corpora in fuzz/corpus/<target>/ are read, never written: what a
# run finds goes to build/fuzz/corpus/<target>/ and crash inputs to
# build/fuzz/findings/. Exit status is non-zero when any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${QMX_FUZZ_BUILD:-$root/build/fuzz}
# A fixed seed makes the short runs repeatable; timed runs explore freely.
limit=(-runs=2000 -seed=1)
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) limit=(-runs="$2" -seed=1); shift 2 ;;
    --time) limit=(-max_total_time="$2"); shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing (see scripts/packages.txt)" >&2
  exit 2
fi
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMX_BUILD_FUZZ=ON -DQMX_BUILD_TESTS=OFF -DQMX_BUILD_BENCH=OFF \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
ninja -C "$build" -j"${QMX_JOBS:-2}" fuzz_all
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_reply_parse fuzz_join_address fuzz_crackurl fuzz_proxy_list fuzz_urlencode fuzz_http_response)
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The module records nothing while fuzzed.
export QMX_RECORD_DIR=
mkdir -p "$build/findings"
status=0
summary=""
for t in "${targets[@]}"; do
  exe="$build/fuzz/$t.d/$t"
  [ -x "$exe" ] || { echo "fuzz.sh: $t was not built" >&2; status=1; continue; }
  work="$build/corpus/$t"
  mkdir -p "$work"
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  log="$build/$t.log"
  echo "=== $t ${limit[*]}"
  if "$exe" "${limit[@]}" "${dict[@]}" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
       -artifact_prefix="$build/findings/$t-" "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    summary+="$t: $runs executions clean"$'\n'
  else
    status=1
    summary+="$t: FAILED (see $log)"$'\n'
    tail -40 "$log"
  fi
done
echo "=== fuzz summary"
printf '%s' "$summary"
exit $status
