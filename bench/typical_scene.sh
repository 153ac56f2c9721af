#!/bin/bash
# Times the typical whole job: a six-band Byte scene of 8000 x 7000 pixels with
# scanner stripes in both the target and the fill image, both methods and the
# default settings, run through pelvane-cli under /usr/bin/time -v. Prints the
# wall time and the peak resident memory, and for scale the wall time of
# gdal_fillnodata (a different, cheaper method) on the same target.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
me=$(basename "$0")
. "$root/bench/whole_job_common.sh"

usage() {
    cat <<USAGE
Usage: bench/$me [--size WIDTHxHEIGHT] [--threads N] [--refine] [BUILD_DIR]

Makes the benchmark scene (once; cached in $bench_cache), fills it with
BUILD_DIR/bin/pelvane-cli (default: the repository's build/) and reports the wall time
the peak memory and the RMSE over the gaps, then gdal_fillnodata's time on the
same target for scale.

  --size WIDTHxHEIGHT  size of the scene (default 8000x7000; try 1000x350 first:
                       the full scene takes minutes)
  --threads N          pelvane-cli's worker threads (default: all $(nproc) cores)
  --refine             the refined fill
USAGE
}

size=8000x7000
threads=$(nproc)
refine=
build="$root/build"
while [ $# -gt 0 ]; do
    case $1 in
        -h | --help) usage; exit 0 ;;
        --size) [ $# -ge 2 ] || usage_error "--size needs a value"; size=$2; shift 2 ;;
        --threads) [ $# -ge 2 ] || usage_error "--threads needs a value"; threads=$2; shift 2 ;;
        --refine) refine=--refine; shift ;;
        -*) usage_error "unknown option $1" ;;
        *) build=$1; shift ;;
    esac
done
valid_size "$size" || usage_error "the size takes the form WIDTHxHEIGHT, e.g. 8000x7000: $size"
valid_count "$threads" || usage_error "the thread count must be a positive integer: $threads"
bin="$(absolute "$build")/bin"
for program in pelvane-cli pelvane-demo-scene; do
    [ -x "$bin/$program" ] || fail "$bin/$program is missing; build first: make build"
done

describe_machine
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$bin/../CMakeCache.txt" 2>/dev/null || true)
echo "Pelvane: $(git -C "$root" describe --always --dirty), ${build_type:-unknown} build in $build"
echo

scene=$(bench_scene "$bin/pelvane-demo-scene" "$size")
bands=$(gdalinfo "$scene/target.tif" | grep -c '^Band ')
work=$(mktemp -d "${TMPDIR:-/tmp}/pelvane-typical.XXXXXX")
trap 'rm -rf "$work"' EXIT

# gdal_fillnodata fills one band per call, inside a validity mask (0 = fill
# this pixel). The mask is read off the scene's gap map: 0 where the target
# is valid becomes 255; gap codes 1 and 2 become 0 (the scaling runs below 0
# for code 2, and Byte output clamps it).
fillnodata=$(command -v gdal_fillnodata || command -v gdal_fillnodata.py || true)
fillnodata_seconds=
if [ -z "$fillnodata" ]; then
    echo "gdal_fillnodata is missing (Debian package gdal-bin): no figure for scale."
else
    if [ ! -s "$scene/valid.tif" ]; then
        gdal_translate -q -of GTiff -co COMPRESS=DEFLATE -scale 0 1 255 0 "$scene/gaps.tif" "$scene/valid.tif.partial" ||
            fail "could not make the validity mask for gdal_fillnodata"
        mv "$scene/valid.tif.partial" "$scene/valid.tif"
    fi
    echo "For scale: $(basename "$fillnodata") -q -mask valid.tif -b B target.tif band_B.tif, for B = 1..$bands ..."
    fillnodata_seconds=0
    for ((b = 1; b <= bands; ++b)); do
        timed "$work/fillnodata.time" "$fillnodata" -q -mask "$scene/valid.tif" -b "$b" "$scene/target.tif" \
            "$work/band_$b.tif" || fail "gdal_fillnodata failed on band $b"
        seconds=$(wall_seconds "$work/fillnodata.time")
        printf '  band %d: %s s\n' "$b" "$seconds"
        fillnodata_seconds=$(awk -v a="$fillnodata_seconds" -v b="$seconds" 'BEGIN { printf "%.2f", a + b }')
        rm -f "$work/band_$b.tif"
    done
fi

echo
command=(pelvane-cli --target "$scene/target.tif" --fill "$scene/fill.tif" --output "$work/filled.tif"
    --threads "$threads" $refine)
echo "Filling: /usr/bin/time -v ${command[*]}"
status=0
timed "$work/pelvane.time" "$bin/pelvane-cli" "${command[@]:1}" || status=$?
[ "$status" -eq 0 ] || fail "pelvane-cli failed (exit status $status)"
seconds=$(wall_seconds "$work/pelvane.time")
peak=$(peak_mib "$work/pelvane.time")

cat <<SUMMARY

Scene ${size/x/ x } x $bands Byte, stripes in target and fill, both methods, defaults${refine:+, refined}:
  pelvane-cli --threads $threads${refine:+ $refine}      wall $(minutes "$seconds") ($seconds s), cpu $(cpu_seconds "$work/pelvane.time") s, cores busy $(cores_busy "$work/pelvane.time"), peak memory $peak MiB ($(awk -v m="$peak" 'BEGIN { printf "%.2f", m * 1048576 / 1e9 }') GB)
SUMMARY
if [ -x "$bin/pelvane-score" ]; then
    echo "  RMSE over the gaps (DN)           $("$bin/pelvane-score" --brief "$scene/truth.tif" "$work/filled.tif" "$scene/gaps.tif")"
fi
if [ -n "$fillnodata_seconds" ]; then
    echo "  gdal_fillnodata, $bands bands  wall $fillnodata_seconds s (for scale only: a different, cheaper method)"
fi
