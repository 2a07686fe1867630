#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the default build,
# then again under AddressSanitizer+UBSan, then the threaded suites under
# ThreadSanitizer. The test fixtures start and stop their own servers
# (HTTP/HTTPS, tinyproxy, danted) on 127.0.0.1.
#   scripts/test.sh            everything
#   QMX_PRESETS="default" scripts/test.sh   only the listed presets
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
presets=${QMX_PRESETS:-"default asan tsan"}
# Every C++ file as .clang-format has it.
echo "=== format"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
for p in $presets; do
  echo "=== preset $p: configure and build"
  # Warnings are errors here (QMX_WERROR), not in a developer's own build.
  cmake --preset "$p" -DQMX_WERROR=ON >/dev/null
  cmake --build --preset "$p"
  echo "=== preset $p: tests"
  ctest --preset "$p"
done
# The benchmarks, once with tiny counts, so that they keep building and
# running (their numbers are not judged here).
if [[ " $presets " == *" default "* ]] && [ "${QMX_BENCH:-1}" != 0 ]; then
  echo "=== bench: quick run"
  python3 bench/run --quick --build-dir "$PWD/build/default"
fi
# Short fuzz runs: each libFuzzer target for a fixed number of executions
# with a fixed seed (scripts/fuzz.sh --time S runs them for longer).
if [ "${QMX_FUZZ:-1}" != 0 ] && command -v clang++ >/dev/null; then
  echo "=== fuzz: short runs"
  bash scripts/fuzz.sh --runs "${QMX_FUZZ_RUNS:-2000}"
fi
