#!/bin/sh
# Our network runner (neural_bench, on the OpenCL device) and PyTorch's CPU
# inference of the same networks on the same grid, one after the other on
# the same machine. Usage: bench/neural_speed.sh BUILD_DIR [pictures]
set -e
here=$(dirname "$0")
build=${1:-build}
pictures=${2:-3}
"$build/bench/neural_bench" "$here/../shaders" "$pictures"
/usr/bin/python3 "$here/../training/torch_speed.py" "$here/../shaders/vsr" "$pictures" "$(nproc)"
