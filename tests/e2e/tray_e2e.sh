#!/usr/bin/env bash
# The installed agent on a throwaway desktop (Xvfb, openbox, the release's tray host, PulseAudio), paired with
# the reference cloud peer: the icon docks, its menu opens, a second start hands links and
# pasted text to the running agent, Unpair and Start at Login work from the menu.
# Usage: tray_e2e.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

prefix=$E2E_DIR/prefix
bounded 120 cmake --install "$build" --prefix "$prefix" >/dev/null
agent=$prefix/bin/vantor-companion
store=$XDG_CONFIG_HOME/vantor-companion/vantor-companion.conf
shots=$build/e2e-artifacts
mkdir -p "$shots"

# The command line, one row per path: arguments, exit status, the first line it prints. Pins
# --help and --version taken as pairing text: the agent started and served its port.
while IFS='|' read -r arguments status first; do
  code=0
  out=$(bounded 10 "$agent" $arguments 2>&1) || code=$?
  [ "$code" = "$status" ] && [ "${out%%$'\n'*}" = "$first" ] || fail "'$arguments' exited $code: $out"
done <<ROWS
-h|0|Usage: vantor-companion [options] [pairing]
--version|0|vantor-companion $(sed -n 's/^project(.*VERSION \([0-9.]*\).*/\1/p' "$(dirname "${BASH_SOURCE[0]}")/../../CMakeLists.txt")
--frobnicate --help|2|vantor-companion: Unknown option 'frobnicate'. Try 'vantor-companion --help'.
--pair secret|2|vantor-companion: --pair reads only standard input: use --pair -. Try 'vantor-companion --help'.
ROWS
echo "ok - the command line answers --help and --version and refuses what it does not know"

start_x
start_tray
start_pulse

start_bg peer "$build/bin/vantor-cloud-peer" --port 0 --code E2E123 --secret s3cret
wait_for 10 grep -q 'listening on' "$E2E_DIR/peer.log" || fail "peer did not start"
cloud=$(sed -n 's/^listening on \(http[^ ]*\).*/\1/p' "$E2E_DIR/peer.log")

curl -sf -o /dev/null http://127.0.0.1:17345/health && fail "another agent already serves 127.0.0.1:17345"
start_bg agent "$agent"
wait_for 10 curl -sf http://127.0.0.1:17345/health || fail "agent did not answer /health"

tray_icon() { xwininfo -root -tree | awk -v host="\"$TRAY_WINDOW\"" 'index($0, host) {p=1; next} p && /"vantor-companion"/ && !found {print $1; found=1}'; }
wait_for 20 test -n "$(tray_icon)" || fail "the icon did not dock in the tray"
icon=$(tray_icon)
import -window root "$shots/tray.png"

menu_open() { xwininfo -root -tree | grep -q '"vantor-companion": ("vantor-companion" "vantor-companion")  [0-9]*x[0-9]*+[0-9]*+[0-9]*  +[0-9]*+[3-9][0-9]'; }
open_menu() {
  xdotool mousemove --window "$icon" 11 15 click 3
  sleep 0.5
}
open_menu
import -window root "$shots/menu.png"
xdotool key Escape
echo "ok - icon docked and menu opened (screenshots in $shots)"

# A second start with a link to our own peer (another console than the default) asks first.
bounded 20 "$agent" "vantor://pair?cloud=$cloud&code=E2E123&secret=s3cret" || fail "second start exited $?"
wait_for 10 xdotool search --name 'Keyloft Companion' || fail "no consent dialog"
sleep 0.3
xdotool key alt+p
wait_for 10 grep -q 'pairCode=E2E123' "$store" || fail "the link did not pair the running agent"
wait_for 10 grep -q 'POST /api/pairing/E2E123/context' "$E2E_DIR/peer.log" || fail "no forced upload reached the peer"
grep -q 'Keyloft paired — Code E2E123 — this computer is now remote-controllable.' "$E2E_DIR/agent.log" ||
  fail "no pairing log line"
echo "ok - link paired the running agent after consent, upload reached the peer"

# Unpair from the menu: first enabled item is "Pair with Console…", the next "Unpair".
open_menu
xdotool key Down Down Return
wait_for 10 sh -c "! grep -q pairCode '$store'" || fail "Unpair left the stored keys"
echo "ok - Unpair erased the stored keys"

# Pasted command text from a terminal, on standard input, pairs like the dialog.
printf '%s\n' "VANTOR_CLOUD_URL=$cloud VANTOR_PAIR_CODE=E2E123 VANTOR_PAIR_SECRET=s3cret vantor-companion" |
  bounded 20 "$agent" --pair - || fail "hand-over exited $?"
wait_for 10 grep -q 'pairCode=E2E123' "$store" || fail "pasted text did not pair"
echo "ok - pasted command paired"

# Start at Login from the menu (unpaired menu: Pair, Unpair, Open Console, Start at Login).
autostart=$XDG_CONFIG_HOME/autostart/vantor-companion.desktop
open_menu
xdotool key Down Down Down Down Return
wait_for 10 test -f "$autostart" || fail "no autostart entry"
open_menu
xdotool key Down Down Down Down Return
wait_for 10 test ! -f "$autostart" || fail "autostart entry stayed"
echo "ok - Start at Login added and removed the autostart entry"

# With no way to ask, a foreign link is refused and changes nothing.
kill "$PID_agent"; wait "$PID_agent" 2>/dev/null || true
before=$(cat "$store")
QT_QPA_PLATFORM=offscreen start_bg headless "$agent" "vantor://pair?cloud=https://evil.example&code=EVIL01&secret=x"
wait_for 10 grep -q 'Pairing link refused' "$E2E_DIR/headless.log" || fail "foreign link not refused"
[ "$before" = "$(cat "$store")" ] || fail "a refused link changed the pairing"
# Pins the secret staying readable in /proc/PID/cmdline for the agent's whole life.
! tr '\0' ' ' < "/proc/$PID_headless/cmdline" | grep -q 'secret=x' || fail "argument not wiped"
echo "ok - foreign link without a way to ask was refused, and wiped from the command line"

# Last, as the peer does not know its code (its 404 ends the pairing, which the check above would
# see): pairing text as the argument, here starting with a dash (not an option), is handed over,
# and the start that read it says it wiped it and how to keep it off the command line.
bounded 20 "$agent" "-ab12c s3cret $cloud" 2>"$E2E_DIR/argument.log" || fail "hand-over exited $?"
grep -q 'Pairing secret read from the command line — wiped from it at once, .*vantor-companion --pair -$' "$E2E_DIR/argument.log" ||
  fail "no line about the wiped secret: $(cat "$E2E_DIR/argument.log")"
wait_for 10 grep -q '/api/pairing/-AB12C/' "$E2E_DIR/peer.log" || fail "the argument did not pair"
echo "ok - pairing text as the argument paired, and its start said it was wiped"
echo "tray e2e: 8 passed, 0 failed"
