#!/usr/bin/env bash
# Line and branch coverage of the default test suite (install tests left
# out), per area, with gcc's --coverage (the `coverage` preset, build/coverage)
# and lcov.
#   scripts/coverage.sh            configure, build, test, summarise
#   scripts/coverage.sh --report   only summarise the data of the last run
# The full lcov data stays in build/coverage/coverage.info (genhtml makes
# pages of it: genhtml -o build/coverage/html build/coverage/coverage.info).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/coverage
info=$build/coverage.info
rc=(--rc lcov_branch_coverage=1)
if [ "${1:-}" != --report ]; then
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
  # Counts of earlier runs would add up with this one's.
  lcov --zerocounters --directory "$build" >/dev/null 2>&1 || true
  # A failing test still leaves its counts; its failure is reported, and
  # the script exits non-zero after the summary.
  test_rc=0
  ctest --preset coverage || test_rc=$?
else
  test_rc=0
fi
# ccache (base_dir) makes the compiler see source paths relative to the
# build folder, so relative paths in the data are taken from there.
lcov "${rc[@]}" --quiet --capture --directory "$build" --base-directory "$PWD/$build" --output-file "$info.raw" \
  --ignore-errors gcov,source 2>/dev/null
lcov "${rc[@]}" --quiet --extract "$info.raw" "$PWD/src/*" "$PWD/tools/*" --output-file "$info"
summary() {
  lcov "${rc[@]}" --summary "$1" 2>&1 |
    awk '/lines\.+:/ {l=$2" "$3" "$4" "$5")"} /branches\.+:/ {b=$2" "$3" "$4" "$5")"} END {printf "%-34s %-34s\n", l, b}'
}
printf '%-26s %-34s %-34s\n' area lines branches
for area in src/ConfApp src/util/httpcli src/platform/wininet src/platform/framework src/platform/xml \
            src/platform/win32 tools/confweba; do
  lcov "${rc[@]}" --quiet --extract "$info" "$PWD/$area/*" --output-file "$info.area" 2>/dev/null || true
  if [ -s "$info.area" ]; then
    printf '%-26s %s\n' "$area" "$(summary "$info.area")"
  else
    printf '%-26s no data\n' "$area"
  fi
done
printf '%-26s %s\n' "all of src/ and tools/" "$(summary "$info")"
rm -f "$info.area" "$info.raw"
exit "$test_rc"
