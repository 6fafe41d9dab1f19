#!/usr/bin/env bash
# The service's start and seek times against ffmpeg doing the same job, in
# one run on one machine, plus where the service's time goes (its debug
# timing lines).
#
# One title per size (H.264, 24 fps, key frames 10 s apart, 30 s by
# default), served through the stand-in; fresh copies per measurement so no
# segment is reused. Default options (q=2, no stages): x265 ultrafast at the
# CRF the service logs. ffmpeg runs with the same preset, CRF, zero-latency
# tuning, 10-bit 4:2:0, no B-frames.
#
#   first segment, cold: the first title the service serves after start,
#     playlist request to the last byte of segment 0;
#     ffmpeg: `-i SRC -frames:v N` (N = one segment's pictures)
#   first segment, warm: another title, the service already running
#   far seek: segment 16 (16 s, 6 s after a key frame) asked while the run
#     is at the start;      ffmpeg: `-ss 16 -i SRC -frames:v N`
#   near seek: after segment 0 and a jump to segment 11, the segment 4
#     ahead of the one the run is making;   ffmpeg: `-ss T -i SRC -frames:v N`
#   whole title (with --whole): every segment in order; ffmpeg encodes the
#     whole title
#
# Usage: bench/run_phases.sh [build-dir] [sizes, e.g. "1280x720 1920x1080"] [--whole]
# STEPS="cold warm far near" (the default) picks the measurements.
set -euo pipefail
build=${1:-build}
sizes=${2:-"1280x720 1920x1080"}
whole=${3:-}
seconds=30
steps=${STEPS:-cold warm far near}
want() { case " $steps " in *" $1 "*) return 0 ;; esac; return 1; }
work=$(mktemp -d /tmp/run-phases-XXXXXX)
. "$(dirname "$0")/service_common.sh"

for size in $sizes; do
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size:rate=24:duration=$seconds" \
    -c:v libx264 -preset veryfast -g 240 -keyint_min 240 -sc_threshold 0 -bf 2 -pix_fmt yuv420p \
    -movflags +faststart "$work/$size.mp4"
  for use in cold warm far near whole; do cp "$work/$size.mp4" "$work/titles/$use-$size.mp4"; done
done

start_standin
# A fresh service per size, so that "cold" is its first title.
start_service() {
  if [ -n "$service" ]; then kill "$service"; wait "$service" 2>/dev/null || true; fi
  port=$(free_port)
  CORVEL_ENHANCE_LOG_LEVEL=debug CORVEL_ENHANCE_LOG=$work/enhancer.log "$build/src/app/CorvelLiveEnhancer" \
    --port "$port" --companion "http://127.0.0.1:$standin_port" >"$work/service.out" 2>&1 &
  service=$!
  wait_for_service "$port"
  base="http://127.0.0.1:$port/v1/enhanced"
}

# Asks for the playlist and the init segment as a player does; sets Q, the
# query every URL of that playlist carries.
open_title() { # item
  local playlist
  playlist=$(curl -sf "$base/$1/index.m3u8")
  Q=$(printf '%s\n' "$playlist" | sed -n 's/^#EXT-X-MAP:URI="init.mp4\([^"]*\)".*/\1/p')
  fetch "$base/$1/init.mp4$Q"
}

# ffmpeg doing the same job: same preset, CRF and tuning, 10-bit, no B-frames.
# FFTUNE=zerolatency (the default) or none: x265's tuning on ffmpeg's side,
# to match the service's (zero-latency encoders, or an encoder per segment
# with the preset's own tuning).
ffmpeg_job() { # crf, then input options and output frame options
  local crf=$1; shift
  [ -n "$crf" ] || crf=$(sed -n 's/.*encoder: x265 preset [a-z]*, '"$size"', crf \([0-9.]*\).*/\1/p' "$work/enhancer.log" | tail -n 1)
  local tune=(-tune "${FFTUNE:-zerolatency}")
  [ "${FFTUNE:-zerolatency}" = none ] && tune=()
  ffmpeg -nostdin -v error -y "$@" -c:v libx265 -preset ultrafast "${tune[@]}" -crf "$crf" \
    -x265-params "bframes=0:log-level=error" -pix_fmt yuv420p10le -an -f mp4 "$work/ff.mp4"
}

