#!/bin/bash
# Times an earlier commit against this working tree in one run, on the same
# data: a crop of the typical benchmark scene (2000 x 700 x 6 Byte from the
# middle of the 8000 x 7000 scene, so the stripes have their mean width).
# Both are built in a temporary folder; each runs with one and with N threads,
# the commit and the tree in turn; the outputs must be the same bytes (with
# --refine, each build's across its thread counts: the refined fill may
# change between commits). Prints each wall time, CPU time, cores busy, peak
# memory and the speed-up over the commit with as many threads.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
me=$(basename "$0")
. "$root/bench/whole_job_common.sh"

usage() {
    cat <<USAGE
Usage: bench/$me [--crop WIDTHxHEIGHT] [--scene WIDTHxHEIGHT] [--threads N] [--refine] [--rounds N] [COMMIT]

Builds COMMIT (default e6a362c) and this working tree (committed or not) in a
temporary folder, never in build/, and fills a crop of the benchmark scene with
each, with 1 and with N threads: COMMIT and this tree in turn.

  --crop WIDTHxHEIGHT   size of the crop, taken from the scene's middle (default 2000x700)
  --scene WIDTHxHEIGHT  scene to crop from (default 8000x7000; cached in $bench_cache)
  --threads N           threads of the second run of each (default 2)
  --refine              the refined fill (--refine) instead of the standard one
  --rounds N            run the commit and this tree in turn N times (default 1),
                        so that a busy spell of the machine falls on both
USAGE
}

crop=2000x700
scene_size=8000x7000
threads=2
refine=()
rounds=1
commit=e6a362c
while [ $# -gt 0 ]; do
    case $1 in
        -h | --help) usage; exit 0 ;;
        --crop) [ $# -ge 2 ] || usage_error "--crop needs a value"; crop=$2; shift 2 ;;
        --scene) [ $# -ge 2 ] || usage_error "--scene needs a value"; scene_size=$2; shift 2 ;;
        --threads) [ $# -ge 2 ] || usage_error "--threads needs a value"; threads=$2; shift 2 ;;
        --refine) refine=(--refine); shift ;;
        --rounds) [ $# -ge 2 ] || usage_error "--rounds needs a value"; rounds=$2; shift 2 ;;
        -*) usage_error "unknown option $1" ;;
        *) commit=$1; shift ;;
    esac
done
for size in "$crop" "$scene_size"; do
    valid_size "$size" || usage_error "sizes take the form WIDTHxHEIGHT, e.g. 2000x700: $size"
