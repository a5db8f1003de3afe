#!/usr/bin/env bash
# Times palvara-cli export (every folder to mbox) against readpst writing mbox files with the
# same folder tree (readpst -j 0 -D -r), on the same store, and prints the median wall time of
# each over the repetitions and the ratio.
# usage: bench/export_compare.sh FILE [REPETITIONS]   (palvara-cli from $PALVARA_CLI or build/cli)
set -euo pipefail
file=${1:?usage: bench/export_compare.sh FILE [REPETITIONS]}
reps=${2:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${PALVARA_CLI:-$here/build/cli/palvara-cli}
[ -x "$cli" ] || { echo "no palvara-cli at $cli (run make build)" >&2; exit 1; }
command -v readpst >/dev/null || { echo "readpst is needed (make deps)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '[PV_PST]\nLogPath=%s\n' "$work" > "$work/PV_PST.ini"
export PALVARA_SETTINGS="$work/PV_PST.ini"

# Median wall time, in seconds, of a command run $reps times, each into a fresh output folder.
median() {
  local times=()
  for ((i = 0; i < reps; i++)); do
    rm -rf "$work/out"
    mkdir -p "$work/out"
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=($((end - start)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.4f", t[int((NR + 1) / 2)] / 1e9 }'
}

ours=$(median "$cli" export "$file" --to "$work/out" --format mbox --all)
theirs=$(median readpst -j 0 -D -r -o "$work/out" "$file")
echo "store: $(basename "$file") ($(stat -c %s "$file") bytes), median of $reps runs"
printf '%-34s %8s s\n' "palvara-cli export --format mbox" "$ours"
printf '%-34s %8s s   %6.1fx palvara\n' "readpst -j 0 -D -r" "$theirs" "$(echo "$theirs / $ours" | bc -l)"
