#!/usr/bin/env bash
# Time from process start to the listening banner, with the automatic
# upscaler pick (CORVEL_ENHANCE_UPSCALER=auto) and, side by side in the same
# run, with a named method (no measurement): the difference is the pick's
# cost. Also prints the pick's own log lines of the last automatic start.
# Usage: bench/startup_pick.sh [build-dir] [rounds]
set -euo pipefail
build=${1:-build}
rounds=${2:-3}
exe="$build/src/app/CorvelLiveEnhancer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One start: prints seconds from spawn to the banner, then ends the service.
start_once() {
  local upscaler=$1 port out pid begin end
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  out="$work/out"
  : >"$out"
  : >"$work/enhancer.log"
  begin=$(date +%s.%N)
  CORVEL_ENHANCE_UPSCALER=$upscaler CORVEL_ENHANCE_LOG=$work/enhancer.log "$exe" --port "$port" >"$out" &
  pid=$!
  for _ in $(seq 2400); do grep -q "Corvel live enhancer:" "$out" && break; sleep 0.01; done
  end=$(date +%s.%N)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  python3 -c "print(f'{$end - $begin:.2f}')"
}

echo "== start to listening, seconds (uptime: $(uptime | sed 's/.*load/load/'))"
printf '%-8s %-10s %-10s\n' round auto bicubic
for i in $(seq "$rounds"); do
  a=$(start_once auto)
  b=$(start_once bicubic)
  printf '%-8s %-10s %-10s\n' "$i" "$a" "$b"
done
start_once auto >/dev/null
echo "== the pick's lines of the last automatic start"
grep -E "upscaler: |main: up=1|main: the upscaler pick" "$work/enhancer.log" | cut -c25-
