#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR CMAKE
# The Debian packages as a user gets them: scripts/package.sh builds them
# (tests and benchmarks off) in BUILD_DIR/package-tree, lintian must find no
# error and no warning, dpkg installs them, the example hosts build against
# the installed packages (find_package and pkg-config) and join a conference
# on the packaged `confweba site`; then dpkg purges them and nothing of them
# may be left. Runs as root. One run at a time on the machine (a lock), and
# it refuses to start when any of the packages is already on the system, so
# its purge never removes what it did not install.
set -euo pipefail
build=$1 src=$2 cmake=$3
pkgs=(confweba libqmxconfweba-glib-dev libqmxconfweba-qt-dev libqmxconfweba-dev
      libqmxconfweba-glib0 libqmxconfweba-qt0 libqmxconfweba0)
[ "$(id -u)" = 0 ] || { echo "package_test: needs root to install packages" >&2; exit 1; }
exec 9>/run/lock/qmxconfweba-package-test.lock
flock -w 1200 9 || { echo "package_test: another run holds the lock" >&2; exit 1; }

work=$(mktemp -d)
. "$(dirname "$0")/hosts.sh"
installed=0
purge() {
  dpkg --purge "${pkgs[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; return 1; }
}
cleanup() {
  stop_site
  [ "$installed" = 0 ] || purge || true
  rm -rf "$work"
}
trap cleanup EXIT
left=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${pkgs[@]}" 2>/dev/null | grep -v ' not-installed$' || true)
[ -z "$left" ] || { echo "package_test: already on the system, not touching them: $left" >&2; exit 1; }

start=$SECONDS
QMX_SKIP_DEPS=1 PACKAGE_BUILD_DIR="$build/package-tree" PACKAGE_DIR="$work/debs" \
  bash "$src/scripts/package.sh" >"$work/package.log" 2>&1 || { cat "$work/package.log" >&2; exit 1; }
debs=("$work"/debs/*.deb)
names=$(for d in "${debs[@]}"; do dpkg-deb -f "$d" Package; done | sort | tr '\n' ' ')
[ "$names" = "$(printf '%s\n' "${pkgs[@]}" | sort | tr '\n' ' ')" ] || { echo "packages made: $names" >&2; exit 1; }
echo "ok packages built ($((SECONDS - start)) s)"

# lintian: the overrides the packages ship are the only accepted tags.
lintian --tag-display-limit 0 "${debs[@]}" >"$work/lintian.log" 2>&1 || true
if grep -E '^[EW]: ' "$work/lintian.log" >&2; then failures=$((failures + 1)); else echo "ok lintian"; fi

deb() { echo "$work/debs/$1_"*.deb; }
# The library package needs the libraries of the module, none of the simulator.
depends=$(dpkg-deb -f "$(deb libqmxconfweba0)" Depends)
for lib in libc6 libcurl4 libpugixml1v5 libssl3 libstdc++6; do
  grep -q "$lib " <<<"$depends" || { echo "FAIL libqmxconfweba0 lacks $lib: $depends" >&2; failures=$((failures + 1)); }
done
grep -q httplib <<<"$depends" && { echo "FAIL libqmxconfweba0 needs the simulator's: $depends" >&2; failures=$((failures + 1)); }
grep -q 'libqmxconfweba0 (>= ' <<<"$(dpkg-deb -f "$(deb confweba)" Depends)" ||
  { echo "FAIL confweba does not depend on libqmxconfweba0" >&2; failures=$((failures + 1)); }
# No maintainer scripts at all: ldconfig runs from the trigger, and a package
# with no postrm leaves no config-files state behind.
for d in "${debs[@]}"; do
  ctl=$(dpkg-deb -I "$d")
  if grep -qE '^ +[0-9]+ bytes.*(preinst|postinst|prerm|postrm)' <<<"$ctl"; then
    echo "FAIL ${d##*/} has maintainer scripts" >&2; failures=$((failures + 1))
  fi
done
for p in libqmxconfweba0 libqmxconfweba-glib0 libqmxconfweba-qt0; do
  [ "$(dpkg-deb -I "$(deb $p)" triggers)" = "activate-noawait ldconfig" ] ||
    { echo "FAIL $p has no ldconfig trigger" >&2; failures=$((failures + 1)); }
done

installed=1
dpkg -i "${debs[@]}" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
echo "ok installed"

# The hosts, against /usr only.
export QMX_RECORD_DIR=$work/records
start_site /usr/bin/confweba
build_cmake find_package host example_host
[ -z "$(pkg-config --libs-only-L qmxconfweba)" ] ||
  { echo "FAIL pkg-config names a system libdir: $(pkg-config --libs qmxconfweba)" >&2; failures=$((failures + 1)); }
build_pkgconfig pkg-config
build_cmake glib glib-host example_glib_host
build_cmake qt qt-host example_qt_host
stop_site

# Purge: no package state, no file of the packages left.
files=$(for d in "${debs[@]}"; do dpkg-deb -c "$d"; done | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}')
installed=0
purge || exit 1
left=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${pkgs[@]}" 2>/dev/null | grep -v ' not-installed$' || true)
[ -z "$left" ] || { echo "FAIL still known to dpkg: $left" >&2; failures=$((failures + 1)); }
while read -r f; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || { echo "FAIL left after purge: $f" >&2; failures=$((failures + 1)); }
done <<<"$files"
for dir in /usr/include/qmxconfweba /usr/lib/x86_64-linux-gnu/cmake/qmxconfweba /usr/share/doc/confweba; do
  [ ! -e "$dir" ] || { echo "FAIL left after purge: $dir" >&2; failures=$((failures + 1)); }
done
echo "package_test: $failures failure(s) in $((SECONDS - start)) s"
exit "$failures"
