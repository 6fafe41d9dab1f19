#!/usr/bin/env bash
# Peak memory of the service making a whole title against ffmpeg doing the
# same job, side by side in one run.
#
# Jobs (one H.264 title, 24 fps, 1 s segments, served through the stand-in):
#   plain:    720p, no stages;  ffmpeg: libx265 at the same preset and CRF
#   plain1080: the same with a 1080p title
#   upscaled: 720p made 2560x1440 with the `bicubic` shader (up=bicubic);
#             ffmpeg: the same with `-vf scale=2560:1440:flags=bicubic`
#
# The service: a fresh process per job (the upscaler named, so start-up
# times nothing), its peak reset after it listens (`5` into
# /proc/PID/clear_refs), then every segment asked in order; the figure is
# VmHWM from /proc/PID/status afterwards (what it touched at most while
# making the title, libraries included). Its start-up peak before the reset
# is printed too. ffmpeg: "Maximum resident set size" of /usr/bin/time -v.
# Beside each, the peak of the anonymous part (sampled every 20 ms): what
# the process allocated itself, without the file pages of its libraries
# (the compute runtime alone maps about 60 MB of them in the service).
# And the peak of the file-backed part (RssFile: program and library pages).
# The service's first segment time (playlist asked to segment 0's last
# byte) is printed too, so that a cut that makes it slower shows.
# Both sides: x265 with the preset's own tuning (the service runs an
# encoder per segment), 10-bit 4:2:0, no B-frames, the service's CRF.
#
# Usage: bench/memory_vs_ffmpeg.sh [build-dir] [jobs: "plain plain1080 upscaled"] [seconds]
# SERVICE_ENV="NAME=value ..." is put in the service's environment (after
# CORVEL_ENHANCE_UPSCALER=bicubic, so it may name another upscaler: an empty
# one is the start-up pick);
# MAPS=1 lists the service's largest file-backed mappings after each job;
# SERVICE_WRAP="heaptrack -o FILE" (say) runs the service under a tool (its
# figures are then the tool's process's, not the service's).
set -euo pipefail
build=${1:-build}
jobs=${2:-plain upscaled}
seconds=${3:-8}
# COMPARE=other-build-dir: each job is made by both services in turn (this
# build first), against one ffmpeg run, a row each; COMPARE_ENV="NAME=value
# ..." is added to the second one's environment (COMPARE may then name this
# build again: one build, two settings).
builds="$build ${COMPARE:-}"
work=$(mktemp -d /tmp/memory-vs-ffmpeg-XXXXXX)
. "$(dirname "$0")/service_common.sh"
FETCH_TRIES=4000

make_source() { # size file
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$1:rate=24:duration=$seconds" \
    -c:v libx264 -preset veryfast -g 48 -keyint_min 48 -sc_threshold 0 -bf 2 -pix_fmt yuv420p \
    -movflags +faststart "$2"
}
source_of() { case "$1" in plain1080) echo "$work/src1080.mp4" ;; *) echo "$work/src.mp4" ;; esac; }
make_source 1280x720 "$work/src.mp4"
case " $jobs " in *" plain1080 "*) make_source 1920x1080 "$work/src1080.mp4" ;; esac
for job in $jobs; do cp "$(source_of "$job")" "$work/titles/$job.mp4"; done

start_standin

kb() { sed -n "s/^$1:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$service/status"; }
mb() { python3 -c "print(f'{$1/1024:.1f}')"; }

start_service() {
  port=$(free_port)
  # shellcheck disable=SC2086
  env CORVEL_ENHANCE_UPSCALER=bicubic ${SERVICE_ENV:-} ${extra_env:-} CORVEL_ENHANCE_LOG=$work/enhancer.log \
    ${SERVICE_WRAP:-} "$(readlink -f "$build/src/app/CorvelLiveEnhancer")" --port "$port" --companion "http://127.0.0.1:$standin_port" \
    >"$work/service.out" 2>&1 &
  service=$!
  wait_for_service "$port"
  base="http://127.0.0.1:$port/v1/enhanced"
}

stop_service() {
  # Under a tool the service is the tool's child: end the service only and
  # let the tool write its findings.
  local child
  child=$(pgrep -P "$service" -f CorvelLiveEnhancer || true)
  kill "${child:-$service}" 2>/dev/null || true
  wait "$service" 2>/dev/null || true
  service=
}

# Samples a process's resident memory every 20 ms until it ends or FILE.stop
# appears, and writes the peaks (kB) of the whole (VmHWM), of its anonymous
# part (heap, stacks: what the process itself allocated) and of its file
# pages (its program and libraries) to FILE.
sample() { # pid file
  python3 - "$1" "$2" <<'PY' &
import os, sys, time
pid, out = sys.argv[1], sys.argv[2]
hwm = anon = files = 0
while not os.path.exists(out + ".stop"):
    try:
        fields = dict(l.split(":", 1) for l in open(f"/proc/{pid}/status"))
    except (OSError, ValueError):
        break
    hwm = max(hwm, int(fields.get("VmHWM", "0 kB").split()[0]))
    anon = max(anon, int(fields.get("RssAnon", "0 kB").split()[0]))
    files = max(files, int(fields.get("RssFile", "0 kB").split()[0]))
    time.sleep(0.02)
open(out, "w").write(f"{hwm} {anon} {files}\n")
PY
}

