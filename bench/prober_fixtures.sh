#!/usr/bin/env bash
# korvprov on the tests' counterfeit cards (FUSE images under a loop device,
# filled with random data): the time and the bytes written for each card,
# beside its verdict, and whether the card holds the same bytes afterwards.
# Goals: under a minute and under a quarter of the card for every card.
# Needs root, FUSE and the tests' fake_card_fs (make test builds it).
#
#   BUILD=build bash bench/prober_fixtures.sh
set -u
set -o pipefail

BUILD=${BUILD:-build}
KORVPROV=$(readlink -f "$BUILD/korvprov" 2>/dev/null || true)
CARD=$(readlink -f "$BUILD/tests/fake_card_fs" 2>/dev/null || true)

say() { printf '%s\n' "$*"; }
skip() { say "SKIP: $*"; }

if [ ! -x "$KORVPROV" ] || [ ! -x "$CARD" ]; then
  skip "no korvprov or tests/fake_card_fs in $BUILD (run make test first)"
  exit 0
fi
if [ "$(id -u)" != 0 ] || [ ! -e /dev/fuse ]; then
  skip "korvprov fixtures need root and FUSE"
  exit 0
fi

WORK=$(mktemp -d /tmp/korv-prober-bench.XXXXXX)
LOOP=""
cleanup() {
  [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null
  umount "$WORK/fuse" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/home" "$WORK/fuse"

failed=0
# name, announced, real, then where the excess lands and where errors
# start, and the card's options (--cache=...)
fixture() {
  local name=$1 announced=$2 real=$3
  shift 3
  local places=() options=()
  for arg in "$@"; do
    case $arg in --*) options+=("$arg") ;; *) places+=("$arg") ;; esac
  done
  "$CARD" "${options[@]}" --fill=7 "$WORK/fuse" "$announced" "$real" \
    "${places[@]}" || {
    say "$name: the card could not be made"; failed=1; return; }
  LOOP=$(losetup --find --show "$WORK/fuse/card.img") || {
    umount "$WORK/fuse"; say "$name: no loop device"; failed=1; return; }
  local before after start end out status seconds written bytes
  before=$(sha256sum < "$WORK/fuse/card.img" 2>/dev/null) || before=
  start=$(date +%s.%N)
  out=$(HOME=$WORK/home "$KORVPROV" "$LOOP" </dev/null 2>&1)
  status=$?
  end=$(date +%s.%N)
  after=$(sha256sum < "$WORK/fuse/card.img" 2>/dev/null) || after=
  losetup -d "$LOOP"
  LOOP=""
  umount "$WORK/fuse"
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
  written=$(printf '%s\n' "$out" | sed -n 's/^Geschrieben: \([0-9.,]*\) \([KMG]\).*/\1 \2/p')
  bytes=$(awk -v w="${written% *}" -v u="${written#* }" 'BEGIN {
    gsub(/\./, "", w); sub(/,/, ".", w);
    m = u == "G" ? 1073741824 : u == "M" ? 1048576 : 1024; printf "%.0f", w * m }')
  local share goal="ok" size
  size=$(numfmt --from=iec "$announced")
  share=$(awk -v b="$bytes" -v a="$size" 'BEGIN { printf "%.2f", 100 * b / a }')
  if awk -v s="$seconds" -v b="$bytes" -v a="$size" \
      'BEGIN { exit !(s >= 60 || 4 * b >= a) }'; then
    goal="MISSED"; failed=1
  fi
  local same="same"
  if [ -z "$before" ]; then
    same="not readable whole (the card fails past its end)"
  elif [ "$before" != "$after" ]; then
    same="CHANGED"; failed=1
  fi
  local verdict
  verdict=$(printf '%s\n' "$out" | grep -E 'echter Speicher endet|kein Fehler von' |
            sed 's/^Datentraeger [^:]*: //')
  say "$name: status $status, ${seconds} s, written ${written} (${share}% of the card), bytes afterwards $same; goal <60 s and <25%: $goal"
  say "    $verdict"
}

say "== korvprov on counterfeit cards (whole device)"
fixture "96/72 MiB onto 30 MiB" 96M 72M 30M
fixture "96/72 MiB onto the start" 96M 72M 0
fixture "4 GiB/1 GiB onto the start" 4G 1G 0
fixture "1 GiB/600 MiB, 64 MiB cache" 1G 600M 30M --cache=64M
fixture "1 GiB/600 MiB, 256 MiB cache" 1G 600M 30M --cache=256M
fixture "96 MiB, EIO past 72 MiB" 96M 96M - 72M
fixture "1200 MiB sound" 1200M 1200M
exit $failed
