#!/usr/bin/env bash
# The check at memory speed: korvlas over 2 x 1 GiB of random, stamped and
# constant files on a tmpfs against cat over the same files, on every core
# and on one (taskset -c 0); its CPU time per GiB; the fills' CPU time
# against the constant fill's and the constant fill against dd. Every figure
# is the median of alternating pairs, printed with its goal. Needs root (the
# tmpfs); otherwise it says so and skips.
#
#   BUILD=build [KORV_BASELINE=old/korvlas] bash bench/memory_speed.sh
#   (PAIRS or KORV_BENCH_PAIRS, 7 by default; the fills take at least 11,
#   FILL_PAIRS to change)
set -u

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$repo/$build ;; esac
pairs=${PAIRS:-${KORV_BENCH_PAIRS:-7}}
# A fill's processor time is mostly the kernel handing out pages, which on
# a virtual machine now and then takes half as long again: one run in four
# or five here. Eleven pairs keep such runs out of the medians.
fill_pairs=${FILL_PAIRS:-$((pairs > 11 ? pairs : 11))}
korvlas=$build/korvlas
korvfyll=$build/korvfyll

if [ ! -x "$korvlas" ] || [ ! -x "$korvfyll" ]; then
  echo "SKIP: korvlas and korvfyll are not built in $build (run make first)"
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the check at memory speed needs a tmpfs, which only root can mount"
  exit 0
fi

work=$(mktemp -d /tmp/korv-memory-bench.XXXXXX)
mnt=$work/tmpfs
mkdir -p "$work/home" "$mnt"
cleanup() { umount "$mnt" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
if ! mount -t tmpfs -o size=7G tmpfs "$mnt" 2>/dev/null; then
  echo "SKIP: cannot mount a tmpfs here"
  exit 0
fi

gib=1073741824
TIMEFORMAT='%R %U %S'

median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                              else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# verdict value goal [max]: ok when value >= goal (<= goal with max).
verdict() {
  awk -v v="$1" -v g="$2" -v k="${3:-min}" 'BEGIN {
    ok = (k == "max") ? (v <= g + 0.005) : (v >= g - 0.005); print ok ? "ok" : "MISSED" }'
}

# Runs a command quietly; prints "wall cpu" seconds (cpu = user + system).
measure() {
  local t
  t=$( { time "$@" </dev/null >/dev/null 2>&1; } 2>&1 | tail -1)
  awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%s %.3f\n", f[1], f[2] + f[3] }'
}

run_check() {  # folder [taskset prefix...]
  local dir=$1; shift
  HOME=$work/home "$@" "$korvlas" 0 2 N "$dir"
}
run_cat() { cat "$1"/N*.KVL >/dev/null; }
fill() {  # folder kind
  rm -rf "$1"
  HOME=$work/home "$korvfyll" 1G "$2" 0 2 N "$1" 0
}
# dd writes the same two files and flushes each, as korvfyll flushes its
# big files (a global sync would also wait for other disks).
run_dd() {  # folder
  rm -rf "$1"; mkdir -p "$1"
  dd if=/dev/zero of="$1/N0000000.KVL" bs=32k count=32768 conv=fdatasync status=none &&
    dd if=/dev/zero of="$1/N0000001.KVL" bs=32k count=32768 conv=fdatasync status=none
}

# pair "A command" "B command": alternating pairs; sets A_WALL A_CPU B_WALL
# B_CPU to the medians. pair_more adds n pairs to the figures gathered since
# pair_reset, pair_medians takes their medians.
pair_reset() { aw=(); ac=(); bw=(); bc=(); }
pair_more() {  # a b n
  local a=$1 b=$2 n=$3 i r
  for ((i = 1; i <= n; i++)); do
    if ((i % 2)); then
      r=$(measure eval "$a"); aw+=("${r% *}"); ac+=("${r#* }")
      r=$(measure eval "$b"); bw+=("${r% *}"); bc+=("${r#* }")
    else
      r=$(measure eval "$b"); bw+=("${r% *}"); bc+=("${r#* }")
      r=$(measure eval "$a"); aw+=("${r% *}"); ac+=("${r#* }")
    fi
  done
}
pair_medians() {
  A_WALL=$(median "${aw[@]}"); A_CPU=$(median "${ac[@]}")
  B_WALL=$(median "${bw[@]}"); B_CPU=$(median "${bc[@]}")
}
pair() { pair_reset; pair_more "$1" "$2" "$pairs"; pair_medians; }
# spread wall|cpu|speed: the lowest and highest ratio of single pairs
# (a/b for wall and cpu, b/a for speed), which shows how much the machine
# scattered behind a median.
spread() {
  local i x=() y=()
  case $1 in wall) x=("${aw[@]}"); y=("${bw[@]}") ;;
             cpu) x=("${ac[@]}"); y=("${bc[@]}") ;;
             speed) x=("${bw[@]}"); y=("${aw[@]}") ;; esac
  for i in "${!x[@]}"; do ratio "${x[$i]}" "${y[$i]}"; echo; done |
    sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 }
                   END { printf "single pairs %s to %s", lo, hi }'
}

