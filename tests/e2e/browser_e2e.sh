#!/usr/bin/env bash
# Browser addresses end to end: Chromium on a throwaway X desktop with our extension and host
# registered in the test's own profile, and the built agent. The focused window's tab address
# must reach /status and /events, follow the tab, vanish when another window comes to the front,
# and never come from a private window.
# Usage: browser_e2e.sh BUILD_DIR [SOURCE_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/browser.sh"

wait_for 60 sh -c '! curl -s -m 1 http://127.0.0.1:17345/health' ||
  fail "another agent already answers on 127.0.0.1:17345"
start_x
start_pages
start_bg agent "$build/bin/vantor-companion"
wait_for 20 curl -sf http://127.0.0.1:17345/health || fail "agent did not answer"
curl -sN http://127.0.0.1:17345/events >"$E2E_DIR/events" 2>/dev/null &
E2E_PIDS+=($!)

start_chromium "$build" "$PAGES/alpha.html"
expect_url "$PAGES/alpha.html" || fail "no address for the front tab: $(status)"

devtools PUT "new?$PAGES/beta.html" >/dev/null
expect_url "$PAGES/beta.html" || fail "address did not follow the new tab: $(status)"
grep -q "\"browserUrl\":\"$PAGES/beta.html\"" "$E2E_DIR/events" || fail "no event with the new address"

start_bg xterm xterm -T "Not a browser" -e sleep 600
wait_for 10 bash -c 'status | grep -q "\"windowTitle\":\"Not a browser\""' || fail "xterm did not come to the front"
status | grep -q browserUrl && fail "an address while xterm is in front: $(status)"

chromium_private "$PAGES/gamma.html"
wait_for 20 bash -c 'status | grep -q "\"windowTitle\":\"Gamma page"' || fail "private window did not come to the front: $(status)"
sleep 1 # a report that would wrongly vouch for it arrives within milliseconds
status | grep -q browserUrl && fail "an address from a private window: $(status)"
echo "browser_e2e: passed"
