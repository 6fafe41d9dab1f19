#!/usr/bin/env bash
# Time from the playlist request to the last byte of segment 0, as a player
# asks (playlist, init segment, segment 0), for one 1280x720 title read two
# ways side by side in one run: as a TV title (an MPEG-TS read by an ffmpeg
# child, its AAC sound carried) and as the same pictures in MP4 through the
# range-reading path. Every round uses fresh copies of both files (new items,
# so no segment is reused), alternating which goes first; a small title is
# played first so that the compute runtime's start is in neither figure.
# Usage: bench/tv_first_segment.sh [build-dir] [rounds]
set -euo pipefail
build=${1:-build}
rounds=${2:-3}
work=$(mktemp -d /tmp/tv-first-XXXXXX)
. "$(dirname "$0")/service_common.sh"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=10" \
  -f lavfi -i "sine=f=440:r=48000:d=10" -map 0 -map 1 -c:v libx264 -preset veryfast -bf 2 -g 50 \
  -pix_fmt yuv420p -c:a aac -ac 2 -b:a 160k -movflags +faststart "$work/title.mp4"
ffmpeg -nostdin -v error -y -i "$work/title.mp4" -map 0 -c copy -f mpegts "$work/title.ts"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=320x180:rate=25:duration=2" -c:v libx264 \
  -preset veryfast -pix_fmt yuv420p "$work/titles/warm.mp4"
for i in $(seq "$rounds"); do
  cp "$work/title.mp4" "$work/titles/mp4-$i.mp4"
  cp "$work/title.ts" "$work/titles/tv-$i.ts"
done

start_standin
port=$(free_port)
CORVEL_ENHANCE_UPSCALER=${CORVEL_ENHANCE_UPSCALER:-bicubic} CORVEL_ENHANCE_LOG=$work/enhancer.log "$build/src/app/CorvelLiveEnhancer" --port "$port" \
  --companion "http://127.0.0.1:$standin_port" >"$work/service.out" &
service=$!
wait_for_service "$port"

# Seconds from the playlist request to the last byte of segment 0.
first_segment() { # item query
  local base="http://127.0.0.1:$port/v1/enhanced/$1" t0 t1 playlist map seg
  t0=$(date +%s.%N)
  playlist=$(curl -sf "$base/index.m3u8$2")
  map=$(printf '%s\n' "$playlist" | sed -n 's/^#EXT-X-MAP:URI="\([^"]*\)".*/\1/p')
  seg=$(printf '%s\n' "$playlist" | grep -v '^#' | head -n 1)
  fetch "$base/$map"
  fetch "$base/$seg"
  t1=$(date +%s.%N)
  python3 -c "print(f'{$t1-$t0:.2f}')"
}

first_segment warm "" >/dev/null
echo "round  tv (MPEG-TS, ffmpeg child)  mp4 (range reads)"
for i in $(seq "$rounds"); do
  if [ $((i % 2)) = 1 ]; then
    tv=$(first_segment "tv-$i" "?tv=1"); mp4=$(first_segment "mp4-$i" "")
  else
    mp4=$(first_segment "mp4-$i" ""); tv=$(first_segment "tv-$i" "?tv=1")
  fi
  printf '%5d  %24s s  %15s s\n' "$i" "$tv" "$mp4"
done
