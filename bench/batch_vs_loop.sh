#!/bin/bash
# Fills N copies of the demo scene twice, in one run: a shell loop over
# pelvane-cli, then the Dask batch tool on a LocalCluster fitted to this
# machine, and prints the wall-clock times and their ratio. Both produce the
# same bytes (checked). The batch time includes starting its cluster; the CPU
# times show what Dask and Python add.
#
#   bench/batch_vs_loop.sh BUILD_DIR [N]      (N defaults to 8)
#
# Needs the demo's image in ${XDG_CACHE_HOME:-~/.cache}/pelvane/L7_ETMs.tif
# (`make run` fetches it). Work files go to a temporary folder, removed at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
copies=${2:-8}
image="${XDG_CACHE_HOME:-$HOME/.cache}/pelvane/L7_ETMs.tif"
python=/usr/bin/python3

[ -s "$image" ] || { echo "bench: $image is missing; run 'make run' once" >&2; exit 1; }
for program in pelvane-cli pelvane-demo-scene; do
    [ -x "$build/bin/$program" ] || { echo "bench: $build/bin/$program is missing; build first" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bin/pelvane-demo-scene" "$image" "$work/scene" >/dev/null

mkdir -p "$work/archive" "$work/loop" "$work/batch"
echo "target,fill" >"$work/archive/scenes.csv"
for i in $(seq 1 "$copies"); do
    cp "$work/scene/target.tif" "$work/archive/target_$i.tif"
    cp "$work/scene/fill.tif" "$work/archive/fill_$i.tif"
    echo "target_$i.tif,fill_$i.tif" >>"$work/archive/scenes.csv"
done

# "WALL CPU": wall-clock and CPU (user + system) seconds of a command and the
# processes it waited for, from /usr/bin/time -v.
timed() {
    /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null || { cat "$work/time.txt" >&2; exit 1; }
    awk -F': ' '/Elapsed \(wall clock\)/ {
            n = split($2, p, ":"); wall = 0
            for (i = 1; i <= n; i++) wall = wall * 60 + p[i] }
        /User time|System time/ { cpu += $2 }
        END { printf "%.2f %.2f\n", wall, cpu }' "$work/time.txt"
}

cores=$(nproc)
echo "$copies copies of the demo scene ($(cd "$work/scene" && du -h target.tif | cut -f1) each), $cores cores"
read -r loop loop_cpu < <(timed sh -c '
    for i in $(seq 1 "$1"); do
        "$2" -q --threads "$3" --target "$4/target_$i.tif" --fill "$4/fill_$i.tif" --output "$5/target_$i.tif" || exit 1
    done' loop "$copies" "$build/bin/pelvane-cli" "$cores" "$work/archive" "$work/loop")
[ -n "$loop" ] || exit 1
echo "shell loop over pelvane-cli --threads $cores: $loop s wall, $loop_cpu s CPU"

read -r batch batch_cpu < <(PYTHONPATH="$build/python" timed "$python" -m pelvane.batch \
    "$work/archive/scenes.csv" --output-dir "$work/batch")
[ -n "$batch" ] || exit 1
echo "python3 -m pelvane.batch (LocalCluster):   $batch s wall, $batch_cpu s CPU"

for i in $(seq 1 "$copies"); do
    cmp -s "$work/loop/target_$i.tif" "$work/batch/target_$i.tif" ||
        { echo "bench: outputs of copy $i differ" >&2; exit 1; }
done
awk -v a="$loop" -v b="$batch" 'BEGIN { printf "wall time loop / batch = %.2f (outputs identical)\n", a / b }'
