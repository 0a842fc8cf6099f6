#!/usr/bin/env bash
# scripts/run-many on copies of the example decks plus a deliberately broken
# one: every good deck runs, the broken one is named, and the script fails.
# (The flood-wave example is left out for time: it runs for seconds.)
set -euo pipefail
root=$1
quarno=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for e in steady-reach uvas-reach storm-resuspension; do cp -r "$root/examples/$e" "$work/"; done
mkdir "$work/broken"
cp "$root/examples/steady-reach/"crparam.txt "$root/examples/steady-reach/"crbicond.txt "$work/broken/"
sed -i '3s/.*/  0  0  2/' "$work/broken/crparam.txt"  # too few nodes

status=0
"$root/scripts/run-many" -j 2 -q "$quarno" "$work"/* >"$work/report.txt" || status=$?
cat "$work/report.txt"
[ "$status" -eq 1 ] || { echo "expected exit status 1, got $status"; exit 1; }
grep -q "^FAILED  exit 1 .*$work/broken: crparam.txt, line 3: Nfdn must be at least 3" "$work/report.txt"
for e in steady-reach uvas-reach storm-resuspension; do
  grep -q "^ok      exit 0 .*$work/$e\$" "$work/report.txt"
  [ -s "$work/$e/crOutput.txt" ] && [ -s "$work/$e/crObsNode.txt" ]
done
grep -q "^4 runs, 3 succeeded, 1 failed$" "$work/report.txt"

# Without the broken deck the script succeeds; options reach every run, as
# arguments only (the quoted one would create a file if a shell read it).
rm -rf "$work/broken"
"$root/scripts/run-many" -j 2 -q "$quarno" -o --csv -o "--start-date=2024-06-01T00:00:00Z" \
  "$work"/steady-reach "$work"/uvas-reach >"$work/report.txt"
grep -q "^2 runs, 2 succeeded, 0 failed$" "$work/report.txt"
for e in steady-reach uvas-reach; do head -1 "$work/$e/crObsNode.csv" | grep -q "time_s,datetime,"; done
status=0
(cd "$work" && "$root/scripts/run-many" -q "$quarno" -o '$(touch pwned)' steady-reach >/dev/null) || status=$?
[ "$status" -eq 1 ] && [ ! -e "$work/pwned" ] && [ ! -e "$work/steady-reach/pwned" ]
grep -qF 'Directory does not exist: $(touch pwned)' "$work/steady-reach/errors.txt"
# -h prints the usage on standard output and succeeds.
"$root/scripts/run-many" -h | grep -q -- "-o OPTION   an option for every run"
echo "run-many: all checks passed"
