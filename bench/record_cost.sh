#!/usr/bin/env bash
# What the run record and the map cost per file: korvfyll and korvlas over
# 100,000 one-byte files (the case where the per-file work weighs most),
# plain and with --json and --karte both on, in alternating pairs. Goal:
# at most 5% slower. In a tmpfs as root (so that the disk does not hide
# the cost), else in a temporary folder.
#
#   BUILD=build bash bench/record_cost.sh
#
# Knobs: KORV_BENCH_PAIRS (alternating pairs, default 5), KORV_BENCH_MANY
# (0 = skip), KORV_BENCH_FILES (files, default 100000).
set -u
set -o pipefail

BUILD=${BUILD:-build}
PAIRS=${KORV_BENCH_PAIRS:-5}
MANY=${KORV_BENCH_MANY:-1}
FILES=${KORV_BENCH_FILES:-100000}
KORVFYLL=$(readlink -f "$BUILD/korvfyll" 2>/dev/null || true)
KORVLAS=$(readlink -f "$BUILD/korvlas" 2>/dev/null || true)

say() { printf '%s\n' "$*"; }
skip() { say "SKIP: $*"; }

if [ "$MANY" = 0 ]; then skip "record cost (KORV_BENCH_MANY=0)"; exit 0; fi
if [ ! -x "$KORVFYLL" ] || [ ! -x "$KORVLAS" ]; then
  skip "no korvfyll/korvlas in $BUILD (run make first)"
  exit 0
fi

WORK=$(mktemp -d /tmp/korv-record-bench.XXXXXX)
MOUNTED=""
cleanup() {
  [ -n "$MOUNTED" ] && umount "$MOUNTED" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/home" "$WORK/data"
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=1g,nr_inodes=0 tmpfs "$WORK/data" 2>/dev/null; then
  MOUNTED=$WORK/data
  where="tmpfs"
else
  where="a temporary folder (not root: no tmpfs)"
fi

median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                              else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# run program options...: prints the processor seconds (user + system) one
# run takes; on a shared machine they vary far less than the wall clock.
run() {
  local program=$1
  shift
  local TIMEFORMAT='%3U %3S' t
  t=$( { time HOME=$WORK/home "$program" "$@" </dev/null >/dev/null 2>&1; } 2>&1 )
  awk -v t="$t" 'BEGIN { split(t, p, " "); printf "%.4f", p[1] + p[2] }'
}

# compare name program args...: alternating plain and recorded runs.
compare() {
  local name=$1 program=$2
  shift 2
  local plain=() recorded=() i
  for ((i = 0; i < PAIRS; i++)); do
    plain+=("$(run "$program" "$@")")
    recorded+=("$(run "$program" "--json=$WORK/data/r.jsonl" "--karte=$WORK/data/k.svg" "$@")")
  done
  local p r
  p=$(median "${plain[@]}")
  r=$(median "${recorded[@]}")
  awk -v n="$name" -v p="$p" -v r="$r" -v f="$FILES" 'BEGIN {
    ratio = r / p
    printf "%s: plain %.2f s CPU, with --json and --karte %.2f s (%.1f us more per file): %.3f x, goal <= 1.05: %s\n",
      n, p, r, (r - p) / f * 1e6, ratio, ratio <= 1.05 ? "ok" : "ABOVE GOAL"
  }'
}

say "Record cost: $FILES one-byte files in $where, median of $PAIRS pairs"
# The writer overwrites the same files each time; the reader reads them.
run "$KORVFYLL" 1 A 0 "$FILES" N "$WORK/data" >/dev/null
compare "korvfyll" "$KORVFYLL" 1 A 0 "$FILES" N "$WORK/data"
compare "korvlas " "$KORVLAS" 0 "$FILES" N "$WORK/data"
