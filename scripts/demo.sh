#!/usr/bin/env bash
# The main job: builds the service, starts it on a free loopback port, asks it
# for its status with a real HTTP client, prints the answer and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target CorvelLiveEnhancer

work=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export CORVEL_ENHANCE_LOG=$work/enhancer.log
./build/src/app/CorvelLiveEnhancer --port "$port" --parent-pid $$ >"$work/stdout" &
service=$!
trap 'kill $service 2>/dev/null || true' EXIT

for _ in $(seq 200); do grep -q "Corvel live enhancer:" "$work/stdout" && break; sleep 0.05; done
echo "service: $(cat "$work/stdout")"
echo "status:  $(curl -sS --fail "http://127.0.0.1:$port/v1/enhanced/status")"
kill $service
wait $service 2>/dev/null || true
echo "log ($CORVEL_ENHANCE_LOG):"
cat "$CORVEL_ENHANCE_LOG"
