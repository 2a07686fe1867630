#!/usr/bin/env bash
# Mutation check: plants each fault of scripts/mutations.txt, one at a time,
# in a private copy of the working tree, rebuilds what the fault's tests need,
# runs those tests and says whether they noticed.
#
#   scripts/mutate.sh                 every fault, each against its own tests
#   scripts/mutate.sh --only a,b      only the faults with these ids
#   scripts/mutate.sh --list          the faults, without running anything
#   scripts/mutate.sh --all           the whole suite (minus install) for every fault
#   scripts/mutate.sh --keep          keep the private copy afterwards
#   scripts/mutate.sh --no-baseline   skip the run of the unmutated tests
#
# Per fault: CAUGHT (a test failed or timed out), SURVIVED (every test
# passed), STALE (the original text is not in the file exactly once: the
# code moved on, fix the fault), BUILD-FAIL (the mutant does not compile: fix
# the fault). The score counts CAUGHT against CAUGHT + SURVIVED; below 90 %
# the script exits with 1 (2 for a broken setup).
#
# Environment: QMX_MUTATE_DIR (default /tmp/qmx-mutate) holds src/ (the
# copy) and build/; QMX_MUTATE_FILE the fault list; QMX_MUTATE_TIMEOUT the
# per-test time-out in seconds (default 120); QMX_MUTATE_JOBS (default 2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${QMX_MUTATE_DIR:-/tmp/qmx-mutate}
faults_file=${QMX_MUTATE_FILE:-$root/scripts/mutations.txt}
timeout=${QMX_MUTATE_TIMEOUT:-120}
jobs=${QMX_MUTATE_JOBS:-2}
only="" list=0 all=0 keep=0 baseline=1
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only=$2; shift 2 ;;
    --only=*) only=${1#--only=}; shift ;;
    --list) list=1; shift ;;
    --all) all=1; shift ;;
    --keep) keep=1; shift ;;
    --no-baseline) baseline=0; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "mutate.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# ---- the fault list ----
# Blocks of "field: value" lines, a blank line between blocks, "#" comments.
# Fields: id, file (relative to the tree), from (the exact original text,
# one line), to (its replacement), what (the behaviour the fault breaks),
# tests (how to pick the tests, below). Values start after ": ".
# tests: words given to ctest as they are (-L label, -R regex), plus
#   prog:NAME[,NAME]  every test whose program is NAME (robust against cases
#                     being added or removed),
#   only:REGEX        keep of those only the tests whose name matches REGEX.
ids=() files=() froms=() tos=() whats=() tests=()
parse() {
  local line key value id="" file="" from="" to="" what="" sel="" have_to=0
  flush() {
    if [ -n "$id" ]; then
      if [ -z "$file" ] || [ -z "$from" ] || [ "$have_to" = 0 ] || [ -z "$what" ] || [ -z "$sel" ]; then
        echo "mutate.sh: fault $id lacks a field" >&2; exit 2
      fi
      ids+=("$id"); files+=("$file"); froms+=("$from"); tos+=("$to"); whats+=("$what"); tests+=("$sel")
    fi
    id="" file="" from="" to="" what="" sel="" have_to=0
  }
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      ''|'#'*) [ -z "$line" ] && flush; continue ;;
    esac
    key=${line%%:*}
    value=${line#*: }
    [ "$value" = "$line" ] && value=""   # "to:" with nothing after it
    case "$key" in
      id) id=$value ;;
      file) file=$value ;;
      from) from=$value ;;
      to) to=$value; have_to=1 ;;
      what) what=$value ;;
      tests) sel=$value ;;
      *) echo "mutate.sh: unknown field '$key' in $faults_file" >&2; exit 2 ;;
    esac
  done < "$faults_file"
  flush
}
parse

selected=()
for i in "${!ids[@]}"; do
  if [ -z "$only" ] || [[ ",$only," == *",${ids[$i]},"* ]]; then selected+=("$i"); fi
