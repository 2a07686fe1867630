#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR CMAKE HAVE_GLIB HAVE_QT
# Installs BUILD_DIR into a scratch prefix, builds the example hosts against
# it (find_package, and pkg-config for the plain one), starts the installed
# `confweba site` on 127.0.0.1 and has every host join conference 123456.
set -euo pipefail
build=$1 src=$2 cmake=$3 have_glib=$4 have_qt=$5
work=$(mktemp -d)
site_pid=""
cleanup() {
  if [ -n "$site_pid" ]; then kill "$site_pid" 2>/dev/null || true; wait "$site_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libqmxconfweba.so.*' -type f | head -1)")

# The site, from the installed program; its first line names the invitations
# (with --json the request log goes to stderr, so stdout has just that line).
coproc SITE { exec "$prefix/bin/confweba" --json site 2>"$work/site.err"; }
site_pid=$SITE_PID
line=""
read -r -t 60 -u "${SITE[0]}" line || { echo "the site did not start:" >&2; cat "$work/site.err" >&2; exit 1; }
base=$(printf '%s' "$line" | sed -E 's/.*"url":"([^"]*)".*/\1/')
invite=$(printf '%s' "$line" | sed -E 's/.*"invitations":\["([^"]*confKey=123456[^"]*)".*/\1/')
[ -n "$base" ] && [ -n "$invite" ] || { echo "no invitation in: $line" >&2; exit 1; }
want="loader ${base}files/qmxloader.bin"

failures=0
check() {  # check NAME PROGRAM
  local out
  if ! out=$("$2" "$invite" meet 2>&1); then
    echo "FAIL $1: exit code, output: $out" >&2; failures=$((failures + 1)); return
  fi
  if ! grep -qxF "$want" <<<"$out"; then
    echo "FAIL $1: expected '$want', got: $out" >&2; failures=$((failures + 1)); return
  fi
  echo "ok $1"
}
build_cmake() {  # build_cmake NAME EXAMPLE_DIR TARGET
  "$cmake" -S "$src/examples/$2" -B "$work/$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/$1.log" 2>&1 &&
    "$cmake" --build "$work/$1" >>"$work/$1.log" 2>&1 || { cat "$work/$1.log" >&2; return 1; }
  check "$1" "$work/$1/$3"
}

build_cmake find_package host example_host

# pkg-config, from the installed .pc files alone.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion qmxconfweba)" != "" ]
mkdir -p "$work/pkgconfig"
c++ -std=c++17 -o "$work/pkgconfig/example_host" "$src/examples/host/host.cpp" \
  $(pkg-config --cflags --libs qmxconfweba) -Wl,-rpath,"$(pkg-config --variable=libdir qmxconfweba)"
check pkg-config "$work/pkgconfig/example_host"

[ "$have_glib" = 1 ] && build_cmake glib glib-host example_glib_host
[ "$have_qt" = 1 ] && build_cmake qt qt-host example_qt_host

exit "$failures"
