# shellcheck shell=bash disable=SC2154
# Shared by the whole-job benchmark scripts (sourced, not run): the machine
# description, timed runs under /usr/bin/time -v and the cached benchmark
# scenes. The sourcing script sets `root` (the repository) and `me` (its name
# in messages) first.

bench_cache="${XDG_CACHE_HOME:-$HOME/.cache}/pelvane/bench"

# One message, its first line marked, the others indented under it.
fail() {
    printf '%s: %s\n' "$me" "$1" >&2
    shift
    [ $# -eq 0 ] || printf '    %s\n' "$@" >&2
    exit 1
}

usage_error() {
    printf '%s: %s\n' "$me" "$1" >&2
    printf 'Run %s --help for the options.\n' "$me" >&2
    exit 2
}

# WIDTHxHEIGHT with positive integers.
valid_size() {
    [[ $1 =~ ^[1-9][0-9]*x[1-9][0-9]*$ ]]
}

valid_count() {
    [[ $1 =~ ^[1-9][0-9]*$ ]]
}

# Absolute form of a path given relative to where the user stands.
absolute() {
    case $1 in
        /*) printf '%s' "$1" ;;
        *) printf '%s' "$PWD/$1" ;;
    esac
}

# The machine the figures come from, and how busy it was when they were taken
# (the machine may be shared).
describe_machine() {
    local model memory
    model=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
    memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
    echo "Machine: ${model:-unknown CPU}, $(nproc) cores, $memory memory, $(uname -sr)"
    echo "Compiler: $(c++ --version | head -n 1); load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# timed LOG COMMAND...: runs the command under /usr/bin/time -v, its report in LOG.
timed() {
    local log=$1
    shift
    /usr/bin/time -v -o "$log" "$@"
}

# Wall time in seconds from a /usr/bin/time -v report ("h:mm:ss" or "m:ss.ss").
wall_seconds() {
    awk -F ': ' '/Elapsed \(wall clock\) time/ {
        n = split($2, part, ":")
        seconds = 0
        for (i = 1; i <= n; ++i) seconds = seconds * 60 + part[i]
        printf "%.2f", seconds
    }' "$1"
}

# CPU seconds (user and system) from a /usr/bin/time -v report. On a shared
# machine a one-thread run's CPU time is steadier than its wall time.
cpu_seconds() {
    awk -F ': ' '/(User|System) time \(seconds\)/ { seconds += $2 } END { printf "%.2f", seconds }' "$1"
}

# Cores busy on average: CPU seconds over wall seconds, from a /usr/bin/time -v
# report.
cores_busy() {
    awk -v c="$(cpu_seconds "$1")" -v w="$(wall_seconds "$1")" 'BEGIN { printf "%.2f", (w > 0 ? c / w : 0) }'
}

# Peak resident memory in MiB from a /usr/bin/time -v report.
peak_mib() {
    awk -F ': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$1"
}

# Seconds as minutes and seconds, for long runs.
minutes() {
    awk -v s="$1" 'BEGIN { printf "%d min %04.1f s", int(s / 60), s - 60 * int(s / 60) }'
}

# bench_scene GENERATOR SIZE: prints the folder of the benchmark scene of SIZE
# (WIDTHxHEIGHT): the demo's scene model on the demo's real image, tiled with
# mirrored copies, default seed. It is made once and kept in the cache; it is
# made again when the image or the generator's sources change. The
# generator's report goes to standard error.
bench_scene() {
    local generator=$1 size=$2 image key dir
    image=$("$root/scripts/demo_image") || exit 1
    key=$({ printf '%s\n' "$size"; cat "$image" "$root"/demo/*.h "$root"/demo/*.cpp; } | sha256sum | cut -c 1-16)
    dir="$bench_cache/scene-$size"
    if [ "$(cat "$dir/key" 2>/dev/null)" != "$key" ]; then
        echo "Making the $size scene from $(basename "$image") (once; kept in $dir) ..." >&2
        rm -rf "$dir"
        "$generator" --size "$size" "$image" "$dir" >&2 || fail "could not make the $size scene"
        # The key last: a scene cut short by an interrupt has none and is made again.
        echo "$key" >"$dir/key"
    fi
    printf '%s\n' "$dir"
}
