# Sourced by install_test.sh and package_test.sh: the example hosts built
# against an installed tree, each run against that tree's `confweba site`.
# The caller sets: src (source tree), cmake, work (scratch folder), and calls
# stop_site from its EXIT trap.
site_pid=""
failures=0

start_site() {  # start_site CONFWEBA: sets base, invite and want
  coproc SITE { exec "$1" --json site 2>"$work/site.err"; }
  site_pid=$SITE_PID
  local line=""
  # The first line names the invitations (with --json the log goes to stderr).
  read -r -t 60 -u "${SITE[0]}" line || { echo "the site did not start:" >&2; cat "$work/site.err" >&2; exit 1; }
  base=$(printf '%s' "$line" | sed -E 's/.*"url":"([^"]*)".*/\1/')
  invite=$(printf '%s' "$line" | sed -E 's/.*"invitations":\["([^"]*confKey=123456[^"]*)".*/\1/')
  [ -n "$base" ] && [ -n "$invite" ] || { echo "no invitation in: $line" >&2; exit 1; }
  want="loader ${base}files/qmxloader.bin"
}

stop_site() {
  if [ -n "$site_pid" ]; then kill "$site_pid" 2>/dev/null || true; wait "$site_pid" 2>/dev/null || true; fi
  site_pid=""
}

check() {  # check NAME PROGRAM: the host joins conference 123456
  local out
  if ! out=$("$2" "$invite" meet 2>&1); then
    echo "FAIL $1: exit code, output: $out" >&2; failures=$((failures + 1)); return
  fi
  if ! grep -qxF "$want" <<<"$out"; then
    echo "FAIL $1: expected '$want', got: $out" >&2; failures=$((failures + 1)); return
  fi
  echo "ok $1"
}

build_cmake() {  # build_cmake NAME EXAMPLE_DIR TARGET [cmake args...]
  local name=$1 dir=$2 target=$3
  shift 3
  "$cmake" -S "$src/examples/$dir" -B "$work/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" \
    >"$work/$name.log" 2>&1 &&
    "$cmake" --build "$work/$name" >>"$work/$name.log" 2>&1 || { cat "$work/$name.log" >&2; failures=$((failures + 1)); return; }
  check "$name" "$work/$name/$target"
}

build_pkgconfig() {  # build_pkgconfig NAME [c++ args...]: host.cpp with pkg-config alone
  mkdir -p "$work/$1"
  local name=$1
  shift
  if ! c++ -std=c++17 -o "$work/$name/example_host" "$src/examples/host/host.cpp" \
    $(pkg-config --cflags --libs qmxconfweba) "$@" >"$work/$name.log" 2>&1; then
    cat "$work/$name.log" >&2; failures=$((failures + 1)); return
  fi
  check "$name" "$work/$name/example_host"
}
