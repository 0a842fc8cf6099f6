#!/usr/bin/env bash
# Builds the seed corpus of the deck fuzzer: one file per example and golden
# deck, crparam.txt, the separator line "@@@", then crbicond.txt.
# Usage: make_corpus.sh SOURCE_DIR CORPUS_DIR
set -euo pipefail
src=$1
out=$2
mkdir -p "$out"
for dir in "$src"/examples/*/ "$src"/tests/data/golden/deck-*/; do
  [ -f "$dir/crparam.txt" ] && [ -f "$dir/crbicond.txt" ] || continue
  name=seed-$(basename "$dir")
  { cat "$dir/crparam.txt"; printf '@@@\n'; cat "$dir/crbicond.txt"; } >"$out/$name"
done
echo "seed corpus: $(ls "$out" | wc -l) files in $out"
