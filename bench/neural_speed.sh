#!/bin/sh
# Our network runner against PyTorch's CPU inference of the very same
# networks (built from the same description and weight files) on the same
# grid (960 x 544 cells, a 1920x1080 picture), network by network, each
# side right after the other, with the same number of threads: PoCL's CPU
# device gets POCL_MAX_PTHREAD_COUNT=THREADS, PyTorch set_num_threads(THREADS).
# Then the whole upscaler per picture at 1920x1080 -> 3840x2160 and its
# medianMs. The name truehdr-debander compares the debanding network
# (runner and PyTorch only).
# Usage: bench/neural_speed.sh BUILD_DIR [pictures [threads [network ...]]]
set -e
here=$(dirname "$0")
build=${1:-build}
pictures=${2:-3}
threads=${3:-$(nproc)}
shift 3 2>/dev/null || shift $#
networks=${*:-neural-low neural-low-student neural-medium neural-hb neural-hb-student neural-hb-medium truehdr-debander}
export POCL_MAX_PTHREAD_COUNT="$threads"
echo "threads: $threads; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for n in $networks; do
    "$build/bench/neural_bench" --runner "$here/../shaders" "$pictures" "$n"
    /usr/bin/python3 "$here/../training/torch_speed.py" "$here/../shaders/vsr" "$pictures" "$threads" "$n"
done
upscalers=$(echo $networks | tr ' ' '\n' | grep -v '^truehdr-debander$' || true)
[ -z "$upscalers" ] || "$build/bench/neural_bench" "$here/../shaders" "$pictures" $upscalers
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
