#!/usr/bin/env bash
# The main job: builds the service and the stand-in media server, makes a
# small two-part title with ffmpeg, starts the stand-in in place of Corvel
# Server and the service beside it, lets a real HLS client (ffmpeg) play the
# enhanced title to the end, then plays a short MPEG-TS TV recording with its
# sound the same way, and prints the service's status and where the played
# streams were written.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target CorvelLiveEnhancer corvel-standin

work=$(mktemp -d /tmp/corvel-demo-XXXXXX)
mkdir -p "$work/titles/demo"
echo "demo: making a 10-second 640x360 H.264 title in two parts under $work/titles"
src="testsrc2=size=640x360:rate=25:duration=10"
x264="-c:v libx264 -preset veryfast -bf 2 -g 50 -pix_fmt yuv420p"
ffmpeg -nostdin -v error -y -f lavfi -i "$src" -t 5 $x264 "$work/titles/demo/part1.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i "$src" -ss 5 -t 5 $x264 "$work/titles/demo/part2.mp4"
echo "demo: making a 6-second MPEG-TS TV recording (H.264, AC-3 5.1 sound) as $work/titles/tvdemo.ts"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x360:rate=25:duration=6" \
  -f lavfi -i "sine=f=440:r=48000:d=6" -map 0 -map 1 $x264 -c:a ac3 -ac 6 -f mpegts "$work/titles/tvdemo.ts"

export CORVEL_ENHANCE_LOG=$work/enhancer.log
./build/standin/corvel-standin "$work/titles" --port 0 >"$work/standin.out" 2>"$work/standin.err" &
standin=$!
service=
trap 'kill $standin ${service:-} 2>/dev/null || true' EXIT
for _ in $(seq 200); do grep -q "listening on" "$work/standin.out" && break; sleep 0.05; done
standin_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/standin.out")
echo "demo: stand-in media server on port $standin_port"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
./build/src/app/CorvelLiveEnhancer --port "$port" --companion "http://127.0.0.1:$standin_port" \
  --parent-pid $$ >"$work/service.out" &
service=$!
# Start-up measures the upscalers before it listens (a few seconds on a CPU device).
for _ in $(seq 1200); do grep -q "Corvel live enhancer:" "$work/service.out" && break; sleep 0.05; done
echo "demo: $(cat "$work/service.out")"

url="http://127.0.0.1:$port/v1/enhanced/demo/index.m3u8"
echo "demo: playing $url with ffmpeg's HLS client"
start=$(date +%s.%N)
ffmpeg -nostdin -v error -y -i "$url" -c copy "$work/enhanced.mp4"
end=$(date +%s.%N)
echo "demo: played to the end in $(python3 -c "print(f'{$end-$start:.1f}')") s"

echo "demo: status: $(curl -sS --fail "http://127.0.0.1:$port/v1/enhanced/status")"
echo "demo: the played stream: $work/enhanced.mp4"
ffprobe -v error -select_streams v:0 -count_frames \
  -show_entries stream=codec_name,profile,pix_fmt,width,height,nb_read_frames -of default=nw=1 \
  "$work/enhanced.mp4" | sed 's/^/demo:   /'

# A TV title: ffmpeg reads the recording for the service, and its sound is
# carried beside the enhanced pictures (AC-3 5.1 at 48 kHz is copied as it is).
tvurl="http://127.0.0.1:$port/v1/enhanced/tvdemo/index.m3u8?tv=1"
echo "demo: playing the TV title $tvurl with ffmpeg's HLS client"
start=$(date +%s.%N)
ffmpeg -nostdin -v error -y -i "$tvurl" -map 0 -c copy "$work/enhanced-tv.mp4"
end=$(date +%s.%N)
echo "demo: played to the end in $(python3 -c "print(f'{$end-$start:.1f}')") s"
echo "demo: the played TV stream: $work/enhanced-tv.mp4"
ffprobe -v error -show_entries stream=codec_type,codec_name,profile,width,height,channels,sample_rate,duration \
  -of compact=nk=0:p=0 "$work/enhanced-tv.mp4" | grep . | sed 's/^/demo:   /'
echo "demo: status: $(curl -sS --fail "http://127.0.0.1:$port/v1/enhanced/status")"
if [ "$(ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 "$work/enhanced-tv.mp4" | wc -l)" -lt 1 ]; then
  echo "demo: the TV stream has no sound" >&2
  exit 1
fi
echo "demo: service log: $CORVEL_ENHANCE_LOG"
