#!/usr/bin/env bash
# The running agent on each desktop (offscreen platform, backend forced) with a focused witness
# window: checks that /status reports the window's title and that a POSTed key chord reaches the
# window, then measures the agent's CPU time (its own plus its reaped children's, from
# /proc/PID/stat) and its peak resident size (VmHWM) over DURATION seconds of idle sampling.
# Usage: bench/agent_idle.sh [BUILD_DIR] [DURATION] [DESKTOP...]   (default: x11 sway kde gnome)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/desktops.sh"
build=$(realpath "${1:-build}")
duration=${2:-60}
shift $(($# > 2 ? 2 : $#))

idle() {
  start_agent
  local agent=$PID_agent
  # a backend that reaches its desktop over the bus needs a moment after /health answers
  local try
  for try in $(seq 50); do
    focus_window bench_one >/dev/null
    curl -s 127.0.0.1:17345/status | grep -q '"bundleId":"bench_one"' && break
    sleep 0.1
  done
  echo "$1 status: $(curl -s 127.0.0.1:17345/status)" >&2
  echo "$1 action: $(curl -s -X POST -H 'content-type: application/json' \
    -d '{"action":{"type":"shortcut","keys":"command+shift+k"}}' 127.0.0.1:17345/action)" >&2
  sleep 0.3
  echo "$1 window received (keysym mods): $(cat "$KEYS_DIR/bench_one.keys" 2>/dev/null)" >&2
  ticks() { awk '{print $14 + $15 + $16 + $17}' "/proc/$agent/stat"; }
  local start end
  start=$(ticks)
  sleep "$duration"
  end=$(ticks)
  awk -v t=$((end - start)) -v hz="$(getconf CLK_TCK)" -v d="$duration" \
    -v rss="$(awk '/VmHWM/ {print $2 / 1024}' /proc/$agent/status)" \
    'BEGIN { printf "%.2f | %.3f | %.1f", t / hz, 100 * t / hz / d, rss }'
  stop_agent
}

echo "| desktop | CPU s in ${duration} s | % of one core | peak RSS MB |"
echo "|---|---|---|---|"
for name in ${@:-x11 sway kde gnome}; do
  "desktop_$name"
  echo "| $name | $(idle "$name") |"
  stop_desktop
done