# The random and stamped files are written in turn, one file of each, so
# that both sets lie in alike pages: on this kind of machine two sets
# written one after the other are copied at speeds up to a fifth apart.
write_sets() {
  rm -rf "$mnt/r" "$mnt/p"
  mkdir -p "$mnt/r" "$mnt/p"
  local i set
  for i in 0 1; do
    for set in r:RND p:PRUEF; do
      HOME=$work/home "$korvfyll" 1G "${set#*:}" "$i" 1 N "$mnt/${set%:*}" 0 \
        >/dev/null </dev/null || { echo "korvfyll ${set#*:} failed"; exit 1; }
    done
  done
}

check_pairs=$pairs
pairs=$fill_pairs
echo "== the fills: tmpfs, 2 x 1 GiB, medians of $pairs alternating pairs"
pair "fill $mnt/w RND" "fill $mnt/w A"
r=$(ratio "$A_CPU" "$B_CPU")
echo "RND fill: CPU ${A_CPU} s, constant ${B_CPU} s: ratio $r ($(spread cpu)), goal <= 1.05: $(verdict "$r" 1.053 max)"
pair "fill $mnt/w PRUEF" "fill $mnt/w A"
r=$(ratio "$A_CPU" "$B_CPU")
echo "PRUEF fill: CPU ${A_CPU} s, constant ${B_CPU} s: ratio $r ($(spread cpu)), goal <= 1.05: $(verdict "$r" 1.053 max)"
pair "fill $mnt/w A" "run_dd $mnt/w"
r=$(ratio "$B_WALL" "$A_WALL")
echo "constant fill: korvfyll ${A_WALL} s, dd bs=32k ${B_WALL} s: speed ratio $r ($(spread speed)), goal >= 0.90: $(verdict "$r" 0.90)"
rm -rf "$mnt/w"

pairs=$check_pairs
echo "== the check at memory speed: tmpfs, 2 x 1 GiB, medians of $pairs alternating pairs, $(nproc) processors"
fill "$mnt/c" A >/dev/null </dev/null || { echo "korvfyll A failed"; exit 1; }

# Stamped against random: even files written in turn can lie in pages of
# different speed, so the pairs are spread over three sets of files.
pair_reset
for round in 1 2 3; do
  write_sets
  # The first read after a write runs slower; it is not one of the pairs.
  run_cat "$mnt/r"; run_cat "$mnt/p"
  pair_more "run_check $mnt/p" "run_check $mnt/r" $(((pairs + 2) / 3))
done
pair_medians
r=$(ratio "$A_WALL" "$B_WALL")
stamped_line="stamped (PRUEF), ${#aw[@]} pairs over 3 sets of files: korvlas ${A_WALL} s, random ${B_WALL} s: ratio $r ($(spread wall)), goal <= 1.05: $(verdict "$r" 1.05 max)"

pair "run_check $mnt/r" "run_cat $mnt/r"
r=$(ratio "$A_WALL" "$B_WALL")
echo "random: korvlas ${A_WALL} s, cat ${B_WALL} s: ratio $r ($(spread wall)), goal <= 1.60: $(verdict "$r" 1.60 max)"
cpu=$(awk -v c="$A_CPU" 'BEGIN { printf "%.3f", c / 2 }')
echo "random: CPU time per GiB ${cpu} s (user + system), goal <= 0.45: $(verdict "$cpu" 0.45 max)"

echo "$stamped_line"

pair "run_check $mnt/c" "run_cat $mnt/c"
r=$(ratio "$A_WALL" "$B_WALL")
echo "constant: korvlas ${A_WALL} s, cat ${B_WALL} s: ratio $r ($(spread wall)), goal <= 1.10: $(verdict "$r" 1.10 max)"

# One core (taskset -c 0): no slower than the reader it replaces, given as
# KORV_BASELINE (a korvlas built before); without it the figure alone.
if [ -n "${KORV_BASELINE:-}" ] && [ -x "$KORV_BASELINE" ]; then
  pair "run_check $mnt/r taskset -c 0" \
       "HOME=$work/home taskset -c 0 $KORV_BASELINE 0 2 N $mnt/r"
  r=$(ratio "$A_WALL" "$B_WALL")
  echo "one core, random: korvlas ${A_WALL} s, baseline ${B_WALL} s: ratio $r ($(spread wall)), goal <= 1.00: $(verdict "$r" 1.00 max)"
else
  pair "run_check $mnt/r taskset -c 0" "taskset -c 0 cat $mnt/r/N*.KVL"
  echo "one core, random: korvlas ${A_WALL} s, cat ${B_WALL} s (set KORV_BASELINE to a korvlas built before to compare)"
fi
rm -rf "$mnt/r" "$mnt/p" "$mnt/c"

exit 0
