#!/usr/bin/env bash
# Fails when a source file includes a header of a layer it may not use, when
# a function of the kernels or the writers takes the whole model (a Model
# reference or pointer in solver/ or output/: they take views and values),
# when a file other than the command-line unit includes CLI11, or when a run/
# file other than the command-line unit (run/Options.cpp, run/main.cpp)
# includes the options header run/Options.hpp.
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
for file in solver/* output/*; do
  while IFS=: read -r line _; do
    echo "$file:$line takes the whole model (Model& or Model*), which a layer below run/ may not"
    breaches=$((breaches + 1))
  done < <(sed 's|//.*||' "$file" | grep -nE '(^|[^[:alnum:]_])Model[[:space:]]*[&*]' || true)
done
for file in run/*; do
  case "$file" in run/Options.cpp | run/main.cpp) continue ;; esac
  if grep -q '^#include "run/Options.hpp"' "$file"; then
    echo "$file includes run/Options.hpp (only run/Options.cpp and run/main.cpp may)"
    breaches=$((breaches + 1))
  fi
done
cli=$(grep -l '#include <CLI/' -r . | sort)
if [ "$cli" != "./run/Options.cpp" ]; then
  echo "CLI11 is included by: $cli (only run/Options.cpp may)"; breaches=$((breaches + 1))
fi
echo "layers: $files files checked, $breaches breaches"
[ "$breaches" -eq 0 ]
