#!/usr/bin/env bash
# Throughput of the built korvfyll against dd (tmpfs and a real file system)
# and against f3write (filling a whole file system), and the cost per file
# of runs with many small files. Prints the figures and the goals; what it
# cannot do here (no root, no tmpfs, no f3) it skips with the reason.
# Settings from the environment: BUILD (build folder, default build),
# PAIRS (timed rounds per comparison, default 5).
set -u

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$repo/$build ;; esac
program=$build/korvfyll
pairs=${PAIRS:-5}

if [ ! -x "$program" ]; then
  echo "korvfyll is not built at $program (run make first)"
  exit 1
fi

is_root=false
[ "$(id -u)" = 0 ] && is_root=true

work=$(mktemp -d "${TMPDIR:-/tmp}/korv_bench.XXXXXX")
home=$work/home
mkdir -p "$home"
mounts=()
extra_dirs=()

cleanup() {
  local m d
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  for d in "${extra_dirs[@]}"; do rm -rf "$d"; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

gib=1073741824

# ---- helpers ----

now() { local t=$EPOCHREALTIME; echo "${t/,/.}"; }

# Runs a command with its output thrown away and prints the seconds it took.
timed() {
  local t0 t1
  t0=$(now)
  "$@" </dev/null >/dev/null 2>&1
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }'
}

median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                              else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Prints bytes / seconds in GB/s (10^9 bytes, as dd counts).
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.2f GB/s", b / s / 1e9 }'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# Prints "ok" or "BELOW GOAL" for value >= goal (or <= goal with "max").
verdict() {
  awk -v v="$1" -v g="$2" -v k="${3:-min}" 'BEGIN {
    ok = (k == "max") ? (v <= g) : (v >= g); print ok ? "ok" : "BELOW GOAL" }'
}

korv() { HOME=$home "$program" "$@"; }

free_mem_bytes() {
  local kib
  kib=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
  echo $((kib * 1024))
}

free_bytes() { df --output=avail -B1 "$1" | tail -1 | tr -d ' '; }

load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "korvfyll throughput ($program), $pairs rounds per comparison"
echo "machine: $(nproc) cores, load $(load) at start (figures are noisy while others work)"

# ---- tmpfs: korvfyll against dd ----

tmpfs_dir=""
tmpfs_mounted=false
tmpfs_size=$((3 * gib))