done
if [ -n "$only" ] && [ ${#selected[@]} -eq 0 ]; then echo "mutate.sh: no fault matches --only $only" >&2; exit 2; fi

if [ $list = 1 ]; then
  for i in "${selected[@]}"; do
    printf '%-28s %-52s %s\n' "${ids[$i]}" "${files[$i]}" "${whats[$i]}"
  done
  echo "${#selected[@]} faults"
  exit 0
fi

# ---- the private copy ----
# The tree minus build/ and .git/, extracted over the last copy with fresh
# times (-m): a file keeping its old time could look older than an object a
# mutant of it left in the copy's build, which would then not be rebuilt.
# ccache makes the full rebuild cheap.
mkdir -p "$work/src"
echo "mutate: copying $root to $work/src" >&2
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/src" -xmf -
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
echo "mutate: configuring and building $work/build" >&2
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQMX_BUILD_BENCH=OFF \
  -DQMX_BUILD_FUZZ=OFF >"$work/configure.log" 2>&1 || { echo "mutate: configure failed, see $work/configure.log" >&2; exit 2; }
# Programs that do not build without any fault (work in progress elsewhere
# in the tree) are left out, with their tests, and named.
broken_progs=""
if ! ninja -C "$work/build" -j"$jobs" -k 0 >"$work/build.log" 2>&1; then
  failed=$(sed -nE 's/^FAILED: ([^ ]+).*/\1/p' "$work/build.log")
  # Only test programs may be left out: a library or tool that does not
  # build leaves nothing worth checking.
  if [ -z "$failed" ] || echo "$failed" | grep -qv '^tests/'; then
    echo "mutate: build failed, see $work/build.log" >&2; exit 2
  fi
  broken_progs=$(echo "$failed" | sed -E 's#.*/CMakeFiles/([^/]+)\.dir/.*#\1#; s#.*/##' | sort -u)
  echo "mutate: these test programs do not build without any fault and are left out (see $work/build.log):" >&2
  echo "$broken_progs" | sed 's/^/  /' >&2
  echo "left out, not building unmutated: $(echo "$broken_progs" | tr '\n' ' ')"
fi

restore_file=""
excluded=""
restore_copy="$work/original"
cleanup() {
  if [ -n "$restore_file" ]; then cp "$restore_copy" "$work/src/$restore_file"; restore_file=""; fi
  if [ $keep = 0 ] && [ -d "$work" ]; then rm -rf "$work/src" "$work/build"; fi
}
trap cleanup EXIT
trap 'echo "mutate: interrupted" >&2; exit 130' INT TERM

# What ctest should run for one selection: prints the ninja targets on the
# first line and the ctest numbers of the tests on the second.
resolve() {
  local sel=$1 pass=() word progs="" onlyre=""
  for word in $sel; do
    case "$word" in
      prog:*) progs=${word#prog:} ;;
      only:*) onlyre=${word#only:} ;;
      *) pass+=("$word") ;;
    esac
  done
  # Both lists now: rebuilding a program discovers its cases again, and
  # the names of some cases hold printed bytes that change with each build.
  (cd "$work/build" && ctest --show-only=json-v1 >"$work/all-tests.json")
  (cd "$work/build" && ctest --show-only=json-v1 -LE install "${pass[@]}") |
    ALLTESTS="$work/all-tests.json" PROGS=$progs ONLY=$onlyre EXCLUDED=$excluded BROKEN=$broken_progs python3 -c '
import json, os, re, sys
progs = [p for p in os.environ["PROGS"].split(",") if p]
only = os.environ["ONLY"]
excluded = set(os.environ.get("EXCLUDED", "").split("\n")) - {""}
broken = set(os.environ.get("BROKEN", "").split("\n")) - {""}
# ctest numbers its tests in the order of the unfiltered list; names hold
# the printed parameters of a case, which no regex should have to quote.
number = {t["name"]: i + 1 for i, t in enumerate(json.load(open(os.environ["ALLTESTS"]))["tests"])}
names, targets = [], []
for t in json.load(sys.stdin)["tests"]:
    exe = os.path.basename((t.get("command") or ["?"])[0])
    if progs and exe not in progs: continue
    if only and not re.search(only, t["name"]): continue
    if str(number[t["name"]]) in excluded or exe in broken: continue
    names.append(str(number[t["name"]]))
    if exe not in targets: targets.append(exe)
print(" ".join(targets))
print(",".join(names))
'
}

# Runs the tests of the given ctest numbers; 0 when all passed.
run_tests() {
  local numbers=$1 log=$2
  (cd "$work/build" && ctest -j"$jobs" --timeout "$timeout" --stop-on-failure -I "0,0,0,$numbers" >"$log" 2>&1)
}

# Plants fault i: 0 planted, 3 stale.
plant() {
  local i=$1
  FILE="$work/src/${files[$i]}" FROM="${froms[$i]}" TO="${tos[$i]}" python3 -c '
import os, sys
path, old, new = os.environ["FILE"], os.environ["FROM"], os.environ["TO"]
try:
    text = open(path, encoding="utf-8", newline="").read()
except OSError:
    sys.exit(3)
if text.count(old) != 1: sys.exit(3)
open(path, "w", encoding="utf-8", newline="").write(text.replace(old, new))
'
}

sel_all="-L unit|integration|threaded"
selection_of() { if [ $all = 1 ]; then echo "$sel_all"; else echo "${tests[$1]}"; fi; }

if [ $baseline = 1 ]; then
  # The tests must pass before any fault is planted, or every fault would
  # count as caught.
  declare -A seen=()
  base_sel=()
  for i in "${selected[@]}"; do
    s=$(selection_of "$i")
    if [ -z "${seen[$s]:-}" ]; then seen[$s]=1; base_sel+=("$s"); fi
  done
  union=""
  for s in "${base_sel[@]}"; do
    r=$(resolve "$s" | sed -n 2p)
    [ -n "$r" ] && union+=${union:+,}$r
  done
  union=$(echo "$union" | tr ',' '\n' | sort -un | paste -sd,)
  echo "mutate: baseline run of the unmutated tests" >&2
  if ! (cd "$work/build" && ctest -j"$jobs" --timeout "$timeout" -I "0,0,0,$union" >"$work/baseline.log" 2>&1); then
    # Run the failures once more: what fails again is left out of every
    # fault's tests (and named), what passes now was a fluke.
    (cd "$work/build" && ctest -j"$jobs" --timeout "$timeout" --rerun-failed >"$work/baseline-again.log" 2>&1) || true
    # By number: the numbers stay while no fault changes the list of tests.
    failed=$(grep -E '^[[:space:]]*[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Not Run)\)' \
               "$work/baseline-again.log" || true)
    excluded=$(echo "$failed" | sed -nE 's/^[[:space:]]*([0-9]+) - .*/\1/p')
    if [ -n "$excluded" ]; then
      echo "mutate: these tests fail without any fault and are left out (see $work/baseline.log):" >&2
      echo "$failed" | sed -E 's/^[[:space:]]*/  /' >&2
      echo "left out, failing unmutated: $(echo "$failed" | sed -E 's/^[[:space:]]*[0-9]+ - ([^ ]+).*/\1/' | tr '\n' ' ')"
    fi
  fi
fi

caught=0 survived=0 stale=0 buildfail=0 n=0 total=${#selected[@]}
report=()
start=$SECONDS
for i in "${selected[@]}"; do
  n=$((n + 1))
  id=${ids[$i]}
  t0=$SECONDS
  echo "mutate: fault $n of $total: $id" >&2
  cp "$work/src/${files[$i]}" "$restore_copy" 2>/dev/null || true
  if ! plant "$i"; then
    verdict=STALE; stale=$((stale + 1))
  else
    restore_file=${files[$i]}
    targets=$(resolve "$(selection_of "$i")" | sed -n 1p)
    numbers=""
    if [ -z "$targets" ]; then
      echo "mutate: fault $id selects no test" >&2; verdict=NO-TESTS
    elif ! ninja -C "$work/build" -j"$jobs" $targets >"$work/mutant-$id.build.log" 2>&1; then
      verdict=BUILD-FAIL; buildfail=$((buildfail + 1))
    elif numbers=$(resolve "$(selection_of "$i")" | sed -n 2p) && [ -z "$numbers" ]; then
      echo "mutate: fault $id selects no test" >&2; verdict=NO-TESTS
    elif run_tests "$numbers" "$work/mutant-$id.test.log"; then
      verdict=SURVIVED; survived=$((survived + 1))
    else
      verdict=CAUGHT; caught=$((caught + 1))
      by=$(grep -m1 -oE 'Test +#[0-9]+: [^ ]+ .*(\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception|Failed)' \
             "$work/mutant-$id.test.log" | sed -E 's/^Test +#[0-9]+: ([^ ]+).*/\1/' || true)
      [ -n "$by" ] && verdict="CAUGHT by $by"
    fi
    cp "$restore_copy" "$work/src/${files[$i]}"
    restore_file=""
  fi
  line=$(printf '%-10s %-28s %4ds  %s' "${verdict%% *}" "$id" $((SECONDS - t0)) "${whats[$i]}")
  [[ "$verdict" == "CAUGHT by "* ]] && line+="  [${verdict#CAUGHT by }]"
  echo "$line"
  report+=("$line")
done
# The restored sources leave the copy's binaries out of date; the next run
# rebuilds them from ccache.

judged=$((caught + survived))
pct=0
[ $judged -gt 0 ] && pct=$((100 * caught / judged))
echo
echo "caught $caught of $judged ($pct%)  [stale $stale, build-fail $buildfail, $((SECONDS - start)) s]"
[ $stale -eq 0 ] && [ $buildfail -eq 0 ] || echo "mutate: fix the STALE and BUILD-FAIL faults in $faults_file" >&2
[ $judged -gt 0 ] && [ $pct -ge 90 ]