uptime
printf '%-9s %12s %12s %7s %14s %14s %14s %14s %12s %9s\n' job "service MB" "ffmpeg MB" ratio "service anon" "ffmpeg anon" \
  "service file" "ffmpeg file" "start-up MB" "first s"
for job in $jobs; do
  query=
  scale=()
  if [ "$job" = upscaled ]; then query="?up=bicubic"; scale=(-vf "scale=2560:1440:flags=bicubic"); fi
  rows=()
  extra_env=
  for build in $builds; do
    start_service
    startup=$(kb VmHWM)
    echo 5 >"/proc/$service/clear_refs" # the peak from here on
    sample "$service" "$work/service.peak"
    sampler=$!
    playlist=$(curl -sf "$base/$job/index.m3u8$query")
    Q=$(printf '%s\n' "$playlist" | sed -n 's/^#EXT-X-MAP:URI="init.mp4\([^"]*\)".*/\1/p')
    fetch "$base/$job/init.mp4$Q"
    t0=$(date +%s.%N)
    fetch "$base/$job/seg/0.m4s$Q"
    first=$(python3 -c "print(f'{$(date +%s.%N)-$t0:.2f}')")
    for i in $(seq 1 $((seconds - 1))); do fetch "$base/$job/seg/$i.m4s$Q"; done
    took=$(python3 -c "print(f'{$(date +%s.%N)-$t0:.1f}')")
    peak=$(kb VmHWM)
    threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$service/status")
    # Whether the compute runtime (its CPU device's library) is mapped now.
    runtime=no; grep -q 'libpocl' "/proc/$service/maps" && runtime=yes
    if [ -n "${MAPS:-}" ]; then
      # The largest mappings now: resident MB, of it anonymous MB (for a
      # library: the pages written after loading, e.g. relocated data), and
      # the file ("(unnamed)": heap, thread stacks and other allocations).
      awk '/^[0-9a-f]+-/ {f = $6; if (f == "") f = "(unnamed)"} /^Rss:/ {r[f] += $2} /^Anonymous:/ {a[f] += $2}
           END {for (f in r) printf "%8.1f %8.1f %s\n", r[f]/1024, a[f]/1024, f}' \
        "/proc/$service/smaps" | sort -rn | head -16 || true # head may close the pipe early
    fi
    cpu=$(python3 -c "import os; f=open('/proc/$service/stat').read().rsplit(')',1)[1].split(); print(f'{(int(f[11])+int(f[12]))/os.sysconf(\"SC_CLK_TCK\"):.1f}')")
    touch "$work/service.peak.stop"; wait "$sampler"; rm -f "$work/service.peak.stop"
    read -r _ anon files <"$work/service.peak"
    stop_service
    crf=$(sed -n 's/.*encoder: x265 preset [a-z]*, [0-9]*x[0-9]*, crf \([0-9.]*\).*/\1/p' "$work/enhancer.log" | tail -n 1)
    rows+=("$peak $anon $files $startup $first $took $cpu $threads $runtime $build${extra_env:+ with $extra_env}")
    extra_env=${COMPARE_ENV:-} # for the second service
  done
  /usr/bin/time -v -o "$work/time.txt" ffmpeg -nostdin -v error -y -i "$(source_of "$job")" "${scale[@]}" \
    -c:v libx265 -preset ultrafast -crf "$crf" -x265-params "bframes=0:log-level=error" \
    -pix_fmt yuv420p10le -an -f mp4 "$work/ff.mp4" &
  timer=$!
  for _ in $(seq 100); do ffpid=$(pgrep -P "$timer" || true); [ -n "$ffpid" ] && break; sleep 0.01; done
  sample "$ffpid" "$work/ff.peak"
  sampler=$!
  wait "$timer"; wait "$sampler"
  read -r _ ffanon fffiles <"$work/ff.peak"
  ff=$(sed -n 's/.*Maximum resident set size (kbytes): \([0-9]*\).*/\1/p' "$work/time.txt")
  fftook=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): \(.*\)/\1/p' "$work/time.txt")
  ffcpu=$(python3 -c "import re; t=open('$work/time.txt').read(); print(f\"{float(re.search(r'User time .*: ([0-9.]+)', t)[1]) + float(re.search(r'System time .*: ([0-9.]+)', t)[1]):.1f}\")")
  for row in "${rows[@]}"; do
    read -r peak anon files startup first took cpu threads runtime which <<<"$row"
    printf '%-9s %12s %12s %7s %14s %14s %14s %14s %12s %9s   (service %s s, CPU %s s, %s threads at the end, compute runtime mapped: %s; ffmpeg %s, CPU %s s; crf %s; build %s)\n' \
      "$job" "$(mb "$peak")" "$(mb "$ff")" "$(python3 -c "print(f'{$peak/$ff:.2f}')")" "$(mb "$anon")" \
      "$(mb "$ffanon")" "$(mb "$files")" "$(mb "$fffiles")" "$(mb "$startup")" "$first" "$took" "$cpu" "$threads" "$runtime" "$fftook" "$ffcpu" "$crf" "$which"
  done
done
uptime
