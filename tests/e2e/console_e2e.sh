#!/usr/bin/env bash
# The try-it console in headless Chromium, against the built agent paired with the reference
# cloud peer that serves the page. The agent runs on a throwaway X desktop with PulseAudio, so
# its context names a real front window and the system controls really act.
# Usage: console_e2e.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Installed into the build folder (never the source tree); npm's cache stays there too, so a
# second run needs no network and does not wait for one.
modules=$build/e2e-console
mkdir -p "$modules"
cp "$here/console/package.json" "$here/console/package-lock.json" "$modules/"
(cd "$modules" && npm_config_cache=$modules/npm-cache timeout 300 npm ci --prefer-offline --no-audit --no-fund --loglevel=error) ||
  { echo "FAIL: npm ci for playwright-core" >&2; exit 1; }

source "$here/desktop.sh"
# The port is fixed: give an agent another run left behind a moment to go, never talk to it.
wait_for 60 sh -c '! curl -s -m 1 http://127.0.0.1:17345/health' ||
  fail "another agent already answers on 127.0.0.1:17345"

start_x
start_pulse

# A front window whose title holds markup and odd characters: the page must show it as text.
title='Über <b>bold</b> & "quotes" — a long title that keeps going and going past the edge of its panel ✓'
start_bg xterm xterm -T "$title" -e sleep 600
wait_for 10 sh -c "xdotool search --name 'keeps going' | grep -q ." || fail "xterm did not map"

# An application of our own with an odd name, whose launch leaves a mark.
apps=$XDG_DATA_HOME/applications
mkdir -p "$apps"
cat >"$E2E_DIR/launched.sh" <<EOF
#!/bin/sh
touch "$E2E_DIR/launched"
EOF
chmod +x "$E2E_DIR/launched.sh"
cat >"$apps/console-probe.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=Probe <img src=x onerror=alert(1)> & Ünïcødé
Exec=$E2E_DIR/launched.sh
Icon=utilities-terminal
EOF

start_bg peer "$build/bin/vantor-cloud-peer" --port 0 --code CONSOLE1 --secret console-secret
wait_for 10 grep -q 'listening on' "$E2E_DIR/peer.log" || fail "peer did not start"
cloud=$(sed -n 's/^listening on \(http[^ ]*\).*/\1/p' "$E2E_DIR/peer.log")

# The node test starts, stops and restarts the agent itself (it inherits this environment).
CONSOLE_E2E_MODULES=$modules/node_modules \
  CONSOLE_E2E_PEER=$cloud \
  CONSOLE_E2E_AGENT=$build/bin/vantor-companion \
  CONSOLE_E2E_PAIRING="VANTOR_CLOUD_URL=$cloud VANTOR_PAIR_CODE=CONSOLE1 VANTOR_PAIR_SECRET=console-secret" \
  CONSOLE_E2E_LOGS=$E2E_DIR \
  CONSOLE_E2E_TITLE=$title \
  CONSOLE_E2E_LAUNCHED=$E2E_DIR/launched \
  CONSOLE_E2E_SHOTS=$build/e2e-artifacts \
  bounded 240 node "$here/console/console.test.mjs"
