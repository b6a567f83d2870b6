#!/usr/bin/env bash
# The agent on a headless GNOME Shell, which has no tray of its own: the status menu is in the
# top bar through our extension, follows the agent's state, runs what the tray's entries run,
# takes choices from the Shell's connection alone, and gives way to the tray icon where a
# StatusNotifier host (the AppIndicator extension) is there: never two menus.
# Usage: gnome_menu_e2e.sh BUILD_DIR [SCREENSHOT_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"
agent=$build/bin/vantor-companion
shots=${2:-$build/e2e-artifacts}
autostart=$XDG_CONFIG_HOME/autostart/vantor-companion.desktop
mkdir -p "$shots"

start_gnome "$build" "$agent"

helper() {
  gdbus call --session -d com.keyloft.VantorCompanion.TestHelper \
    -o /com/keyloft/VantorCompanion/TestHelper -m "com.keyloft.VantorCompanion.TestHelper.$1" "${@:2}"
}
# The indicator's entries as the Shell shows them: (title, can be chosen, check mark).
menu_has() { helper MenuEntries | grep -qF "$1"; }
no_menu() { [ "$(helper MenuEntries)" = "(@a(sbb) [],)" ]; }
start_agent() {
  QT_QPA_PLATFORM=wayland start_bg agent "$agent"
}
stop_agent() { kill "$PID_agent"; wait "$PID_agent" 2>/dev/null || true; }

# No tray: the menu is in the top bar, with the tray's entries for an unpaired agent.
start_agent
wait_for 20 menu_has "('Start at Login', true, false)" || fail "no indicator with the agent's menu"
entries=$(helper MenuEntries)
for entry in "('Not paired', false, false)" "('Pair with Console…', true, false)" \
  "('Open Console', true, false)" "('Quit Keyloft Companion', true, false)"; do
  [[ $entries == *"$entry"* ]] || fail "the indicator lacks $entry: $entries"
done
[[ $entries != *Unpair* ]] || fail "Unpair offered while unpaired: $entries"
echo "ok - the indicator shows the agent's menu where there is no tray"

# The agent's state reaches it: pasted command text pairs (a second start hands it over), and
# the upload to a console that is not there leaves the cloud error line.
printf '%s\n' "VANTOR_CLOUD_URL=http://127.0.0.1:9 VANTOR_PAIR_CODE=GNOME1 VANTOR_PAIR_SECRET=s3cret vantor-companion" |
  bounded 20 "$agent" --pair - || fail "hand-over exited $?"
wait_for 20 menu_has "('Paired · code GNOME1', false, false)" || fail "the pairing code did not reach the indicator"
wait_for 20 menu_has "('⚠ " || fail "the cloud error did not reach the indicator"
echo "ok - the pairing code and the cloud error appear in the indicator"

# Choices from the Shell run the tray's commands.
helper ChooseEntry "'Start at Login'" >/dev/null
wait_for 10 test -f "$autostart" || fail "Start at Login made no autostart entry"
wait_for 10 menu_has "('Start at Login', true, true)" || fail "Start at Login not checked"
helper Screenshot "'$shots/gnome-menu.png'" true >/dev/null || fail "no screenshot"
helper ChooseEntry "'Unpair'" >/dev/null
wait_for 10 menu_has "('Not paired', false, false)" || fail "Unpair from the indicator did not unpair"
echo "ok - Start at Login and Unpair chosen in the Shell ran (screenshot in $shots)"

# Any other connection is refused, even naming an entry the menu offers; the Shell's own
# connection is refused an entry the menu does not offer (Unpair, id 2, while unpaired).
pid_of() { gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
  -m org.freedesktop.DBus.GetConnectionUnixProcessID "$1" 2>/dev/null | sed -n 's/.*uint32 \([0-9]*\).*/\1/p'; }
refused=0 unoffered=
for name in $(gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
  -m org.freedesktop.DBus.ListNames | grep -o "':[0-9.]*'" | tr -d "'"); do
  [ "$(pid_of "$name")" = "$PID_agent" ] || continue
  if answer=$(gdbus call --session -d "$name" -o /com/keyloft/VantorCompanion/Agent \
    -m com.keyloft.VantorCompanion.Agent1.Activate 4 2>&1); then
    fail "the agent took a menu choice from another program"
  fi
  [[ $answer != *Error.Refused* ]] || refused=1
  [[ $answer != *Error.Refused* ]] || unoffered=$(helper CallAgent "'$name'" 2)
done
[ $refused = 1 ] || fail "no refusal from the agent's connection"
[[ $unoffered == *InvalidArgs* ]] || fail "the agent took an entry its menu does not offer: $unoffered"
test -f "$autostart" || fail "a refused choice changed Start at Login"
echo "ok - a choice from another connection, or of an entry not offered, is refused"

# The agent gone, its menu goes; with a StatusNotifier host its tray icon shows the menu and the
# top bar shows none.
stop_agent
wait_for 10 no_menu || fail "the indicator outlived the agent"
gsettings set org.gnome.shell enabled-extensions \
  "['vantor-companion@keyloft.com', 'vantor-test-helper@keyloft.com', 'ubuntu-appindicators@ubuntu.com']"
# watcher PROPERTY PATTERN: the StatusNotifier watcher's property matches.
watcher() {
  gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
    -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher "$1" | grep -q "$2"
}
wait_for 20 watcher IsStatusNotifierHostRegistered true || fail "no StatusNotifier host"
start_agent
wait_for 20 watcher RegisteredStatusNotifierItems : || fail "the agent's tray icon did not register"
# The agent hands its menu over in the start-up step that made the icon, before it registers.
no_menu || fail "two menus: the indicator is there beside the tray icon"
helper Screenshot "'$shots/gnome-tray.png'" false >/dev/null || true
echo "ok - with a StatusNotifier host the tray icon shows the menu and the indicator is absent"
echo "gnome menu e2e: 5 passed, 0 failed"
