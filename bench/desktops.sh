# Shared by the desktop benchmarks: one function per desktop family starts that desktop with two
# focusable witness windows (ids "bench_one" and "bench_two", as the agent reports them in
# bundleId), sets AGENT_ENV for the agent, and writes $E2E_DIR/focus-ID: the command (one word a
# line) that asks the desktop to focus that window, as a user's key binding or a pager would, and
# KEYS_DIR, where window ID logs its key presses to ID.keys.
# Source it before touching the script's arguments.
# Agents of other checkouts on this machine hold 127.0.0.1:17345 too: as root, a network of our own.
if [ "$(id -u)" = 0 ] && [ -z "${VANTOR_OWN_NETWORK:-}" ]; then
  exec unshare -n env VANTOR_OWN_NETWORK=1 sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
WINDOWS=(bench_one bench_two)

desktop_x11() {
  start_x
  sleep 0.5 # openbox drops map requests made while it finishes starting
  local id
  for id in "${WINDOWS[@]}"; do
    start_bg "$id" "$build/tests/support/vantor_test_client" --title "Window $id ✓" \
      --instance "$id" --class "$id" --log "$E2E_DIR/$id.keys"
    wait_for 5 xdotool search --classname "$id" || fail "no window $id"
    # an EWMH _NET_ACTIVE_WINDOW request, as a pager sends
    printf '%s\n' xdotool windowactivate "$(xdotool search --classname "$id" | head -n1)" >"$E2E_DIR/focus-$id"
  done
  AGENT_ENV=(-u WAYLAND_DISPLAY VANTOR_DESKTOP=x11)
  KEYS_DIR=$E2E_DIR
}

desktop_sway() {
  start_sway
  local id
  for id in "${WINDOWS[@]}"; do
    sway_client "$id" "$build/tests/support/vantor_wayland_test_client" --app-id "$id" \
      --title "Window $id ✓" --log "$SWAY_DIR/$id.keys"
    wait_for 5 swaymsg "[app_id=\"$id\"] focus" || fail "no window $id"
    printf '%s\n' swaymsg -q "[app_id=\"$id\"] focus" >"$E2E_DIR/focus-$id"
  done
  AGENT_ENV=(VANTOR_DESKTOP=wlroots WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
  KEYS_DIR=$SWAY_DIR
}

desktop_gnome() {
  start_gnome "$build" "$build/bin/vantor-companion"
  local id
  for id in "${WINDOWS[@]}"; do
    QT_QPA_PLATFORM=wayland start_bg "$id" "$build/tests/support/vantor_wayland_test_client" \
      --app-id "$id" --title "Window $id ✓" --log "$E2E_DIR/$id.keys"
    wait_for 5 gnome_activate "$id" || fail "no window $id"
    # the test helper extension activates the window as the Shell's own switcher does
    printf '%s\n' gdbus call --session -d com.keyloft.VantorCompanion.TestHelper \
      -o /com/keyloft/VantorCompanion/TestHelper -m com.keyloft.VantorCompanion.TestHelper.Activate \
      "$id" >"$E2E_DIR/focus-$id"
  done
  AGENT_ENV=(VANTOR_DESKTOP=gnome WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
  KEYS_DIR=$E2E_DIR
}

desktop_kde() {
  local dir=$E2E_DIR/kwin id
  mkdir -p "$dir/bin"
  start_bus session
  # the packaged binary's file capability fails exec in a namespace; a copy (same name) has none
  cp /usr/bin/kwin_wayland "$dir/bin/kwin_wayland"
  KWIN_COMPOSE=Q LANG=C.UTF-8 start_bg kwin "$dir/bin/kwin_wayland" --virtual --width 800 \
    --height 600 --socket vantor-kwin --no-lockscreen --no-global-shortcuts --no-kactivities
  export WAYLAND_DISPLAY=vantor-kwin
  wait_for 20 gdbus introspect --session -d org.kde.KWin -o /Scripting || fail "KWin did not start"
  for id in "${WINDOWS[@]}"; do
    QT_QPA_PLATFORM=wayland start_bg "$id" "$build/tests/support/vantor_wayland_test_client" \
      --app-id "$id" --title "Window $id ✓" --log "$E2E_DIR/$id.keys"
    # a one-shot KWin script activates the window, as KWin's own task switcher does
    # (KWin 5 names windows clients; KWin 6 windows, and keeps its script objects under /Scripting)
    printf 'const six = "windowList" in workspace;
for (const w of six ? workspace.windowList() : workspace.clientList())
  if (w.desktopFileName == "%s") { if (six) workspace.activeWindow = w; else workspace.activeClient = w; }\n' \
      "$id" >"$dir/focus-$id.js"
    cat >"$dir/focus-$id.sh" <<SH
n=\$(gdbus call --session -d org.kde.KWin -o /Scripting -m org.kde.kwin.Scripting.loadScript "$dir/focus-$id.js" "bench-focus" | tr -dc 0-9)
gdbus call --session -d org.kde.KWin -o /\$n -m org.kde.kwin.Script.run >/dev/null 2>&1 ||
  gdbus call --session -d org.kde.KWin -o /Scripting/Script\$n -m org.kde.kwin.Script.run >/dev/null
gdbus call --session -d org.kde.KWin -o /Scripting -m org.kde.kwin.Scripting.unloadScript bench-focus >/dev/null
SH
    printf '%s\n' sh "$dir/focus-$id.sh" >"$E2E_DIR/focus-$id"
    sleep 1
  done
  AGENT_ENV=(VANTOR_DESKTOP=kde WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
  KEYS_DIR=$E2E_DIR
}

# focus_window ID: asks the desktop to focus window ID.
focus_window() {
  local argv
  mapfile -t argv <"$E2E_DIR/focus-$1"
  "${argv[@]}"
}

# start_agent / stop_agent: the real agent on the offscreen platform for the current desktop.
start_agent() {
  start_bg agent env "${AGENT_ENV[@]}" QT_QPA_PLATFORM=offscreen "$build/bin/vantor-companion"
  wait_for 10 curl -sf 127.0.0.1:17345/health || fail "agent did not answer /health: $(cat "$E2E_DIR/agent.log")"
}
stop_agent() {
  kill "$PID_agent" && wait "$PID_agent" 2>/dev/null || true
}
# stop_desktop: ends everything the desktop function started (the next one starts afresh).
stop_desktop() {
  local pid
  for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do kill "${E2E_PIDS[i]}" 2>/dev/null || true; done
  for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  E2E_PIDS=()
  rm -f "$E2E_DIR"/*.keys
  unset DISPLAY WAYLAND_DISPLAY SWAYSOCK DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS
}
