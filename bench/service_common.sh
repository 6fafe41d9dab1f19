# Shared by the bench scripts that run the stand-in media server and the
# service over loopback. Sourced after `build` (the build directory) and
# `work` (a scratch directory) are set. Makes $work/titles, the stand-in's
# folder, and on exit ends the stand-in and the service (`standin`,
# `service`: their pids, when running) and removes the scratch directory.

mkdir -p "$work/titles"
standin=
service=
trap 'kill ${standin:-} ${service:-} 2>/dev/null || true; rm -rf "$work"' EXIT

now() { date +%s.%N; }
since() { python3 -c "print(f'{$(now)-$1:.2f}')"; }

# A free loopback port.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Starts the stand-in on $work/titles; sets `standin` (its pid) and
# `standin_port`.
start_standin() {
  "$build/standin/corvel-standin" "$work/titles" --port 0 >"$work/standin.out" 2>"$work/standin.err" &
  standin=$!
  for _ in $(seq 200); do grep -q "listening on" "$work/standin.out" && break; sleep 0.05; done
  standin_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/standin.out")
}

# Waits (at most 20 s) until the service on port $1 answers its status.
wait_for_service() {
  for _ in $(seq 400); do curl -sf "http://127.0.0.1:$1/v1/enhanced/status" >/dev/null && break; sleep 0.05; done
}

# GET with a player's patience for "still preparing / still making" (503):
# asks again 50 ms later, at most FETCH_TRIES times (default 2400: 120 s).
fetch() {
  for _ in $(seq "${FETCH_TRIES:-2400}"); do
    code=$(curl -s -o /dev/null -w '%{http_code}' "$1")
    [ "$code" = 200 ] && return 0
    [ "$code" = 503 ] || { echo "GET $1 answered $code" >&2; return 1; }
    sleep 0.05
  done
  return 1
}
