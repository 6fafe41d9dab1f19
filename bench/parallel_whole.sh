#!/usr/bin/env bash
# Whole-title throughput of the service with 1, 2, ... encoders working on
# consecutive segments at once, against ffmpeg encoding the same title with
# the same preset and CRF, in one run on one machine: wall time, CPU time
# and peak resident size of each (the service's: peak/at the playlist
# request, its start-up included), and the service's first segment (the
# first title of a fresh service: playlist request to the last byte of
# segment 0).
#
# One H.264 title (24 fps, key frames 10 s apart, SECONDS long), served by
# the stand-in; every measurement a fresh service and a fresh copy of the
# title. The service fetches every segment in order as a player would
# (with the service's default `ahead`). ffmpeg: libx265 ultrafast at the
# CRF the service logs, the preset's own tuning (as the service's encoders
# per segment), bframes=0, 10-bit 4:2:0.
#
# With one encoder the service keeps it from segment to segment (KEEP=1) or
# opens one per segment (KEEP=0, CORVEL_ENHANCE_KEEP_ENCODER=0); KEEP="0 1"
# (the default) measures both. A second ffmpeg row, "ffmpeg-floor", encodes
# exactly as the service does: a key picture every segment (24 pictures, no
# scene cuts, closed GOP) and sample adaptive offset on: the ratio to it is
# what the service adds to the encoder's own work.
#
# Usage: bench/parallel_whole.sh [build-dir] [size, e.g. 1280x720]
# ENCODERS="1 2 3" (the counts to measure), KEEP="0 1", ROUNDS=1,
# SECONDS_LONG=30, BEFORE=other-build-dir (also measures that build's service,
# as it is), QUEUE=n (CORVEL_ENHANCE_ENCODER_QUEUE of every service row),
# THREADS=1 (each service's CPU seconds per thread name, on stderr).
set -euo pipefail
build=${1:-build}
size=${2:-1280x720}
seconds=${SECONDS_LONG:-30}
counts=${ENCODERS:-1 2 3}
keeps=${KEEP:-0 1}
queue=${QUEUE:-}
rounds=${ROUNDS:-1}
before=${BEFORE:-}
work=$(mktemp -d /tmp/parallel-whole-XXXXXX)
. "$(dirname "$0")/service_common.sh"
FETCH_TRIES=4800

ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size:rate=24:duration=$seconds" \
  -c:v libx264 -preset veryfast -g 240 -keyint_min 240 -sc_threshold 0 -bf 2 -pix_fmt yuv420p \
  -movflags +faststart "$work/src.mp4"
segments=$seconds

start_standin

clock_ticks=$(getconf CLK_TCK)
cpu_of() { # pid -> user+system seconds of the process (its threads included)
  awk -v t="$clock_ticks" '{ printf "%.1f", ($14 + $15) / t }' "/proc/$1/stat"
}
hwm_of() { # pid -> peak resident size, MB
  awk '/VmHWM/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status"
}

crf=
n=0
# One whole title through a fresh service: prints "wall cpu peak first".
serve_whole() { # binary-build-dir encoders [keep]
  n=$((n + 1))
  cp "$work/src.mp4" "$work/titles/t$n.mp4"
  local port
  port=$(free_port)
  CORVEL_ENHANCE_KEEP_ENCODER=${3:-1} CORVEL_ENHANCE_ENCODER_QUEUE=$queue \
  CORVEL_ENHANCE_ENCODERS=$2 CORVEL_ENHANCE_LOG=$work/enhancer$n.log "$1/src/app/CorvelLiveEnhancer" \
    --port "$port" --companion "http://127.0.0.1:$standin_port" >"$work/service$n.out" 2>&1 &
  service=$!
  wait_for_service "$port"
  local base="http://127.0.0.1:$port/v1/enhanced" t0 playlist q first all cpu0 rss0
  # Start-up (the capability probe, the compute device) is left out: CPU
  # from the playlist request on; the resident size there is printed too.
  cpu0=$(cpu_of "$service")
  rss0=$(awk '/VmRSS/ { printf "%.0f", $2 / 1024 }' "/proc/$service/status")
  t0=$(now)
  playlist=$(curl -sf "$base/t$n/index.m3u8")
  q=$(printf '%s\n' "$playlist" | sed -n 's/^#EXT-X-MAP:URI="init.mp4\([^"]*\)".*/\1/p')
  fetch "$base/t$n/init.mp4$q"
  fetch "$base/t$n/seg/0.m4s$q"
  first=$(since "$t0")
  for i in $(seq 1 $((segments - 1))); do fetch "$base/t$n/seg/$i.m4s$q"; done
  all=$(since "$t0")
  echo "$all $(python3 -c "print(f'{$(cpu_of "$service")-$cpu0:.1f}')") $(hwm_of "$service")/$rss0 $first"
  if [ -n "${THREADS:-}" ]; then
    # CPU seconds per thread name (start-up included), to stderr.
    for t in /proc/"$service"/task/*; do
      printf '%s %s\n' "$(tr ' ' _ <"$t/comm")" "$(awk '{ print $14 + $15 }' "$t/stat")"
    done | awk -v t="$clock_ticks" -v who="$1 N=$2 keep=${3:-1}" \
      '{ s[$1] += $2 } END { printf "threads of %s:", who; for (k in s) printf " %s %.1f", k, s[k] / t; print "" }' >&2
  fi
  [ -n "$crf" ] || crf=$(sed -n 's/.*encoder: x265 preset [a-z]*, '"$size"', crf \([0-9.]*\).*/\1/p' "$work/enhancer$n.log" | tail -n 1)
  kill "$service"; wait "$service" 2>/dev/null || true
  service=
}

