#!/usr/bin/env bash
# The running agent on a private Xvfb + openbox with a focused test window: checks that
# /status reports the window's title and that a POSTed key chord reaches the window, then
# measures the agent's CPU time (its own plus its reaped children's, from /proc/PID/stat) and its
# peak resident size (VmHWM) over DURATION seconds of idle sampling.
# Usage: bench/agent_idle.sh [BUILD_DIR] [DURATION]
set -euo pipefail
BUILD=$(realpath "${1:-build}")
DURATION=${2:-60}
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/config XDG_DATA_HOME=$WORK/home/data
export XDG_RUNTIME_DIR=$WORK/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 2>/dev/null & PIDS+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -1 "$WORK/display")
cat >"$WORK/rc.xml" <<'RC'
<openbox_config xmlns="http://openbox.org/3.4/rc"><focus><focusNew>yes</focusNew></focus><desktops><number>1</number></desktops><keyboard/><mouse/></openbox_config>
RC
HOME=$WORK openbox --sm-disable --config-file "$WORK/rc.xml" 2>/dev/null & PIDS+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done
sleep 0.5 # openbox drops map requests made while it finishes starting

"$BUILD/tests/support/vantor_test_client" --title "Idle window ✓" --log "$WORK/keys" & PIDS+=($!)
for _ in $(seq 100); do xprop -root _NET_ACTIVE_WINDOW 2>/dev/null | grep -q 'window id # 0x[1-9a-f]' && break; sleep 0.05; done

QT_QPA_PLATFORM=offscreen "$BUILD/bin/vantor-companion" 2>"$WORK/agent.log" & AGENT=$!; PIDS+=($AGENT)
for _ in $(seq 100); do curl -sf 127.0.0.1:17345/health >/dev/null 2>&1 && break; sleep 0.1; done

echo "status: $(curl -s 127.0.0.1:17345/status)"
echo "action: $(curl -s -X POST -H 'content-type: application/json' \
  -d '{"action":{"type":"shortcut","keys":"command+shift+k"}}' 127.0.0.1:17345/action)"
sleep 0.3
echo "test window received (keysym state): $(cat "$WORK/keys")"

ticks() { awk '{print $14 + $15 + $16 + $17}' "/proc/$AGENT/stat"; }
HZ=$(getconf CLK_TCK)
START=$(ticks)
sleep "$DURATION"
END=$(ticks)
awk -v t=$((END - START)) -v hz="$HZ" -v d="$DURATION" \
  'BEGIN { printf "cpu over %d s idle: %.2f s = %.2f%% of one core (agent + children)\n", d, t / hz, 100 * t / hz / d }'
echo "peak RSS: $(awk '/VmHWM/ {print $2, $3}' /proc/$AGENT/status)"
