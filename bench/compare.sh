#!/usr/bin/env bash
# Times, in one run, palvara-cli analyze (reading) and palvara-cli recover (reading and writing
# a new PST) against the two independent readers, which read and write an export, on the same
# store:
#   readpst -D -M -b -o DIR FILE      (pst-utils)
#   pffexport -m all -t DIR FILE      (pff-tools)
# and palvara-cli export to mbox files against readpst writing the same (readpst -j 0 -D -r).
# Prints the median wall time of each over the repetitions and the ratios to palvara.
# usage: bench/compare.sh FILE [REPETITIONS]   (palvara-cli from $PALVARA_CLI or build/cli)
set -euo pipefail
file=${1:?usage: bench/compare.sh FILE [REPETITIONS]}
reps=${2:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
cli=${PALVARA_CLI:-$here/build/cli/palvara-cli}
[ -x "$cli" ] || { echo "no palvara-cli at $cli (run make build)" >&2; exit 1; }
command -v readpst >/dev/null && command -v pffexport >/dev/null ||
  { echo "readpst and pffexport are needed (make deps)" >&2; exit 1; }
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

ours=$(median "$cli" analyze "$file")
recover_t=$(median "$cli" recover "$file" --to "$work/out")
readpst_t=$(median readpst -D -M -b -o "$work/out" "$file")
# pffexport wants a target path that does not exist yet.
pff_t=$(median pffexport -m all -t "$work/out/export" "$file")
export_t=$(median "$cli" export "$file" --to "$work/out" --format mbox --all)
readpst_mbox_t=$(median readpst -j 0 -D -r -o "$work/out" "$file")

echo "store: $(basename "$file") ($(stat -c %s "$file") bytes), median of $reps runs"
printf '%-22s %8s s\n' "palvara-cli analyze" "$ours"
printf '%-22s %8s s\n' "palvara-cli recover" "$recover_t"
printf '%-22s %8s s   %6.1fx palvara\n' "readpst -D -M -b" "$readpst_t" "$(echo "$readpst_t / $ours" | bc -l)"
printf '%-22s %8s s   %6.1fx palvara\n' "pffexport -m all" "$pff_t" "$(echo "$pff_t / $ours" | bc -l)"
printf '%-22s %8s s\n' "palvara-cli export" "$export_t"
printf '%-22s %8s s   %6.1fx palvara export\n' "readpst -j 0 -D -r" "$readpst_mbox_t" \
  "$(echo "$readpst_mbox_t / $export_t" | bc -l)"
