#!/usr/bin/env bash
# Processor use and resident memory of an idle editor window: kelvra runs on
# the demo media folder under a private Xvfb display with nothing playing and
# no input; its CPU time is read from /proc over a fixed stretch.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
binary="$top/build/release/kelvra"
seconds=${1:-20}
[ -x "$binary" ] || { echo "idle: build/release/kelvra is missing"; exit 1; }
command -v Xvfb >/dev/null || { echo "idle: Xvfb is not installed"; exit 0; }
bash "$top/demo/make-demo.sh" "$top/build/demo-media" >/dev/null
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
sleep 1
DISPLAY=$display ZARNELK_MEDIA="$top/build/demo-media" SDL_AUDIODRIVER=dummy "$binary" &
pid=$!
sleep 3  # start-up and the first frames are not idle
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
start=$(cpu)
sleep "$seconds"
end=$(cpu)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
kill "$pid"
wait "$pid" 2>/dev/null || true
awk -v a="$start" -v b="$end" -v t="$ticks" -v s="$seconds" -v r="$rss" \
  'BEGIN { printf "idle window: %.2f %% of one core over %d s, resident memory %.1f MB\n", (b - a) / t / s * 100, s, r / 1024 }'
