#!/usr/bin/env bash
# The running agent on a private Xvfb + openbox with a focused test window: checks that
# /status reports the window's title and that a POSTed key chord reaches the window, then
# measures the agent's CPU time (its own plus its reaped children's, from /proc/PID/stat) and its
# peak resident size (VmHWM) over DURATION seconds of idle sampling.
# Usage: bench/agent_idle.sh [BUILD_DIR] [DURATION]
set -euo pipefail
build=$(realpath "${1:-build}")
duration=${2:-60}
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
start_x
sleep 0.5 # openbox drops map requests made while it finishes starting

start_bg client "$build/tests/support/vantor_test_client" --title "Idle window ✓" --log "$E2E_DIR/keys"
wait_for 5 sh -c "xprop -root _NET_ACTIVE_WINDOW | grep -q 'window id # 0x[1-9a-f]'"

QT_QPA_PLATFORM=offscreen start_bg agent "$build/bin/vantor-companion"
agent=$PID_agent
wait_for 10 curl -sf 127.0.0.1:17345/health || fail "agent did not answer /health"

echo "status: $(curl -s 127.0.0.1:17345/status)"
echo "action: $(curl -s -X POST -H 'content-type: application/json' \
  -d '{"action":{"type":"shortcut","keys":"command+shift+k"}}' 127.0.0.1:17345/action)"
sleep 0.3
echo "test window received (keysym state): $(cat "$E2E_DIR/keys")"

ticks() { awk '{print $14 + $15 + $16 + $17}' "/proc/$agent/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$duration"
end=$(ticks)
awk -v t=$((end - start)) -v hz="$hz" -v d="$duration" \
  'BEGIN { printf "cpu over %d s idle: %.2f s = %.2f%% of one core (agent + children)\n", d, t / hz, 100 * t / hz / d }'
echo "peak RSS: $(awk '/VmHWM/ {print $2, $3}' /proc/$agent/status)"
