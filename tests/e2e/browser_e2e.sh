#!/usr/bin/env bash
# Browser addresses end to end: Chromium, then firefox-esr, on a throwaway X desktop with our
# extension and host registered in the test's own profile, and the built agent. The focused
# window's tab address must reach /status and /events, follow the tab, vanish when another window
# comes to the front, and never come from a private window.
# Usage: browser_e2e.sh BUILD_DIR [SOURCE_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/browser.sh"

start_agent_desktop "$build"
: >"$E2E_DIR/events" # there before the first count, however late the stream starts
command curl -sN http://127.0.0.1:17345/events >>"$E2E_DIR/events" 2>/dev/null &
E2E_PIDS+=($!)

# check_browser NAME: start_NAME, NAME_tab and NAME_private drive that browser.
check_browser() {
  local seen
  seen=$(wc -l <"$E2E_DIR/events")
  "start_$1" "$build" "$PAGES/alpha.html"
  # A first start with a fresh profile can take a while on a busy machine.
  wait_for 60 bash -c "status | grep -q '\"windowTitle\":\"Alpha page'" || fail "$1 did not come to the front: $(status)"
  expect_url "$PAGES/alpha.html" || fail "$1: no address for the front tab: $(status)"

  "$1_tab" "$PAGES/beta.html"
  expect_url "$PAGES/beta.html" || fail "$1: address did not follow the new tab: $(status)"
  tail -n +$((seen + 1)) "$E2E_DIR/events" | grep -q "\"browserUrl\":\"$PAGES/beta.html\"" ||
    fail "$1: no event with the new address"

  start_bg "xterm_$1" xterm -T "Not $1" -e sleep 600
  wait_for 10 bash -c "status | grep -q '\"windowTitle\":\"Not $1\"'" || fail "xterm did not come to the front"
  status | grep -q browserUrl && fail "$1: an address while xterm is in front: $(status)"

  "$1_private" "$PAGES/gamma.html"
  wait_for 20 bash -c 'status | grep -q "\"windowTitle\":\"Gamma page"' || fail "$1: private window did not come to the front: $(status)"
  sleep 1 # a report that would wrongly vouch for it arrives within milliseconds
  status | grep -q browserUrl && fail "$1: an address from a private window: $(status)"
  echo "browser_e2e: $1 passed"
}

check_browser chromium
check_browser firefox
