#!/usr/bin/env bash
# Time from a tab navigation in Chromium (Page.navigate through the DevTools protocol, node 20+)
# to the new address on the agent's /events stream, over COUNT navigations (median and p99), and the
# resident size of our native messaging host. Private Xvfb + openbox, the built agent and host.
# Usage: bench/browser_address.sh [BUILD_DIR] [COUNT]
set -euo pipefail
build=$(realpath "${1:-build}")
count=${2:-30}
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/browser.sh"

start_agent_desktop "$build"
start_chromium "$build" "$PAGES/alpha.html"
expect_url "$PAGES/alpha.html" || fail "no address for the front tab"

node --experimental-websocket "$(dirname "${BASH_SOURCE[0]}")/browser_navigate.mjs" "$DEVTOOLS" "$PAGES" "$count" 2>/dev/null
for host in $(ps -o pid= --ppid "$PID_chromium"); do
  [ "$(cat "/proc/$host/comm")" = vantor-browser- ] || continue
  grep -E 'VmRSS|VmHWM' "/proc/$host/status" | tr -s ' \t' ' ' | sed "s/^/host $host: /"
done
