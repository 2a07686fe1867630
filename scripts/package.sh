#!/usr/bin/env bash
# Builds a release tree (build/package) and makes the Debian packages from it:
#   scripts/package.sh            -> build/packages/*.deb
#   PACKAGE_DIR=/some/dir scripts/package.sh
# The packages: qmxconfweba (libraries, confweba, manual page, completion),
# qmxconfweba-dev (headers, CMake package, pkg-config), and the loop
# adapters qmxconfweba-glib and qmxconfweba-qt.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
out=${PACKAGE_DIR:-$PWD/build/packages}
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQMX_BUILD_TESTS=OFF -DQMX_BUILD_BENCH=OFF >/dev/null
cmake --build build/package
(cd build/package && cpack -G DEB -B "$out")
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/*.deb
