#!/usr/bin/env bash
# Paired timings of palvara-cli against the work it is measured by, on one store:
#   recover  vs  readpst -j 0 -D -M -b   (an independent reader exporting every item)
#   analyze  vs  readpst -j 0 -D -M -b
#   export --format mbox --all  vs  readpst -j 0 -D -r   (both write every folder as mbox)
#   recover  vs  cp + fsync of the copy  (the floor: the store's bytes read and written once)
# The two commands of a pair run one after the other, alternating which goes first; each
# pair gives one ratio, and the median of the ratios is printed with the medians of the wall
# times and of the peak resident memory (/usr/bin/time). Medians of pairs keep the ratios
# sound on a machine whose speed drifts while other jobs run.
# With --large N, the peak memory of recover is also measured on a sample of N messages.
#
# usage: bench/ratios.sh [--messages N] [--large N] [--runs R] [--keep DIR] [FILE]
#   FILE         a store to measure (default: make-sample --messages N, 20000 by default)
#   --keep DIR   where samples are made and kept between calls (default: a temporary folder)
#   palvara-cli from $PALVARA_CLI or build/cli
set -euo pipefail
messages=20000 large=0 runs=5 keep= file=
while (($#)); do
  case $1 in
    --messages) messages=$2; shift 2 ;;
    --large) large=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) file=$1; shift ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${PALVARA_CLI:-$here/build/cli/palvara-cli}
[ -x "$cli" ] || { echo "no palvara-cli at $cli (run make build)" >&2; exit 1; }
command -v readpst >/dev/null || { echo "readpst is needed (make deps)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
store_dir=${keep:-$work}
mkdir -p "$store_dir"
printf '[PV_PST]\nLogPath=%s\n' "$work" > "$work/PV_PST.ini"
export PALVARA_SETTINGS="$work/PV_PST.ini"

sample() {  # the path of a sample of $1 messages, made once
  local path="$store_dir/sample-$1.pst"
  [ -s "$path" ] || "$cli" make-sample --out "$path" --messages "$1" >/dev/null
  echo "$path"
}

# One timed run into a fresh output folder: prints "wall-seconds peak-KiB".
run() {
  rm -rf "$work/out"
  mkdir -p "$work/out"
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>&1 || true
  tail -n 1 "$work/time"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# pair NAME-A NAME-B -- A... -- B...: $runs paired runs; prints the medians and the ratio A/B.
pair() {
  local name_a=$1 name_b=$2
  shift 3
  local a=() b=()
  while [ "$1" != -- ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  run "${a[@]}" >/dev/null  # warm the page cache
  : > "$work/pairs"
  for ((i = 0; i < runs; i++)); do
    local ta tb
    if ((i % 2)); then tb=$(run "${b[@]}"); ta=$(run "${a[@]}"); else ta=$(run "${a[@]}"); tb=$(run "${b[@]}"); fi
    echo "$ta $tb" >> "$work/pairs"
  done
  local wa wb ma mb ratio
  wa=$(awk '{ print $1 }' "$work/pairs" | median)
  ma=$(awk '{ print $2 }' "$work/pairs" | median)
  wb=$(awk '{ print $3 }' "$work/pairs" | median)
  mb=$(awk '{ print $4 }' "$work/pairs" | median)
  ratio=$(awk '{ print ($3 > 0 ? $1 / $3 : 0) }' "$work/pairs" | median)
  printf '%-10s %8.2f s %7.0f MB | %-22s %8.2f s %7.0f MB | ratio %.3f\n' \
    "$name_a" "$wa" "$((${ma%.*} / 1024))" "$name_b" "$wb" "$((${mb%.*} / 1024))" "$ratio"
}

copy_sync() { cp "$1" "$2" && sync "$2"; }
export -f copy_sync

[ -n "$file" ] || file=$(sample "$messages")
echo "store: $file ($(stat -c %s "$file") bytes); medians of $runs paired runs"
pair recover "readpst -j0 -D -M -b" -- "$cli" recover "$file" --to "$work/out" \
  -- readpst -j 0 -D -M -b -o "$work/out" "$file"
pair analyze "readpst -j0 -D -M -b" -- "$cli" analyze "$file" \
  -- readpst -j 0 -D -M -b -o "$work/out" "$file"
pair export "readpst -j0 -D -r" -- "$cli" export "$file" --to "$work/out" --format mbox --all \
  -- readpst -j 0 -D -r -o "$work/out" "$file"
pair recover "cp + fsync" -- "$cli" recover "$file" --to "$work/out" \
  -- bash -c 'copy_sync "$1" "$2"' _ "$file" "$work/out/copy.pst"

if ((large > 0)); then
  big=$(sample "$large")
  small_rss=$(for ((i = 0; i < 3; i++)); do run "$cli" recover "$file" --to "$work/out"; done | awk '{ print $2 }' | median)
  big_rss=$(for ((i = 0; i < 3; i++)); do run "$cli" recover "$big" --to "$work/out"; done | awk '{ print $2 }' | median)
  printf 'peak memory of recover: %s messages %d MB, %s messages %d MB, ratio %.2f\n' \
    "$messages" "$((small_rss / 1024))" "$large" "$((big_rss / 1024))" "$(echo "$big_rss / $small_rss" | bc -l)"
fi
