#!/usr/bin/env bash
# Reader throughput, end to end: korvlas against dd (and f3read) over the same
# data, from a loop-mounted ext4 image with the caches dropped before each run
# (the use that matters: verifying a disk), from a tmpfs (where the counting is
# the limit), over many one-byte files, and the memory for a million files.
# Each part that cannot run here says why and is skipped.
#
#   BUILD=build bash bench/reader_throughput.sh
#
# Knobs: KORV_BENCH_GIB (data volume in GiB, default 2), KORV_BENCH_PAIRS
# (alternating pairs per comparison, default 5), KORV_BENCH_MANY (1 = run the
# many-files part, default 1).
set -u
set -o pipefail

BUILD=${BUILD:-build}
GIB=${KORV_BENCH_GIB:-2}
PAIRS=${KORV_BENCH_PAIRS:-5}
MANY=${KORV_BENCH_MANY:-1}
KORVLAS=$(readlink -f "$BUILD/korvlas" 2>/dev/null || true)
KORVFYLL=$(readlink -f "$BUILD/korvfyll" 2>/dev/null || true)
GIB_BYTES=1073741824

say() { printf '%s\n' "$*"; }
skip() { say "SKIP: $*"; }
is_root() { [ "$(id -u)" = 0 ]; }

if [ ! -x "$KORVLAS" ]; then
  skip "no korvlas at $BUILD/korvlas (run make first)"
  exit 0
fi
if ! "$KORVLAS" '?' </dev/null 2>&1 | grep -q 'Aufruf: Korvlas'; then
  skip "$BUILD/korvlas is not the reader yet"
  exit 0
fi
writer_built() {
  [ -x "$KORVFYLL" ] && "$KORVFYLL" '?' </dev/null 2>&1 | grep -q 'Aufruf: Korvfyll'
}

WORK=$(mktemp -d /tmp/korv-reader-bench.XXXXXX)
HOME_DIR=$WORK/home
mkdir -p "$HOME_DIR"
MOUNTS=()
LOOP_DEV=""

cleanup() {
  local m
  for m in "${MOUNTS[@]}"; do umount "$m" 2>/dev/null; done
  [ -n "$LOOP_DEV" ] && losetup -d "$LOOP_DEV" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.2f", n / s / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                              else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
verdict() {  # value target
  awk -v v="$1" -v t="$2" 'BEGIN { print (v + 0 >= t + 0) ? "ok" : "BELOW TARGET" }'
}

# Drops the page cache of the files in a folder: all of it as root, else
# each file's own pages (dd's nocache flag asks the kernel to drop them).
drop_caches() {
  sync
  if is_root && (echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then return; fi
  local f
  for f in "$1"/N*.KVL; do
    dd if="$f" iflag=nocache count=0 status=none 2>/dev/null
  done
}

# Writes count data files of size (korvfyll's size text, e.g. 1G) holding
# the fill (A or RND) into folder, with korvfyll when it is built, else with
# split (same names, same content kinds).
write_files() {  # folder count size fill
  local dir=$1 count=$2 size=$3 fill=$4
  mkdir -p "$dir"
  if writer_built; then
    HOME=$HOME_DIR "$KORVFYLL" "$size" "$fill" 0 "$count" N "$dir" 0 \
      </dev/null >/dev/null || { say "korvfyll failed in $dir"; return 1; }
  elif [ "$fill" = PRUEF ]; then
    say "stamped files need korvfyll"
    return 1
  else
    local bytes
    case $size in
      1G) bytes=$GIB_BYTES ;;
      *) bytes=$size ;;
    esac
    local source="yes A | tr -d '\n'"
    [ "$fill" = RND ] && source="cat /dev/urandom"
    # The source ends by SIGPIPE once head has enough: not a failure.
    (set +o pipefail; cd "$dir" && eval "$source" | head -c $((bytes * count)) |
      split -b "$bytes" -a 7 -d --additional-suffix=.KVL - N) ||
      { say "could not write the data files into $dir"; return 1; }
  fi
}

run_korvlas() {  # folder first count
  HOME=$HOME_DIR "$KORVLAS" "$2" "$3" N "$1" </dev/null >/dev/null
}
run_dd() {  # folder
  local f
  for f in "$1"/N*.KVL; do dd if="$f" of=/dev/null bs=32k status=none; done
}