done
valid_count "$threads" || usage_error "the thread count must be a positive integer: $threads"
valid_count "$rounds" || usage_error "the round count must be a positive integer: $rounds"
crop_width=${crop%x*} crop_height=${crop#*x}
scene_width=${scene_size%x*} scene_height=${scene_size#*x}
if [ "$crop_width" -gt "$scene_width" ] || [ "$crop_height" -gt "$scene_height" ]; then
    usage_error "the $crop crop does not fit in the $scene_size scene"
fi
old=$(git -C "$root" rev-parse --verify --quiet "$commit^{commit}") || usage_error "no such commit: $commit"
old_name=$(git -C "$root" rev-parse --short "$old")
new_name="$(git -C "$root" describe --always --dirty) (this tree)"

work=$(mktemp -d "${TMPDIR:-/tmp}/pelvane-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

describe_machine
echo

# Both builds as the repository configures them (its default build type),
# with ccache when there is one. ccache's base folder makes the paths it
# hashes relative, so the temporary folder's random name does not defeat it.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
build() {
    local name=$1 source=$2 dir=$3 base=$4
    shift 4
    echo "Building $name in $dir ..."
    if ! (export CCACHE_BASEDIR="$base" CCACHE_NOHASHDIR=true
          cmake -S "$source" -B "$dir" "${launcher[@]}" &&
          cmake --build "$dir" -j "$(nproc)" --target "$@") >"$work/build.log" 2>&1; then
        tail -n 30 "$work/build.log" >&2
        fail "could not build $name"
    fi
}
mkdir "$work/old-source"
git -C "$root" archive "$old" | tar -x -C "$work/old-source"
build "$old_name" "$work/old-source" "$work/old" "$work" pelvane-cli
build "$new_name" "$root" "$work/new" "$root" pelvane-cli pelvane-demo-scene
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$work/new/CMakeCache.txt")
echo

# The crop from the middle of the scene: stripe widths grow from left to
# right, so the middle columns show the scene's mean width.
scene=$(bench_scene "$work/new/bin/pelvane-demo-scene" "$scene_size")
x=$(((scene_width - crop_width) / 2))
y=$(((scene_height - crop_height) / 2))
for image in target fill; do
    gdal_translate -q -of GTiff -srcwin "$x" "$y" "$crop_width" "$crop_height" "$scene/$image.tif" \
        "$work/$image.tif" || fail "could not crop $scene/$image.tif"
done
bands=$(gdalinfo "$work/target.tif" | grep -c '^Band ')
echo "Crop: $crop_width x $crop_height x $bands Byte from column $x, row $y of the $scene_size scene"
echo

# run LABEL BUILD THREADS: fills the crop; the result in $work/LABEL.tif.
labels=() names=() thread_counts=() walls=() cpus=() busy=() peaks=()
run() {
    local label=$1 build=$2 count=$3 status=0
    echo "$label: pelvane-cli ${refine[*]} --threads $count ..."
    timed "$work/$label.time" "$build/bin/pelvane-cli" -q --target "$work/target.tif" --fill "$work/fill.tif" \
        --output "$work/$label.tif" --threads "$count" "${refine[@]}" >"$work/$label.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$work/$label.log" >&2
        fail "pelvane-cli of $label failed (exit status $status)"
    fi
    labels+=("$label")
    thread_counts+=("$count")
    walls+=("$(wall_seconds "$work/$label.time")")
    cpus+=("$(cpu_seconds "$work/$label.time")")
    busy+=("$(cores_busy "$work/$label.time")")
    peaks+=("$(peak_mib "$work/$label.time")")
}
counts=(1)
[ "$threads" -eq 1 ] || counts+=("$threads")
for round in $(seq "$rounds"); do
    for count in "${counts[@]}"; do
        run "old-$count-$round" "$work/old" "$count"
        names+=("$old_name")
        run "new-$count-$round" "$work/new" "$count"
        names+=("$new_name")
    done
done

echo
printf '%-28s %7s %9s %9s %11s %9s %9s\n' build threads "wall s" "cpu s" "cores busy" "peak MiB" speed-up
for i in "${!labels[@]}"; do
    # The commit's run with as many threads comes just before this tree's.
    base=$((i - i % 2))
    printf '%-28s %7s %9s %9s %11s %9s %8sx\n' "${names[$i]}" "${thread_counts[$i]}" "${walls[$i]}" "${cpus[$i]}" \
        "${busy[$i]}" "${peaks[$i]}" \
        "$(awk -v a="${walls[$base]}" -v b="${walls[$i]}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
done
echo "(${build_type:-default} builds; speed-up = wall time of $old_name with as many threads / wall time of the row;"
echo " cpu s = user + system time, cores busy = cpu s / wall s, load average now $(cut -d ' ' -f 1-3 /proc/loadavg))"

identical=1
for label in "${labels[@]:1}"; do
    # The refined fill is compared within each build; the standard one with the commit's.
    first="old-1-1"
    [ "${#refine[@]}" -eq 0 ] || [ "${label%%-*}" = old ] || first="new-1-1"
    if ! cmp -s "$work/$first.tif" "$work/$label.tif"; then
        echo "The output of $label differs from $first's." >&2
        identical=0
    fi
done
[ "$identical" -eq 1 ] || fail "outputs differ: the speed-up does not count"
if [ "${#refine[@]}" -eq 0 ]; then
    echo "Every output is byte for byte the same as $old_name's."
else
    echo "Each build's refined outputs are byte for byte the same at every thread count;"
    if cmp -s "$work/old-1-1.tif" "$work/new-1-1.tif"; then
        echo "and the same as $old_name's."
    else
        echo "they differ from $old_name's."
    fi
fi
