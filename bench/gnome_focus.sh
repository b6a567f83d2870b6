#!/usr/bin/env bash
# The running agent on a private headless GNOME Shell 43 with our extension: focus latency from
# asking the Shell to focus a window (test helper extension, over the session bus) to the frame
# naming it on the agent's /events (the gdbus process start included), median and p99 over
# SWITCHES switches 0.3 s apart between two native Wayland windows; then the agent's CPU time
# and peak RSS over DURATION seconds idle.
# Usage: bench/gnome_focus.sh [BUILD_DIR] [SWITCHES] [DURATION]
set -euo pipefail
build=$(realpath "${1:-build}")
switches=${2:-100}
duration=${3:-60}
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
! curl -sf 127.0.0.1:17345/health >/dev/null || fail "another agent holds port 17345"
start_gnome "$build" "$build/bin/vantor-companion"

for name in A B; do
  QT_QPA_PLATFORM=wayland start_bg "window$name" "$build/tests/support/vantor_wayland_test_client" \
    --app-id "org.example.Bench$name" --title "Bench window $name" --log "$E2E_DIR/keys$name"
  sleep 1
done

VANTOR_DESKTOP=gnome QT_QPA_PLATFORM=offscreen start_bg agent "$build/bin/vantor-companion"
agent=$PID_agent
wait_for 10 curl -sf 127.0.0.1:17345/health || fail "agent did not answer /health"

# Every frame of the event stream, stamped on arrival (microseconds).
curl -sN 127.0.0.1:17345/events | while IFS= read -r line; do
  [ -n "$line" ] && echo "${EPOCHREALTIME/./} $line"
done >"$E2E_DIR/events" &
E2E_PIDS+=($!)
sleep 1
echo "status: $(curl -s 127.0.0.1:17345/status)"

: >"$E2E_DIR/latencies"
for ((i = 0; i < switches; i++)); do
  target=$([ $((i % 2)) -eq 0 ] && echo A || echo B)
  sleep 0.3 # the core samples on focus at most every 250 ms: measure a lone switch
  seen=$(wc -l <"$E2E_DIR/events")
  start=${EPOCHREALTIME/./}
  gnome_activate "org.example.Bench$target"
  wait_for 5 sh -c "tail -n +$((seen + 1)) '$E2E_DIR/events' | grep -q 'Bench window $target'" ||
    fail "no frame for window $target"
  arrived=$(tail -n +$((seen + 1)) "$E2E_DIR/events" | grep -m1 "Bench window $target" | cut -d' ' -f1)
  echo $((arrived - start)) >>"$E2E_DIR/latencies"
done
sort -n "$E2E_DIR/latencies" | awk '{ v[NR] = $1 } END {
  printf "focus to /events frame over %d switches: median %.1f ms, p99 %.1f ms\n",
    NR, v[int((NR + 1) / 2)] / 1000, v[int(NR * 0.99 + 0.999)] / 1000 }'

# What the gdbus process alone costs: asking for the window that already has focus.
: >"$E2E_DIR/bare"
for ((i = 0; i < 20; i++)); do
  start=${EPOCHREALTIME/./}
  gnome_activate org.example.BenchB
  echo $((${EPOCHREALTIME/./} - start)) >>"$E2E_DIR/bare"
done
sort -n "$E2E_DIR/bare" | awk '{ v[NR] = $1 } END { printf "a bare gdbus call: median %.1f ms\n", v[int((NR + 1) / 2)] / 1000 }'

ticks() { awk '{print $14 + $15 + $16 + $17}' "/proc/$agent/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$duration"
end=$(ticks)
awk -v t=$((end - start)) -v hz="$hz" -v d="$duration" \
  'BEGIN { printf "cpu over %d s idle: %.2f s = %.2f%% of one core (agent + children)\n", d, t / hz, 100 * t / hz / d }'
echo "peak RSS: $(awk '/VmHWM/ {print $2, $3}' /proc/$agent/status)"
