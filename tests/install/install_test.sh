#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR CMAKE HAVE_GLIB HAVE_QT
# Installs BUILD_DIR into a scratch prefix, builds the example hosts against
# it (find_package, and pkg-config for the plain one), starts the installed
# `confweba site` on 127.0.0.1 and has every host join conference 123456.
set -euo pipefail
build=$1 src=$2 cmake=$3 have_glib=$4 have_qt=$5
work=$(mktemp -d)
. "$(dirname "$0")/hosts.sh"
trap 'stop_site; rm -rf "$work"' EXIT
export QMX_RECORD_DIR=$work/records

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libqmxconfweba.so.*' -type f | head -1)")
start_site "$prefix/bin/confweba"

build_cmake find_package host example_host -DCMAKE_PREFIX_PATH="$prefix"
# pkg-config, from the installed .pc files alone: they name this prefix.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --variable=prefix qmxconfweba)" = "$prefix" ]
build_pkgconfig pkg-config -Wl,-rpath,"$libdir"
[ "$have_glib" = 1 ] && build_cmake glib glib-host example_glib_host -DCMAKE_PREFIX_PATH="$prefix"
[ "$have_qt" = 1 ] && build_cmake qt qt-host example_qt_host -DCMAKE_PREFIX_PATH="$prefix"
exit "$failures"
