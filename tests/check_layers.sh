#!/usr/bin/env bash
# Fails when a source file includes a header of a layer it may not use, or
# when a file other than the command-line unit includes CLI11.
# Usage: check_layers.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"
declare -A allowed=(
  [model]="model"
  [parallel]="model parallel"
  [solver]="model parallel solver"
  [output]="model output"
  [input]="model output input"
  [run]="model parallel solver output input run"
)
breaches=0
files=0
for layer in "${!allowed[@]}"; do
  for file in "$layer"/*; do
    files=$((files + 1))
    while IFS= read -r used; do
      case " ${allowed[$layer]} " in
        *" $used "*) ;;
        *) echo "$file includes a header of $used/, a layer it may not use"; breaches=$((breaches + 1)) ;;
      esac
    done < <(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file")
  done
done
for dir in */; do
  [ -n "${allowed[${dir%/}]+x}" ] || { echo "src/$dir is no known layer"; breaches=$((breaches + 1)); }
done
cli=$(grep -l '#include <CLI/' -r . | sort)
if [ "$cli" != "./run/Options.cpp" ]; then
  echo "CLI11 is included by: $cli (only run/Options.cpp may)"; breaches=$((breaches + 1))
fi
echo "layers: $files files checked, $breaches breaches"
[ "$breaches" -eq 0 ]
