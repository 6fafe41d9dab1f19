#!/usr/bin/env bash
# Where a whole title's time goes in the service: one title (H.264, 24 fps,
# key frames 10 s apart) fetched segment by segment in order through a fresh
# service, sampled by `perf record` (user-space samples of the service's
# threads, 199 Hz), for each way of encoding asked for. Prints per way:
#   - wall, CPU and cores used (CPU / wall) from the playlist request on;
#   - CPU samples by library (x265, libavcodec, the service itself, libc ...)
#     and the service's own top functions;
#   - the run's own phase sums from its debug lines (decode, stages, encoder
#     submit: the time the pipeline thread spent handing pictures over,
#     waiting for a full queue and, with an encoder per segment, for each
#     segment's drain).
#
# Usage: bench/whole_profile.sh [build-dir] [size, e.g. 1280x720]
# WAYS="perseg kept" (CORVEL_ENHANCE_KEEP_ENCODER 0 / 1), SECONDS_LONG=12.
set -euo pipefail
build=${1:-build}
size=${2:-1280x720}
seconds=${SECONDS_LONG:-12}
ways=${WAYS:-perseg kept}
work=$(mktemp -d /tmp/whole-profile-XXXXXX)
. "$(dirname "$0")/service_common.sh"
FETCH_TRIES=4800
clock_ticks=$(getconf CLK_TCK)
cpu_of() { awk -v t="$clock_ticks" '{ printf "%.1f", ($14 + $15) / t }' "/proc/$1/stat"; }

ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size:rate=24:duration=$seconds" \
  -c:v libx264 -preset veryfast -g 240 -keyint_min 240 -sc_threshold 0 -bf 2 -pix_fmt yuv420p \
  -movflags +faststart "$work/src.mp4"
start_standin
echo "$(nproc) cores; $(uptime)"

n=0
for way in $ways; do
  n=$((n + 1))
  keep=1
  [ "$way" = perseg ] && keep=0
  cp "$work/src.mp4" "$work/titles/t$n.mp4"
  port=$(free_port)
  CORVEL_ENHANCE_KEEP_ENCODER=$keep CORVEL_ENHANCE_ENCODERS=1 CORVEL_ENHANCE_LOG_LEVEL=debug \
    CORVEL_ENHANCE_LOG=$work/enhancer$n.log "$build/src/app/CorvelLiveEnhancer" \
    --port "$port" --companion "http://127.0.0.1:$standin_port" >"$work/service$n.out" 2>&1 &
  service=$!
  wait_for_service "$port"
  base="http://127.0.0.1:$port/v1/enhanced"
  perf record -q -F 199 -g -p "$service" -o "$work/perf$n.data" >/dev/null 2>&1 &
  perfpid=$!
  sleep 0.5
  cpu0=$(cpu_of "$service")
  t0=$(now)
  playlist=$(curl -sf "$base/t$n/index.m3u8")
  q=$(printf '%s\n' "$playlist" | sed -n 's/^#EXT-X-MAP:URI="init.mp4\([^"]*\)".*/\1/p')
  fetch "$base/t$n/init.mp4$q"
  for i in $(seq 0 $((seconds - 1))); do fetch "$base/t$n/seg/$i.m4s$q"; done
  all=$(since "$t0")
  cpu=$(python3 -c "print(f'{$(cpu_of "$service")-$cpu0:.1f}')")
  kill -INT "$perfpid"; wait "$perfpid" 2>/dev/null || true
  kill "$service"; wait "$service" 2>/dev/null || true
  service=
  echo "== $way: wall $all s, CPU $cpu s, cores used $(python3 -c "print(f'{$cpu/$all:.2f}')"); $(uptime)"
  echo "-- CPU samples by library"
  perf report -i "$work/perf$n.data" --no-children --sort dso --stdio 2>/dev/null | grep -E '^ +[0-9]' | head -8
  echo "-- the service's own functions (top 8)"
  perf report -i "$work/perf$n.data" --no-children --dsos CorvelLiveEnhancer --sort sym --stdio 2>/dev/null |
    grep -E '^ +[0-9]' | head -8
  echo "-- the run's phases, summed over its segments (ms)"
  sed -n 's/.*segment [0-9]* made: decode \([0-9]*\) ms, stages \([0-9]*\) ms, encoder submit \([0-9]*\) ms, pacing \([0-9]*\) ms.*/\1 \2 \3 \4/p' \
    "$work/enhancer$n.log" | awk '{ d += $1; s += $2; e += $3; p += $4; k++ }
      END { printf "%d segments: decode %d, stages %d, encoder submit %d, pacing %d\n", k, d, s, e, p }'
done
