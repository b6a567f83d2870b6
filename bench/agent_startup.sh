#!/usr/bin/env bash
# Start-up time of the agent (process start to the first /health answer, median of RUNS) and its
# resident size after IDLE seconds, on a private Xvfb + openbox desktop with the release's tray
# host (trayer, else stalonetray) and without one. Usage: bench/agent_startup.sh [BUILD_DIR] [RUNS] [IDLE_SECONDS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-10}
idle=${3:-60}
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
start_x

startup_ms() {
  local start end pid
  start=$(date +%s%N)
  "$build/bin/vantor-companion" >/dev/null 2>&1 &
  pid=$!
  until curl -sf -o /dev/null http://127.0.0.1:17345/health; do sleep 0.002; done
  end=$(date +%s%N)
  kill "$pid"; wait "$pid" 2>/dev/null || true
  echo $(((end - start) / 1000))
}

measure() {
  local label=$1 samples=() median pid
  for _ in $(seq "$runs"); do samples+=("$(startup_ms)"); done
  median=$(printf '%s\n' "${samples[@]}" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}')
  "$build/bin/vantor-companion" >/dev/null 2>&1 &
  pid=$!
  E2E_PIDS+=("$pid")
  wait_for 10 curl -sf http://127.0.0.1:17345/health
  sleep "$idle"
  printf '%-10s start-up median %6.1f ms (%d runs); after %d s idle: RSS %s, peak %s\n' "$label" \
    "$(awk -v m="$median" 'BEGIN {print m / 1000}')" "$runs" "$idle" \
    "$(awk '/VmRSS/ {print $2 " " $3}' /proc/$pid/status)" "$(awk '/VmHWM/ {print $2 " " $3}' /proc/$pid/status)"
  kill "$pid"; wait "$pid" 2>/dev/null || true
}

measure "no tray"
start_tray
measure "tray ($TRAY_HOST)"