ffmpeg_whole() { # prints "wall cpu peak first"
  local t0 first all
  t0=$(now)
  ffmpeg -nostdin -v error -y -i "$work/src.mp4" -frames:v 24 -c:v libx265 -preset ultrafast -crf "$crf" \
    -x265-params "bframes=0:log-level=error" -pix_fmt yuv420p10le -an -f mp4 "$work/ff.mp4"
  first=$(since "$t0")
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" ffmpeg -nostdin -v error -y -i "$work/src.mp4" \
    -c:v libx265 -preset ultrafast -crf "$crf" -x265-params "bframes=0:log-level=error" \
    -pix_fmt yuv420p10le -an -f mp4 "$work/ff.mp4"
  awk -v f="$first" '{ printf "%s %.1f %.0f %s\n", $1, $2 + $3, $4 / 1024, f }' "$work/time.txt"
}

ffmpeg_floor() { # as ffmpeg_whole, encoding as the service does; prints "wall cpu peak -"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" ffmpeg -nostdin -v error -y -i "$work/src.mp4" \
    -c:v libx265 -preset ultrafast -crf "$crf" -g 24 -keyint_min 24 \
    -x265-params "bframes=0:keyint=24:min-keyint=24:scenecut=0:open-gop=0:sao=1:log-level=error" \
    -pix_fmt yuv420p10le -an -f mp4 "$work/floor.mp4"
  awk '{ printf "%s %.1f %.0f -\n", $1, $2 + $3, $4 / 1024 }' "$work/time.txt"
}

echo "$(nproc) cores; $(uptime)"
printf '%-14s %9s %9s %9s %12s %16s\n' who "wall s" "cpu s" "peak/at MB" "first seg s" "wall vs ffmpeg"
for round in $(seq "$rounds"); do
  rows=()
  # (not in a subshell: serve_whole numbers the titles and learns the CRF)
  if [ -n "$before" ]; then
    serve_whole "$before" 0 >"$work/row"; read -r w c m f <"$work/row"; rows+=("before $w $c $m $f")
  fi
  for k in $counts; do
    if [ "$k" = 1 ]; then
      for keep in $keeps; do
        serve_whole "$build" 1 "$keep" >"$work/row"; read -r w c m f <"$work/row"
        rows+=("N=1-$([ "$keep" = 1 ] && echo kept || echo perseg) $w $c $m $f")
      done
    else
      serve_whole "$build" "$k" >"$work/row"; read -r w c m f <"$work/row"; rows+=("service-N=$k $w $c $m $f")
    fi
  done
  ffmpeg_floor >"$work/row"; read -r lw lc lm lf <"$work/row"; rows+=("ffmpeg-floor $lw $lc $lm $lf")
  ffmpeg_whole >"$work/row"; read -r fw fc fm ff <"$work/row"
  for row in "${rows[@]}"; do
    read -r who w c m f <<<"$row"
    printf '%-14s %9s %9s %9s %12s %16s\n' "$who" "$w" "$c" "$m" "$f" "$(python3 -c "print(f'{$w/$fw:.2f}')")"
  done
  printf '%-14s %9s %9s %9s %12s %16s\n' ffmpeg "$fw" "$fc" "$fm" "$ff" "1.00"
  echo "round $round done; $(uptime)"
done
