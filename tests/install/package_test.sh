#!/usr/bin/env bash
# package_test.sh BUILD_DIR VERSION
# Makes the Debian packages of BUILD_DIR with CPack into a scratch folder,
# checks their names and dependencies, unpacks them into a scratch root and
# runs confweba --version from there.
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
shopt -s nullglob
debs=("$work"/out/*.deb)
[ ${#debs[@]} -ge 2 ] || { echo "expected the runtime and dev packages, got: ${debs[*]}" >&2; exit 1; }

runtime=$(ls "$work"/out/qmxconfweba_"$version"_*.deb)
dev=$(ls "$work"/out/qmxconfweba-dev_"$version"_*.deb)
# dpkg-shlibdeps found the real libraries the binaries need.
depends=$(dpkg-deb -f "$runtime" Depends)
for lib in libc6 libcurl4 libpugixml1v5 libstdc++6; do
  grep -q "$lib" <<<"$depends" || { echo "runtime package lacks $lib: $depends" >&2; exit 1; }
done
grep -q "qmxconfweba (= $version)" <<<"$(dpkg-deb -f "$dev" Depends)" ||
  { echo "dev package does not depend on the runtime: $(dpkg-deb -f "$dev" Depends)" >&2; exit 1; }

root=$work/root
for d in "${debs[@]}"; do dpkg -x "$d" "$root"; done
libdir=$(dirname "$(find "$root" -name 'libqmxconfweba.so.0' | head -1)")
[ -f "$root/usr/include/qmxconfweba/IConfWeba.h" ]
[ -f "$libdir/cmake/qmxconfweba/qmxconfweba-config.cmake" ]
[ -f "$libdir/pkgconfig/qmxconfweba.pc" ]
out=$(LD_LIBRARY_PATH="$libdir" "$root/usr/bin/confweba" --version)
[ "$out" = "confweba $version" ] || { echo "confweba --version said: $out" >&2; exit 1; }
echo "ok: ${debs[*]##*/}"
