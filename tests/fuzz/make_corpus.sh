#!/usr/bin/env bash
# Builds the seed corpus of the deck fuzzer: one file per example and golden
# deck, crparam.txt, the separator line "@@@", then crbicond.txt. Given the
# program, also one seed per deck whose steady flow it computes within 20 s:
# the deck, "@@@", then the saved state it wrote; and one per deck it runs
# within 20 s with the run state saved at its end. Given a second folder, the
# seeds of the saved-file fuzzer there: the run states and the flow records
# (compressed and not) of the decks whose record is under 300 kB.
# Usage: make_corpus.sh SOURCE_DIR CORPUS_DIR [QUARNO [SAVED_CORPUS_DIR]]
set -euo pipefail
src=$1
out=$2
quarno=${3:+$(realpath "$3")}
saved=${4:-}
mkdir -p "$out"
[ -z "$saved" ] || mkdir -p "$saved"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for dir in "$src"/examples/*/ "$src"/tests/data/golden/deck-*/; do
  [ -f "$dir/crparam.txt" ] && [ -f "$dir/crbicond.txt" ] || continue
  name=seed-$(basename "$dir")
  { cat "$dir/crparam.txt"; printf '@@@\n'; cat "$dir/crbicond.txt"; } >"$out/$name"
  [ -n "$quarno" ] || continue
  rm -rf "${work:?}"/* && cp "$dir/crparam.txt" "$dir/crbicond.txt" "$work/"
  if (cd "$work" && timeout 20 "$quarno" --steady-flow --no-pause --quiet </dev/null \
        >/dev/null 2>&1); then
    { cat "$out/$name"; printf '@@@\n'; cat "$work/crSteadyFlow.csv"; } >"$out/$name-state"
  fi
  rm -rf "${work:?}"/* && cp "$dir/crparam.txt" "$dir/crbicond.txt" "$work/"
  if (cd "$work" && timeout 20 "$quarno" --save-state run.state --no-pause --quiet </dev/null \
        >/dev/null 2>&1); then
    { cat "$out/$name"; printf '@@@\n'; cat "$work/run.state"; } >"$out/$name-runstate"
    [ -z "$saved" ] || cp "$work/run.state" "$saved/$name.state"
  fi
  [ -n "$saved" ] || continue
  for level in 0 1; do
    rm -rf "${work:?}"/* && cp "$dir/crparam.txt" "$dir/crbicond.txt" "$work/"
    if (cd "$work" && timeout 20 "$quarno" --save-flow run.qflow --flow-compression $level \
          --no-pause --quiet </dev/null >/dev/null 2>&1) &&
       [ "$(stat -c %s "$work/run.qflow")" -lt 300000 ]; then
      cp "$work/run.qflow" "$saved/$name-$level.qflow"
    fi
  done
done
[ -z "$saved" ] || echo "saved-file seeds: $(ls "$saved" | wc -l) files in $saved"
echo "seed corpus: $(ls "$out" | wc -l) files ($(ls "$out" | grep -c -- -state || true) with a saved state) in $out"
