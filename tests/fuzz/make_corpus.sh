#!/usr/bin/env bash
# Builds the seed corpus of the deck fuzzer: one file per example and golden
# deck, crparam.txt, the separator line "@@@", then crbicond.txt. Given the
# program, also one seed per deck whose steady flow it computes within 20 s:
# the deck, "@@@", then the saved state it wrote; and one per deck it runs
# within 20 s with the run state saved at its end.
# Usage: make_corpus.sh SOURCE_DIR CORPUS_DIR [QUARNO]
set -euo pipefail
src=$1
out=$2
quarno=${3:+$(realpath "$3")}
mkdir -p "$out"
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
  fi
done
echo "seed corpus: $(ls "$out" | wc -l) files ($(ls "$out" | grep -c -- -state || true) with a saved state) in $out"