# Alternating pairs of korvlas and dd over the files of a folder; prints the
# medians and their ratio against the target.
compare_with_dd() {  # label folder files target drop(1/0)
  local label=$1 dir=$2 files=$3 target=$4 drop=$5
  local bytes=$((files * GIB_BYTES)) k_rates=() d_rates=() i t0 t1 status
  for ((i = 1; i <= PAIRS; i++)); do
    local order="korvlas dd"
    ((i % 2 == 0)) && order="dd korvlas"
    local who
    for who in $order; do
      [ "$drop" = 1 ] && drop_caches "$dir"
      t0=$(now)
      if [ "$who" = korvlas ]; then
        run_korvlas "$dir" 0 "$files"
        status=$?
        if [ "$status" != 0 ]; then
          say "korvlas ended with status $status over $dir"
          return 1
        fi
      else
        run_dd "$dir"
      fi
      t1=$(now)
      if [ "$who" = korvlas ]; then
        k_rates+=("$(rate "$bytes" "$(elapsed "$t0" "$t1")")")
      else
        d_rates+=("$(rate "$bytes" "$(elapsed "$t0" "$t1")")")
      fi
    done
  done
  local k d r
  k=$(median "${k_rates[@]}")
  d=$(median "${d_rates[@]}")
  r=$(ratio "$k" "$d")
  say "$label: korvlas $k GB/s, dd $d GB/s (medians of $PAIRS pairs: korvlas ${k_rates[*]}; dd ${d_rates[*]}), ratio $r, target >= $target: $(verdict "$r" "$target")"
}

# ---------------------------------------------------------------------------
say "== korvlas throughput ($GIB GiB per data set, $PAIRS pairs)"
writer_built || say "note: korvfyll is not built; data files are made with split"

# --- From the disk: loop-mounted ext4 image, caches dropped ---------------
ext4_part() {
  if ! is_root; then
    skip "loop-mounted ext4 needs root; comparing on $WORK's own file system with each file's cache dropped instead"
    local dir=$WORK/disk
    write_files "$dir/c" "$GIB" 1G A || return 1
    compare_with_dd "disk folder, constant" "$dir/c" "$GIB" 0.95 1
    rm -rf "$dir/c"
    write_files "$dir/r" "$GIB" 1G RND || return 1
    compare_with_dd "disk folder, random" "$dir/r" "$GIB" 0.95 1
    rm -rf "$dir"
    return 0
  fi
  local img=$WORK/ext4.img mnt=$WORK/ext4
  mkdir -p "$mnt"
  truncate -s $(((2 * GIB + 1) * 1024))M "$img"
  if ! mkfs.ext4 -q -F "$img" 2>/dev/null; then
    skip "mkfs.ext4 failed"
    return 0
  fi
  LOOP_DEV=$(losetup -f --show --direct-io=on "$img" 2>/dev/null ||
             losetup -f --show "$img" 2>/dev/null)
  if [ -z "$LOOP_DEV" ] || ! mount "$LOOP_DEV" "$mnt" 2>/dev/null; then
    skip "cannot set up or mount a loop device here"
    return 0
  fi
  MOUNTS+=("$mnt")
  local stat=/sys/block/$(basename "$LOOP_DEV")/stat

  write_files "$mnt/c" "$GIB" 1G A || return 1
  compare_with_dd "ext4 loop, caches dropped, constant" "$mnt/c" "$GIB" 0.95 1
  rm -rf "$mnt/c"
  if writer_built; then
    write_files "$mnt/p" "$GIB" 1G PRUEF || return 1
    compare_with_dd "ext4 loop, caches dropped, stamped (PRUEF)" "$mnt/p" "$GIB" 0.95 1
    rm -rf "$mnt/p"
  fi

  # Right after the write, without dropping anything: the reader must read
  # the files back from the device, not from the page cache.
  write_files "$mnt/r" "$GIB" 1G RND || return 1
  if [ -r "$stat" ]; then
    local before after read_bytes share
    before=$(awk '{ print $3 }' "$stat")
    run_korvlas "$mnt/r" 0 "$GIB"
    after=$(awk '{ print $3 }' "$stat")
    read_bytes=$(((after - before) * 512))
    share=$(ratio "$read_bytes" $((GIB * GIB_BYTES)))
    say "loop device reads during korvlas right after the write: $read_bytes of $((GIB * GIB_BYTES)) bytes ($share), target >= 0.90: $(verdict "$share" 0.90)"
  else
    skip "no read counters at $stat"
  fi
  compare_with_dd "ext4 loop, caches dropped, random" "$mnt/r" "$GIB" 0.95 1

  f3_part "$mnt" "$mnt/r"
  rm -rf "$mnt/r" "$mnt/f3"
}