fresh_tmpfs() {
  # A fresh tmpfs is quicker than deleting half a million files.
  if $tmpfs_mounted; then
    umount "$tmpfs_dir" && mount -t tmpfs -o size=$tmpfs_size tmpfs "$tmpfs_dir"
  else
    rm -rf "${tmpfs_dir:?}"/*
  fi
}

echo
echo "== tmpfs: korvfyll 1G A|RND|PRUEF 0 2 N <folder> 0 against dd bs=32k count=65536 (2 GiB each)"
if [ "$(free_mem_bytes)" -lt $((4 * gib)) ]; then
  echo "skipped: less than 4 GiB of free memory for a 2 GiB tmpfs run"
else
  if $is_root; then
    mkdir -p "$work/tmpfs"
    if mount -t tmpfs -o size=$tmpfs_size tmpfs "$work/tmpfs"; then
      tmpfs_dir=$work/tmpfs
      tmpfs_mounted=true
      mounts+=("$tmpfs_dir")
    fi
  fi
  if [ -z "$tmpfs_dir" ] && [ -d /dev/shm ] &&
     [ "$(free_bytes /dev/shm)" -gt $tmpfs_size ]; then
    tmpfs_dir=$(mktemp -d /dev/shm/korv_bench.XXXXXX)
    extra_dirs+=("$tmpfs_dir")
  fi
  if [ -z "$tmpfs_dir" ]; then
    echo "skipped: cannot mount a tmpfs (not root) and no /dev/shm with 3 GiB free"
  fi
fi

if [ -n "$tmpfs_dir" ]; then
  bytes=$((2 * gib))
  t_fill=() t_dd=() t_rnd=() t_prf=()
  for ((i = 1; i <= pairs; i++)); do
    t_fill+=("$(timed korv 1G A 0 2 N "$tmpfs_dir/k" 0)")
    rm -rf "$tmpfs_dir/k"
    t_dd+=("$(timed dd if=/dev/zero of="$tmpfs_dir/x" bs=32k count=65536)")
    rm -f "$tmpfs_dir/x"
    t_rnd+=("$(timed korv 1G RND 0 2 N "$tmpfs_dir/r" 0)")
    rm -rf "$tmpfs_dir/r"
    t_prf+=("$(timed korv 1G PRUEF 0 2 N "$tmpfs_dir/p" 0)")
    rm -rf "$tmpfs_dir/p"
  done
  m_fill=$(median "${t_fill[@]}")
  m_dd=$(median "${t_dd[@]}")
  m_rnd=$(median "${t_rnd[@]}")
  r_dd=$(ratio "$m_dd" "$m_fill")     # throughput ratio = inverse time ratio
  r_rnd=$(ratio "$m_fill" "$m_rnd")
  m_prf=$(median "${t_prf[@]}")
  r_prf=$(ratio "$m_fill" "$m_prf")
  echo "korvfyll A  : median $(rate $bytes "$m_fill") (${m_fill} s)"
  echo "dd bs=32k   : median $(rate $bytes "$m_dd") (${m_dd} s)"
  echo "korvfyll RND: median $(rate $bytes "$m_rnd") (${m_rnd} s)"
  echo "korvfyll A / dd      = $r_dd (goal >= 0.85: $(verdict "$r_dd" 0.85))"
  echo "korvfyll PRUEF: median $(rate $bytes "$m_prf") (${m_prf} s)"
  echo "korvfyll RND / A     = $r_rnd (goal >= 0.80: $(verdict "$r_rnd" 0.80))"
  echo "korvfyll PRUEF / A   = $r_prf (goal >= 0.80: $(verdict "$r_prf" 0.80))"
fi

# ---- many small files on the tmpfs ----

echo
echo "== many files: korvfyll 1 A 0 N N <tmpfs folder> (one-byte files)"
if [ -z "$tmpfs_dir" ]; then
  echo "skipped: no tmpfs (see above)"
else
  declare -A per_count
  for n in 100000 500000; do
    times=()
    for ((i = 1; i <= 3; i++)); do
      fresh_tmpfs
      times+=("$(timed korv 1 A 0 $n N "$tmpfs_dir/m")")
      got=$(find "$tmpfs_dir/m" -name 'N*.KVL' | wc -l)
      if [ "$got" != "$n" ]; then echo "warning: $got of $n files written"; fi
    done
    fresh_tmpfs
    per_count[$n]=$(median "${times[@]}")
    echo "$n files: median ${per_count[$n]} s, $(awk -v t="${per_count[$n]}" -v n=$n \
      'BEGIN { printf "%.2f", t / n * 1e6 }') us per file"
  done
  growth=$(ratio "${per_count[500000]}" "${per_count[100000]}")
  echo "time for 500000 / time for 100000 = $growth (goal <= 6: $(verdict "$growth" 6 max))"
fi

# ---- a real file system: korvfyll against dd with fdatasync ----

echo
ext4_dir=""
ext4_mounted=false
if $is_root && command -v mkfs.ext4 >/dev/null; then
  image=$work/ext4.img
  if truncate -s 2560M "$image" && mkfs.ext4 -q -F -m 0 "$image" &&
     mkdir -p "$work/ext4" && mount -o loop "$image" "$work/ext4"; then
    ext4_dir=$work/ext4
    ext4_mounted=true
    mounts+=("$ext4_dir")
    echo "== ext4 (loop-mounted 2.5 GiB image in ${TMPDIR:-/tmp}):"
  else
    echo "== real file system: could not make the ext4 image, using ${work}"
  fi
elif $is_root; then
  echo "== real file system: mkfs.ext4 missing, using the file system of $work"
else
  echo "== real file system: not root (no loop mount), using the file system of $work"
fi
if [ -z "$ext4_dir" ]; then
  if [ "$(free_bytes "$work")" -gt $((2 * gib)) ]; then
    ext4_dir=$work/real
    mkdir -p "$ext4_dir"
  else
    echo "skipped: less than 2 GiB free in $work"
  fi
fi

if [ -n "$ext4_dir" ]; then
  echo "korvfyll 1G A 0 1 N <folder> 0 against dd bs=32k count=32768 conv=fdatasync (1 GiB each)"
  t_fill=() t_dd=()
  for ((i = 1; i <= pairs; i++)); do
    sync
    t_fill+=("$(timed korv 1G A 0 1 N "$ext4_dir/k" 0)")
    rm -rf "$ext4_dir/k"
    sync
    t_dd+=("$(timed dd if=/dev/zero of="$ext4_dir/x" bs=32k count=32768 conv=fdatasync)")
    rm -f "$ext4_dir/x"
  done
  m_fill=$(median "${t_fill[@]}")
  m_dd=$(median "${t_dd[@]}")
  r_dd=$(ratio "$m_dd" "$m_fill")
  echo "korvfyll A      : median $(rate $gib "$m_fill") (${m_fill} s)"
  echo "dd fdatasync    : median $(rate $gib "$m_dd") (${m_dd} s)"
  echo "korvfyll A / dd = $r_dd (goal >= 0.90: $(verdict "$r_dd" 0.90))"
fi

# ---- filling a whole file system: korvfyll against f3write ----

echo
echo "== filling the ext4 image: korvfyll 1G <A|RND> 0 100 N <folder> 0 against f3write"
if ! $ext4_mounted; then
  echo "skipped: needs the loop-mounted ext4 image (root), not a shared disk"
else
  if ! command -v f3write >/dev/null; then
    if command -v apt-get >/dev/null; then
      echo "installing f3 (Debian package) ..."
      { apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq f3; } >/dev/null 2>&1
    fi
  fi
  if ! command -v f3write >/dev/null; then
    echo "skipped: f3write missing and the f3 package could not be installed"
  else
    t_f3=() t_fill=() t_rnd=() b_f3=0 b_fill=0 b_rnd=0
    for ((i = 1; i <= 3; i++)); do
      sync
      mkdir -p "$ext4_dir/f3"
      t_f3+=("$(timed f3write "$ext4_dir/f3")")
      b_f3=$(du -sb "$ext4_dir/f3" | cut -f1)
      rm -rf "$ext4_dir/f3"
      sync
      t_fill+=("$(timed korv 1G A 0 100 N "$ext4_dir/k" 0)")
      b_fill=$(du -sb "$ext4_dir/k" | cut -f1)
      rm -rf "$ext4_dir/k"
      sync
      t_rnd+=("$(timed korv 1G RND 0 100 N "$ext4_dir/r" 0)")
      b_rnd=$(du -sb "$ext4_dir/r" | cut -f1)
      rm -rf "$ext4_dir/r"
    done
    m_f3=$(median "${t_f3[@]}")
    m_fill=$(median "${t_fill[@]}")
    m_rnd=$(median "${t_rnd[@]}")
    echo "f3write     : median ${m_f3} s for $b_f3 bytes ($(rate "$b_f3" "$m_f3"))"
    echo "korvfyll A  : median ${m_fill} s for $b_fill bytes ($(rate "$b_fill" "$m_fill"))"
    echo "korvfyll RND: median ${m_rnd} s for $b_rnd bytes ($(rate "$b_rnd" "$m_rnd"))"
    r_a=$(ratio "$m_f3" "$m_fill")
    r_r=$(ratio "$m_f3" "$m_rnd")
    echo "f3write time / korvfyll A time   = $r_a (goal >= 1: $(verdict "$r_a" 1))"
    echo "f3write time / korvfyll RND time = $r_r (goal >= 1: $(verdict "$r_r" 1))"
  fi
fi

echo
echo "load $(load) at the end"
exit 0
