#!/bin/bash
# The accuracy report: fills the three real image pairs (both dates real) with
# gdal_fillnodata and Pelvane (the standard and the refined fill, the latter with
# its error raster), then the olinda case, the demo scene and seven variants of
# olinda (a synthetic second date) with Pelvane (Sarnic, Tolvek and both;
# standard and refined), gdal_fillnodata and a plain copy of the fill image,
# scores every result against the truth and writes docs/accuracy.md with its
# figures (docs/accuracy/*.png) and the method quicklooks (docs/method/olinda_*.png).
#
#   bench/accuracy.sh [--check] [--repeat N] [--real-pairs DIR] [BUILD_DIR]
#
# The real pairs are read from DIR (default: PELVANE_REAL_PAIRS, else the folder
# shared/data/real beside the repository or beside its main checkout).
# Inputs and outputs of the runs go to ${XDG_CACHE_HOME:-~/.cache}/pelvane/accuracy
# (PELVANE_ACCURACY_WORK overrides it); nothing but the docs is written into the
# repository. `make test` does not run it: it is a benchmark.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
me=$(basename "$0")
here="$root/bench/accuracy"
python=/usr/bin/python3

fail() {
    printf '%s: %s\n' "$me" "$1" >&2
    shift
    [ $# -eq 0 ] || printf '    %s\n' "$@" >&2
    exit 1
}

usage() {
    cat <<USAGE
Usage: bench/$me [--check] [--repeat N] [--real-pairs DIR] [BUILD_DIR]

Runs every fill method on every accuracy case with the programs in BUILD_DIR/bin
(default: the repository's build/) and writes docs/accuracy.md, docs/accuracy/*.png
and docs/method/olinda_*.png. Takes a few minutes.

  --check           a quick run on one real pair, olinda and the demo scene, one run
                    per method, that writes its page into the work folder instead
                    of docs/
  --repeat N        runs of each method; the page shows the median time (default 3)
  --real-pairs DIR  the folder of the real image pairs (july_from_nov, nov_from_july,
                    nov_from_july_unmasked_clouds and their README.md); default
                    \$PELVANE_REAL_PAIRS, else shared/data/real beside the repository
                    or beside its main checkout
USAGE
}

usage_error() {
    printf '%s: %s\nRun bench/%s --help for the options.\n' "$me" "$1" "$me" >&2
    exit 2
}

check=0
repeat=3
build="$root/build"
real=${PELVANE_REAL_PAIRS:-}
while [ $# -gt 0 ]; do
    case $1 in
        -h | --help) usage; exit 0 ;;
        --check) check=1; shift ;;
        --repeat)
            [ $# -ge 2 ] || usage_error "--repeat needs a value"
            [[ $2 =~ ^[1-9][0-9]*$ ]] || usage_error "--repeat takes a positive integer: $2"
            repeat=$2; shift 2 ;;
        --real-pairs)
            [ $# -ge 2 ] || usage_error "--real-pairs needs a folder"
            real=$2; shift 2 ;;
        -*) usage_error "unknown option $1" ;;
        *) build=$1; shift ;;
    esac
done
case $build in
    /*) ;;
    *) build="$PWD/$build" ;;
esac
bin="$build/bin"

if [ -z "$real" ]; then
    # Beside this checkout, or beside the main checkout of a linked worktree.
    main_checkout=$(dirname "$(git -C "$root" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || echo "$root/.git")")
    for candidate in "$root/../shared/data/real" "$main_checkout/../shared/data/real"; do
        if [ -f "$candidate/README.md" ]; then real=$candidate; break; fi
    done
    [ -n "$real" ] || fail "no real pairs found beside the repository; name their folder with --real-pairs DIR"
fi
real=$(realpath -m "$real")
for name in july_from_nov nov_from_july nov_from_july_unmasked_clouds; do
    for file in truth.tif target.tif fill.tif target_mask.tif fill_mask.tif gaps.tif; do
        [ -f "$real/$name/$file" ] || fail "$real/$name/$file is missing: --real-pairs names the folder of the real pairs"
    done
done
[ -f "$real/README.md" ] || fail "$real/README.md is missing: its Baselines table gives the published figures"

for program in pelvane-cli pelvane-score pelvane-quicklook pelvane-demo-scene; do
    [ -x "$bin/$program" ] || fail "$bin/$program is missing; build it first:" \
        "cmake --build $build --target pelvane-cli pelvane-score pelvane-quicklook pelvane-demo-scene"
done
[ -x "$python" ] || fail "$python is missing: the report is written by Debian's python3 (scripts/bootstrap installs it)"
"$python" -c 'import numpy; from osgeo import gdal' 2>/dev/null ||
    fail "$python cannot import numpy and osgeo.gdal: install python3-numpy and python3-gdal (scripts/bootstrap does)"

work=${PELVANE_ACCURACY_WORK:-${XDG_CACHE_HOME:-$HOME/.cache}/pelvane/accuracy}
work=$(realpath -m "$work")
case $work/ in
    "$(realpath "$root")"/*) fail "the work folder $work lies inside the repository; choose another with PELVANE_ACCURACY_WORK" ;;
esac
mkdir -p "$work"
cases="$work/cases"
runs="$work/runs"
rm -rf "$cases" "$runs"
mkdir -p "$cases" "$runs"

started=$(date +%s)
echo "Work folder: $work"
image=$("$root/scripts/demo_image") || fail "could not fetch the demo's real image (scripts/demo_image says why above)"

ln -s "$root/tests/data/olinda" "$cases/olinda"
for name in july_from_nov nov_from_july nov_from_july_unmasked_clouds; do
    ln -s "$real/$name" "$cases/$name"
done
echo "Making the demo scene ..."
"$bin/pelvane-demo-scene" "$image" "$cases/demo" >"$work/demo-scene.log" ||
    fail "pelvane-demo-scene failed; see $work/demo-scene.log"

if [ "$check" -eq 1 ]; then
    docs="$work/check-docs"
    rm -rf "$docs"
    "$python" "$here/report.py" --bin "$bin" --cases "$cases" --work "$runs" --docs "$docs" \
        --published "$real/README.md" --repeat 1 --only nov_from_july_unmasked_clouds,olinda,demo \
        --method-figures --command "bench/$me --check"
    for file in accuracy.md accuracy/olinda_both-refined.png method/olinda_refined.png \
        accuracy/nov_from_july_unmasked_clouds_estimate.png; do
        [ -s "$docs/$file" ] || fail "the check did not write $docs/$file"
    done
    echo "Check passed: the page and its figures are in $docs"
    exit 0
fi

echo "Making the variants of olinda ..."
"$python" "$here/make_variants.py" "$root/tests/data/olinda" "$cases"

command="bench/$me"
[ "$repeat" -eq 3 ] || command="$command --repeat $repeat"
"$python" "$here/report.py" --bin "$bin" --cases "$cases" --work "$runs" --docs "$root/docs" \
    --published "$real/README.md" --repeat "$repeat" --method-figures --command "$command"
echo "Done in $(( $(date +%s) - started )) s: docs/accuracy.md, docs/accuracy/, docs/method/olinda_*.png"
