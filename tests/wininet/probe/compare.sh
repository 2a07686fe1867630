#!/usr/bin/env bash
# Runs wininet_probe twice against one loopback_serve: natively against this
# layer and, built with MinGW, under Wine's WinINet; prints the diff.
# Needs wine64 and g++-mingw-w64-x86-64-posix (not build dependencies).
# usage: compare.sh <build-dir>   (configured with -DQMX_BUILD_PROBE=ON)
set -euo pipefail
build=${1:?build directory}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qmxprobe-XXXXXX)
trap 'exec 7>&- 2>/dev/null || true; [ -n "${srv:-}" ] && kill "$srv" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

x86_64-w64-mingw32-g++-posix -std=c++17 -O1 -static -o "$work/probe.exe" "$here/wininet_probe.cpp" -lwininet
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
"$wine" wineboot -i >/dev/null 2>&1

mkfifo "$work/in"
"$build/tools/loopback/loopback_serve" <"$work/in" >"$work/port" &
srv=$!
exec 7>"$work/in"
for _ in $(seq 1 300); do grep -q port "$work/port" && break; read -r -t 0.1 _ <> <(:) || true; done
port=$(awk '/port/{print $2}' "$work/port")
refused=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')

"$build/tests/wininet/wininet_probe" "$port" "$refused" >"$work/layer.txt"
"$wine" "$work/probe.exe" "$port" "$refused" | tr -d '\r' >"$work/wine.txt"
diff -u --label wine "$work/wine.txt" --label layer "$work/layer.txt" || true
