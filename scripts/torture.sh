#!/usr/bin/env bash
# Allocation-failure torture: for each of join, invitation and download, the
# n-th of the module's own non-throwing allocations on the owner thread
# fails, for n = 1, 2, ... until the operation runs through. Each run is a
# child process; it must end with a result code, one reply at most, no crash
# and no module object left. Runs in the default build and again under
# AddressSanitizer, which also checks every child for leaks.
#   scripts/torture.sh            both builds
#   scripts/torture.sh default    one of them (default or asan)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
builds=${*:-"default asan"}
status=0
for b in $builds; do
  dir=$root/build/torture-$b
  case "$b" in
    default) extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan) extra=(-DCMAKE_BUILD_TYPE=Debug -DQMX_SANITIZE=address)
          export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} ;;
    *) echo "torture.sh: unknown build $b" >&2; exit 2 ;;
  esac
  cmake -S "$root" -B "$dir" -G Ninja -DQMX_BUILD_BENCH=OFF "${extra[@]}" >/dev/null
  ninja -C "$dir" -j"${QMX_JOBS:-2}" reliability_torture_test
  echo "=== torture ($b)"
  log=$dir/torture.log
  (cd "$dir/tests/reliability/reliability_torture_test.d" &&
    QMX_RECORD_DIR="$dir/torture.records" ./reliability_torture_test) >"$log" 2>&1 || status=1
  grep -E '^\[ +(OK|FAILED) +\]|torture depth|runs$|Failure' "$log" || true
done
exit $status
