#!/usr/bin/env bash
# Plants breaches of the layer rules, one at a time, in copies of the source
# tree and checks that check_layers.sh reports each (one breach more than the
# tree has, naming the planted file) and fails; lines that break no rule
# must add none.
# Usage: check_layers_breaches.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tree"
cp -r "$source_dir/src" "$work/tree/src"
breaches() { sed -n 's/^layers: .* \([0-9]*\) breaches$/\1/p' <<<"$1"; }
base=$(breaches "$("$source_dir/tests/check_layers.sh" "$work/tree")")
failures=0
# file | line appended to it | breaches it adds
while IFS='|' read -r file text added; do
  rm -rf "$work/planted"
  cp -r "$work/tree" "$work/planted"
  printf '%s\n' "$text" >>"$work/planted/src/$file"
  report=$("$source_dir/tests/check_layers.sh" "$work/planted")
  status=$?
  found=$(breaches "$report")
  if [ "$found" != $((base + added)) ] || { [ "$added" -gt 0 ] && { [ "$status" -eq 0 ] ||
       ! grep -q "^$file" <<<"$report"; }; }; then
    echo "planted in $file: '$text': $found breaches (expected $((base + added))), status $status"
    echo "$report"
    failures=$((failures + 1))
  fi
done <<'TABLE'
solver/Planted.cpp|void advance(Model& m);|1
solver/TransportStep.hpp|double total(const Model *m, int k);|1
output/Planted.hpp|void write_all(const Model &m, Outputs& out);|1
output/Records.cpp|void write_rows(Outputs& out, const Model& model) {}|1
run/Planted.cpp|#include "run/Options.hpp"|1
run/Reports.hpp|#include "run/Options.hpp"|1
solver/Planted.cpp|#include "output/Records.hpp"|1
output/Planted.hpp|void write_all(Outputs& out);  // not write_all(const Model& m)|0
output/Planted.hpp|struct ModelRows; void rows(const ModelRows& r);|0
run/main.cpp|#include "run/Options.hpp"|0
run/Options.cpp|#include "run/Options.hpp"|0
run/Planted.cpp|void run(Model& m);|0
TABLE
echo "planted breaches: $failures not reported as expected (the tree has $base)"
[ "$failures" -eq 0 ]