ensure_f3() {
  command -v f3read >/dev/null && return 0
  if is_root && command -v apt-get >/dev/null; then
    say "installing f3 (Debian package) for f3write/f3read"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq f3 >/dev/null 2>&1 ||
      { apt-get update -qq >/dev/null 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq f3 >/dev/null 2>&1; }
  fi
  command -v f3read >/dev/null
}

# f3read over GIB files written by f3write, against korvlas over GIB random
# files of 1 GiB on the same volume; caches dropped before each run.
f3_part() {  # mount folder-with-random-korvfyll-files
  local mnt=$1 dir=$2
  if ! ensure_f3; then
    skip "f3read is missing and cannot be installed (needs root and apt-get)"
    return 0
  fi
  mkdir -p "$mnt/f3"
  if ! f3write --end-at="$GIB" "$mnt/f3" >/dev/null 2>&1; then
    skip "f3write failed on the loop volume"
    return 0
  fi
  local f3_times=() k_times=() i t0 t1 who
  for ((i = 1; i <= PAIRS; i++)); do
    local order="korvlas f3read"
    ((i % 2 == 0)) && order="f3read korvlas"
    for who in $order; do
      sync
      echo 3 >/proc/sys/vm/drop_caches
      t0=$(now)
      if [ "$who" = korvlas ]; then
        run_korvlas "$dir" 0 "$GIB"
      else
        f3read --end-at="$GIB" "$mnt/f3" >/dev/null 2>&1
      fi
      t1=$(now)
      if [ "$who" = korvlas ]; then
        k_times+=("$(elapsed "$t0" "$t1")")
      else
        f3_times+=("$(elapsed "$t0" "$t1")")
      fi
    done
  done
  local k f r
  k=$(median "${k_times[@]}")
  f=$(median "${f3_times[@]}")
  r=$(ratio "$f" "$k")
  say "ext4 loop, $GIB GiB: korvlas $k s, f3read $f s (medians of $PAIRS pairs), f3read/korvlas time $r, target >= 1.00: $(verdict "$r" 1.00)"
}

# --- From memory: a tmpfs -------------------------------------------------
tmpfs_part() {
  if ! is_root; then
    skip "mounting a tmpfs needs root"
    return 0
  fi
  local mnt=$WORK/tmpfs
  mkdir -p "$mnt"
  if ! mount -t tmpfs -o size=$((2 * GIB + 1))G tmpfs "$mnt" 2>/dev/null; then
    skip "cannot mount a tmpfs here"
    return 0
  fi
  MOUNTS+=("$mnt")
  write_files "$mnt/c" "$GIB" 1G A || return 1
  compare_with_dd "tmpfs, constant" "$mnt/c" "$GIB" 0.80 0
  rm -rf "$mnt/c"
  write_files "$mnt/r" "$GIB" 1G RND || return 1
  compare_with_dd "tmpfs, random" "$mnt/r" "$GIB" 0.30 0
  if writer_built; then
    write_files "$mnt/p" "$GIB" 1G PRUEF || return 1
    compare_stamped_random "$mnt/p" "$mnt/r"
    rm -rf "$mnt/p"
  fi
  rm -rf "$mnt/r"
  umount "$mnt" && MOUNTS=("${MOUNTS[@]/$mnt/}")
}

# Alternating pairs of korvlas over stamped and over random files of the same
# size in memory: the stamped check must cost no more than the random-file
# check; also the check's GB/s per core (bytes over user + system time).
compare_stamped_random() {  # stamped-folder random-folder
  local bytes=$((GIB * GIB_BYTES)) p_rates=() r_rates=() cpu=() i who t0 t1
  local TIMEFORMAT='%U %S'
  for ((i = 1; i <= PAIRS; i++)); do
    local order="stamped random"
    ((i % 2 == 0)) && order="random stamped"
    for who in $order; do
      if [ "$who" = stamped ]; then
        local used
        t0=$(now)
        used=$( { time run_korvlas "$1" 0 "$GIB"; } 2>&1 | tail -1)
        t1=$(now)
        p_rates+=("$(rate "$bytes" "$(elapsed "$t0" "$t1")")")
        cpu+=("$(awk -v b="$bytes" -v u="$used" 'BEGIN { split(u, t, " "); printf "%.2f", b / (t[1] + t[2]) / 1e9 }')")
      else
        t0=$(now)
        run_korvlas "$2" 0 "$GIB"
        t1=$(now)
        r_rates+=("$(rate "$bytes" "$(elapsed "$t0" "$t1")")")
      fi
    done
  done
  local p r
  p=$(median "${p_rates[@]}")
  r=$(median "${r_rates[@]}")
  say "tmpfs, stamped (PRUEF) against random: korvlas $p GB/s against $r GB/s (medians of $PAIRS pairs: stamped ${p_rates[*]}; random ${r_rates[*]}), ratio $(ratio "$p" "$r"), target >= 1.00: $(verdict "$(ratio "$p" "$r")" 1.00)"
  say "tmpfs, stamped check per core: $(median "${cpu[@]}") GB/s of user + system time (${cpu[*]})"
}

