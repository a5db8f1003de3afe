#!/usr/bin/env bash
# Shows that two builds of palvara-cli give the same results on every store of a folder: the
# analysis of each store (analyze --json --items), and for the new PST that recover writes
# from it, its check (check --json) and its analysis. Paths are left out of the comparison.
# Whether the two new PSTs are byte for byte the same is reported too: they are when both runs
# fall within the same second (the new store carries its name, which carries the time). The
# export of each store in every open format (export --format all --all) must be byte for byte
# the same as well, Maildir file names aside (they carry the process id and the run's tag).
# usage: bench/same_results.sh OLD-CLI NEW-CLI [STORE-FOLDER]   (default ../shared/testdata/stores)
set -uo pipefail
old=${1:?usage: bench/same_results.sh OLD-CLI NEW-CLI [STORE-FOLDER]}
new=${2:?usage: bench/same_results.sh OLD-CLI NEW-CLI [STORE-FOLDER]}
here=$(cd "$(dirname "$0")/.." && pwd)
folder=${3:-$here/../shared/testdata/stores}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '[PV_PST]\nLogPath=%s\n' "$work" > "$work/PV_PST.ini"
export PALVARA_SETTINGS="$work/PV_PST.ini"

# Runs one build's jobs on one store into $work/$side: analysis, recover, the new PST's check
# and analysis; folders and the time in the new PST's name are blanked so that only results
# are compared.
results() {
  local cli=$1 side=$2 store=$3
  rm -rf "${work:?}/$side"
  mkdir -p "$work/$side/out"
  "$cli" analyze "$store" --json --items > "$work/$side/analyze.json" 2>/dev/null
  echo "exit $?" >> "$work/$side/analyze.json"
  "$cli" recover "$store" --to "$work/$side/out" --json > /dev/null 2>&1
  echo "recover exit $?" > "$work/$side/recovered.txt"
  for pst in "$work/$side/out"/*.pst; do
    [ -e "$pst" ] || continue
    "$cli" check "$pst" --json >> "$work/$side/recovered.txt" 2>/dev/null
    "$cli" analyze "$pst" --json --items >> "$work/$side/recovered.txt" 2>/dev/null
  done
  sed -i -E 's#"(source|path)": "[^"]*/#"\1": ".../#; s#-[0-9]+-[0-9]+-[0-9]{4} [0-9]+-[0-9]+-[0-9]+(-[0-9]+)?\.pst#-TIME.pst#g' \
    "$work/$side/analyze.json" "$work/$side/recovered.txt"
  mkdir -p "$work/$side/export"
  : > "$work/$side/maildir.txt"
  "$cli" export "$store" --to "$work/$side/export" --format all --all > /dev/null 2>&1
  echo "export exit $?" >> "$work/$side/recovered.txt"
  if [ -d "$work/$side/export/Maildir" ]; then
    (cd "$work/$side/export/Maildir" && find . -type f | sort | while read -r f; do
      echo "$(echo "$f" | sed -E 's/P[0-9]+(Q[0-9]+)?\.palvara/P.palvara/') $(md5sum < "$f")"
    done) > "$work/$side/maildir.txt"
    rm -rf "$work/$side/export/Maildir"
  fi
}

same=0 differ=0 identical=0
for store in "$folder"/*.pst "$folder"/*.ost; do
  [ -e "$store" ] || continue
  results "$old" old "$store"
  results "$new" new "$store"
  name=$(basename "$store")
  if cmp -s "$work/old/analyze.json" "$work/new/analyze.json" &&
     cmp -s "$work/old/recovered.txt" "$work/new/recovered.txt" &&
     diff -r "$work/old/export" "$work/new/export" > /dev/null 2>&1 &&
     cmp -s "$work/old/maildir.txt" "$work/new/maildir.txt"; then
    same=$((same + 1))
    # The new PSTs' names carry the time of the run: compare them in name order.
    mapfile -t a < <(ls "$work/old/out"/*.pst 2>/dev/null)
    mapfile -t b < <(ls "$work/new/out"/*.pst 2>/dev/null)
    bytes=yes
    ((${#a[@]} == ${#b[@]})) || bytes=no
    for i in "${!a[@]}"; do cmp -s "${a[$i]}" "${b[$i]:-/dev/null}" || bytes=no; done
    [ "$bytes" = yes ] && identical=$((identical + 1))
    echo "same      $name (new PST byte for byte: $bytes)"
  else
    differ=$((differ + 1))
    echo "DIFFERENT $name"
    diff <(cat "$work/old/analyze.json" "$work/old/recovered.txt") \
         <(cat "$work/new/analyze.json" "$work/new/recovered.txt") | head -20
    diff -rq "$work/old/export" "$work/new/export" | head -5
  fi
done
echo "$same stores give the same results ($identical with byte-identical new PSTs), $differ differ"
((differ == 0))
