#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks and the demo
# need. Idempotent and quiet: packages already present are skipped, and apt is
# not touched at all when nothing is missing.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev curl wrk
  # HTTP client, JSON
  libcurl4-openssl-dev nlohmann-json3-dev
  # decoding, pixel conversion, encoding
  libavcodec-dev libavutil-dev libavformat-dev libswscale-dev libx265-dev
  # compute kernels
  ocl-icd-opencl-dev opencl-c-headers pocl-opencl-icd clinfo
  # optical flow, still pictures
  libopencv-video-dev libstb-dev
  # tools run as children and by tests
  ffmpeg
  # the demo picks a free port and formats its times with it
  python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