# --- Many one-byte files, and the memory for a million --------------------
time_korvlas() {  # folder count -> seconds (median of 3)
  local times=() i t0 t1
  for ((i = 0; i < 3; i++)); do
    t0=$(now)
    run_korvlas "$1" 0 "$2"
    t1=$(now)
    times+=("$(elapsed "$t0" "$t1")")
  done
  median "${times[@]}"
}

many_part() {
  if [ "$MANY" != 1 ]; then
    skip "many-files part switched off (KORV_BENCH_MANY=$MANY)"
    return 0
  fi
  if ! writer_built; then
    skip "many-files part needs korvfyll"
    return 0
  fi
  local dir=$WORK/many
  mkdir -p "$dir"
  local where="a folder on $(df -P "$WORK" | awk 'NR == 2 { print $1 }')"
  if is_root && mount -t tmpfs -o size=6G,nr_inodes=2000000 tmpfs "$dir" 2>/dev/null; then
    MOUNTS+=("$dir")
    where="a tmpfs"
  fi
  local files=$dir/files
  mkdir -p "$files"
  HOME=$HOME_DIR "$KORVFYLL" 1 A 0 100000 N "$files" 0 </dev/null >/dev/null || return 1
  sync
  local t100 t500
  t100=$(time_korvlas "$files" 100000)
  HOME=$HOME_DIR "$KORVFYLL" 1 A 100000 400000 N "$files" 0 </dev/null >/dev/null || return 1
  sync
  t500=$(time_korvlas "$files" 500000)
  local growth
  growth=$(ratio "$t500" "$t100")
  say "one-byte files on $where: 100,000 in $t100 s, 500,000 in $t500 s (medians of 3), growth $growth for 5x the files, target <= 6: $(awk -v g="$growth" 'BEGIN { print (g <= 6) ? "ok" : "ABOVE TARGET" }')"
  say "cost per file: $(awk -v t="$t500" 'BEGIN { printf "%.1f", t / 500000 * 1e6 }') us"

  HOME=$HOME_DIR "$KORVFYLL" 1 A 500000 500000 N "$files" 0 </dev/null >/dev/null || return 1
  sync
  local present
  present=$(find "$files" -maxdepth 1 -name 'N*.KVL' | wc -l)
  if [ "$present" != 1000000 ]; then
    say "korvfyll left $present files instead of 1,000,000 in $files"
    return 1
  fi
  local kib=""
  if [ -x /usr/bin/time ]; then
    kib=$( { /usr/bin/time -f '%M' env HOME="$HOME_DIR" "$KORVLAS" 0 1000000 N "$files" \
               </dev/null >/dev/null; } 2>&1 | tail -1)
  else
    # Without GNU time: the peak resident size, polled until the run ends.
    HOME=$HOME_DIR "$KORVLAS" 0 1000000 N "$files" </dev/null >/dev/null &
    local pid=$! hwm
    while kill -0 "$pid" 2>/dev/null; do
      hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$hwm" ] && kib=$hwm
      sleep 0.1
    done
    wait "$pid"
  fi
  if [ -n "$kib" ]; then
    local mb
    mb=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k * 1024 / 1e6 }')
    say "memory for 1,000,000 files: $mb MB peak resident, target < 200 MB: $(awk -v m="$mb" 'BEGIN { print (m < 200) ? "ok" : "ABOVE TARGET" }')"
  else
    skip "could not read the peak memory of korvlas"
  fi
  rm -rf "$files"
}

ext4_part || exit 1
tmpfs_part || exit 1
many_part || exit 1
exit 0