uptime
printf '%-10s %-22s %9s %9s %7s\n' size what service ffmpeg ratio
echo "ffmpeg's x265 tuning: ${FFTUNE:-zerolatency}"
for size in $sizes; do
  start_service
  crf=
  frames=24
  # Cold: the first title a fresh service serves (the compute runtime's and
  # x265's first start are in it).
  if want cold; then
  t0=$(now)
  open_title "cold-$size"
  fetch "$base/cold-$size/seg/0.m4s$Q"
  cold=$(since "$t0")
  crf=
  t0=$(now); ffmpeg_job "$crf" -i "$work/$size.mp4" -frames:v "$frames"; ff=$(since "$t0")
  printf '%-10s %-22s %8ss %8ss %7s\n' "$size" "first segment, cold" "$cold" "$ff" \
    "$(python3 -c "print(f'{$cold/$ff:.2f}')")"
  fi

  if want warm; then
  t0=$(now)
  open_title "warm-$size"
  fetch "$base/warm-$size/seg/0.m4s$Q"
  warm=$(since "$t0")
  t0=$(now); ffmpeg_job "$crf" -i "$work/$size.mp4" -frames:v "$frames"; ff=$(since "$t0")
  printf '%-10s %-22s %8ss %8ss %7s\n' "$size" "first segment, warm" "$warm" "$ff" \
    "$(python3 -c "print(f'{$warm/$ff:.2f}')")"
  fi

  # Far seek: the run is at the start of the title.
  if want far; then
  open_title "far-$size"
  fetch "$base/far-$size/seg/0.m4s$Q"
  t0=$(now); fetch "$base/far-$size/seg/16.m4s$Q"; far=$(since "$t0")
  t0=$(now); ffmpeg_job "$crf" -ss 16 -i "$work/$size.mp4" -frames:v "$frames"; ff=$(since "$t0")
  printf '%-10s %-22s %8ss %8ss %7s\n' "$size" "far seek (segment 16)" "$far" "$ff" \
    "$(python3 -c "print(f'{$far/$ff:.2f}')")"
  fi

  # Near seek: a player that played segment 0, jumped to segment 11 (a
  # restart), then asks 4 segments ahead of the one the run is making.
  if want near; then
  open_title "near-$size"
  fetch "$base/near-$size/seg/0.m4s$Q"
  fetch "$base/near-$size/seg/11.m4s$Q"
  making=$(curl -sf "$base/status" | python3 -c 'import json,sys; print(json.load(sys.stdin)["segment"])')
  n=$((making + 4))
  t0=$(now); fetch "$base/near-$size/seg/$n.m4s$Q"; near=$(since "$t0")
  t0=$(now); ffmpeg_job "$crf" -ss "$n" -i "$work/$size.mp4" -frames:v "$frames"; ff=$(since "$t0")
  printf '%-10s %-22s %8ss %8ss %7s\n' "$size" "near seek (segment $n)" "$near" "$ff" \
    "$(python3 -c "print(f'{$near/$ff:.2f}')")"
  fi

  if [ "$whole" = "--whole" ]; then
    t0=$(now)
    open_title "whole-$size"
    for i in $(seq 0 $((seconds - 1))); do fetch "$base/whole-$size/seg/$i.m4s$Q"; done
    all=$(since "$t0")
    t0=$(now); ffmpeg_job "$crf" -i "$work/$size.mp4"; ff=$(since "$t0")
    printf '%-10s %-22s %8ss %8ss %7s\n' "$size" "whole title" "$all" "$ff" \
      "$(python3 -c "print(f'{$all/$ff:.2f}')")"
  fi
done
uptime
echo
echo "Where the service's time went (debug lines, ms):"
grep -E 'debug: |service: run from|ready .* after the restart' "$work/enhancer.log" | grep -v 'debug: segment [0-9]* made' |
  sed 's/^[0-9-]* [0-9:.]* //'
echo
echo "Per segment made (mean of the debug lines, ms): decode, stages, encoder submit (waits for room in its queue), pacing"
python3 - "$work/enhancer.log" <<'PY'
import re, sys
rows = [tuple(map(int, m.groups())) for m in re.finditer(
    r"debug: segment \d+ made: decode (\d+) ms, stages (\d+) ms, encoder submit (\d+) ms, pacing (\d+) ms",
    open(sys.argv[1]).read())]
if rows:
    n = len(rows)
    print(f"{n} segments: decode {sum(r[0] for r in rows)/n:.0f}, stages {sum(r[1] for r in rows)/n:.0f}, "
          f"submit {sum(r[2] for r in rows)/n:.0f}, pacing {sum(r[3] for r in rows)/n:.0f}")
PY
