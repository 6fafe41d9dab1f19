#!/usr/bin/env bash
# Starts the service on a free port and loads its status route from 50
# concurrent connections, first with our own client, then with wrk as a
# cross-check. Usage: bench/http_load.sh [build-dir] [seconds]
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
log=$(mktemp)
CORVEL_ENHANCE_UPSCALER=${CORVEL_ENHANCE_UPSCALER:-bicubic} CORVEL_ENHANCE_LOG=$log "$build/src/app/CorvelLiveEnhancer" --port "$port" >/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null; rm -f $log' EXIT
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/v1/enhanced/status" >/dev/null && break; sleep 0.05; done
echo "== http_load (own client, a new connection per request)"
"$build/bench/http_load" "$port" 50 "$seconds"
if command -v wrk >/dev/null; then
  echo "== wrk -t2 -c50 -d${seconds}s --latency"
  wrk -t2 -c50 -d"${seconds}s" --latency "http://127.0.0.1:$port/v1/enhanced/status"
fi
