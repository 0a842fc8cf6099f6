#!/usr/bin/env bash
# `cmake --install` into an empty prefix, then used from another folder with
# only that prefix on PATH and PYTHONPATH: every relative link of the
# installed guides resolves, and an installed example is run, plotted,
# fitted, sampled and its observations made again by its own script.
#   tests/install_test.sh BUILD_DIR [skip-fit]
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
doc=$prefix/share/doc/Quarno

/usr/bin/python3 - "$doc" <<'PY'
import pathlib, re, sys
doc = pathlib.Path(sys.argv[1])
pages = sorted(doc.rglob("*.md"))
assert len(pages) >= 10, pages
bad = []
for page in pages:
    for target in re.findall(r"\]\(([^)\s]+)\)", page.read_text(encoding="utf-8")):
        if "://" in target or target.startswith("#"):
            continue
        if not (page.parent / target.split("#")[0]).exists():
            bad.append(f"{page.relative_to(doc)}: {target}")
assert not bad, "broken links:\n" + "\n".join(bad)
print(f"{len(pages)} installed pages, every relative link resolves")
PY

mkdir "$work/elsewhere"
cp -r "$doc/examples/storm-calibration" "$work/elsewhere/"
cd "$work/elsewhere"
export -n QUARNO
env -i HOME="$work" PATH="$prefix/bin:/usr/bin:/bin" \
    PYTHONPATH="$prefix/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
    ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} \
    SKIP_FIT="${2:-}" PREFIX="$prefix" bash -euo pipefail -c '
  quarno --no-pause --quiet --csv storm-calibration >/dev/null
  test "$(python3 -c "import quarno; print(quarno.default_program())")" = "$PREFIX/bin/quarno"
  python3 -c "import quarno; print(len(quarno.Results(\"storm-calibration\").observations))" \
    | grep -qx 1408
  quarno-plot storm-calibration --log --discharge --observations storm-calibration/observations.csv \
    >plots.txt
  test "$(wc -l <plots.txt)" -eq 4
  (cd storm-calibration && python3 make_observations.py --out ../again.csv)
  cmp again.csv storm-calibration/observations.csv
  if [ -z "$SKIP_FIT" ]; then
    quarno-fit storm-calibration/fit.toml >fit.log
    grep -q "^Re," storm-calibration/fit/estimates.csv
    # The sampler on its local Dask cluster: 12 GLUE runs of two workers.
    sed -e "s/^n = 2000 .*/n = 12/; s/^threshold = .*/threshold = 1e9/" \
      -e "s/^likelihood = .*/likelihood = \"gaussian\"/" storm-calibration/glue.toml >storm-calibration/tiny.toml
    quarno-sample storm-calibration/tiny.toml --out tiny >sample.log
    grep -q "^method glue, seed 2024, 12 runs (0 failed)" tiny/summary.txt
    test "$(wc -l <tiny/glue_bands.csv)" -gt 1000
  fi
'
echo "installed tree: run, plot, observations${2:- and fit and sampling} from another folder"
