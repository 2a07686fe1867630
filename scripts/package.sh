#!/usr/bin/env bash
# Builds a release tree for /usr without tests or benchmarks and makes the
# Debian packages from it (packaging/README.md lists them):
#   scripts/package.sh                      -> build/packages/*.deb
#   PACKAGE_DIR=DIR scripts/package.sh      the packages go to DIR
#   PACKAGE_BUILD_DIR=DIR scripts/package.sh  the tree is built in DIR
#   QMX_SKIP_DEPS=1 scripts/package.sh      do not install the build packages
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${QMX_SKIP_DEPS:-0}" = 1 ] || bash scripts/install-deps.sh
out=${PACKAGE_DIR:-$PWD/build/packages}
tree=${PACKAGE_BUILD_DIR:-$PWD/build/package}
# Debian's hardening flags (stack protector, fortify, relro, bind-now),
# without -g: the packages are stripped and there is no debug package.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cflags="${CFLAGS//-g /} $CPPFLAGS" cxxflags="${CXXFLAGS//-g /} $CPPFLAGS"
# The /usr prefix makes GNUInstallDirs use the multiarch library folder.
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DQMX_BUILD_TESTS=OFF -DQMX_BUILD_BENCH=OFF -DQMX_BUILD_FUZZ=OFF -DQMX_SANITIZE= >/dev/null
cmake --build "$tree" -- -j"${PACKAGE_JOBS:-2}"
rm -f "$out"/*.deb
(cd "$tree" && cpack -G DEB -B "$out")
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/*.deb
