# Shared by the end-to-end scripts: a throwaway desktop (X server, window manager, optional tray
# and PulseAudio) in a private temporary home. Source it, then call the start_* functions;
# everything started is stopped and reaped on exit.
set -euo pipefail

E2E_DIR=$(mktemp -d /tmp/vantor-e2e.XXXXXX)
E2E_PIDS=()
export HOME=$E2E_DIR/home XDG_CONFIG_HOME=$E2E_DIR/home/.config XDG_DATA_HOME=$E2E_DIR/home/.local/share
export XDG_CACHE_HOME=$E2E_DIR/home/.cache XDG_RUNTIME_DIR=$E2E_DIR/run
export XDG_DATA_DIRS=${E2E_XDG_DATA_DIRS:-/usr/local/share:/usr/share} XDG_CONFIG_DIRS=/etc/xdg
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" && mkdir -m 700 -p "$XDG_RUNTIME_DIR"

e2e_cleanup() {
  local pid
  for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do
    pid=${E2E_PIDS[i]}
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  # Chromium's helper processes outlive the browser for a moment and may still write its profile.
  [ -n "${E2E_KEEP:-}" ] || rm -rf "$E2E_DIR" 2>/dev/null || { sleep 1 && rm -rf "$E2E_DIR"; }
}
trap e2e_cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# bounded SECONDS COMMAND...: COMMAND, ended after SECONDS with a line that names it, so a hang
# fails the test in seconds rather than at the test runner's limit.
bounded() {
  local limit=$1 status=0
  shift
  timeout -k 5 "$limit" "$@" || status=$?
  [ $status -ne 124 ] && [ $status -ne 137 ] || echo "FAIL: '$*' did not finish within ${limit}s" >&2
  return $status
}
# The desktop's one-shot tools are bounded wherever a script calls them, in `bash -c` too. A
# program meant to run on (an event stream) is started with `command`.
for tool in curl xdotool xwininfo xprop import pactl gdbus gsettings swaymsg; do
  eval "$tool() { bounded 20 $tool \"\$@\"; }"
  export -f "${tool?}"
done
export -f bounded

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.05
  done
}

start_x() {
  exec 3>"$E2E_DIR/display"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset >"$E2E_DIR/xvfb.log" 2>&1 &
  E2E_PIDS+=($!)
  export E2E_X_PID=$! # for a test that ends the server as a crash would
  exec 3>&-
  wait_for 10 test -s "$E2E_DIR/display" || fail "Xvfb did not start"
  export DISPLAY=:$(head -n1 "$E2E_DIR/display")
  cat >"$E2E_DIR/openbox.xml" <<'XML'
<openbox_config xmlns="http://openbox.org/3.4/rc"><focus><focusNew>yes</focusNew></focus>
<desktops><number>1</number></desktops><keyboard/><mouse/></openbox_config>
XML
  openbox --sm-disable --config-file "$E2E_DIR/openbox.xml" >"$E2E_DIR/openbox.log" 2>&1 &
  E2E_PIDS+=($!)
  wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' || fail "openbox did not start"
  # A desktop session has its bus; firefox hands a URL to its running instance only through it.
  start_bus session
}

# start_bus system|session: a private message bus of that type that lets everyone in; exports
# its address.
start_bus() {
  local type=$1
  # One bus of a type per desktop, whichever part of it asks first.
  [ ! -S "$E2E_DIR/${type}_bus" ] || { export "DBUS_${type^^}_BUS_ADDRESS=unix:path=$E2E_DIR/${type}_bus"; return 0; }
  cat >"$E2E_DIR/$type.conf" <<XML
<busconfig><type>$type</type><listen>unix:path=$E2E_DIR/${type}_bus</listen><standard_session_servicedirs/>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>
XML
  dbus-daemon --nofork --config-file="$E2E_DIR/$type.conf" >"$E2E_DIR/$type-bus.log" 2>&1 &
  E2E_PIDS+=($!)
  wait_for 10 test -S "$E2E_DIR/${type}_bus" || fail "the $type bus did not start"
  export "DBUS_${type^^}_BUS_ADDRESS=unix:path=$E2E_DIR/${type}_bus"
}

# start_tray: the tray host the release packages: trayer where it has one (it left Debian after
# 12), else stalonetray. Exports TRAY_HOST and TRAY_WINDOW, the name of the host's window that
# the icons dock in.
start_tray() {
  if command -v trayer >/dev/null; then
    export TRAY_HOST=trayer TRAY_WINDOW=panel
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
      --transparent false >"$E2E_DIR/trayer.log" 2>&1 &
  elif command -v stalonetray >/dev/null; then
    export TRAY_HOST=stalonetray TRAY_WINDOW=stalonetray
    stalonetray --window-type dock --decorations none --icon-size 32 --geometry 1x1-0+0 \
      >"$E2E_DIR/stalonetray.log" 2>&1 &
  else
    fail "no tray host: neither trayer nor stalonetray is installed"
  fi
  E2E_PIDS+=($!)
  wait_for 10 sh -c "xwininfo -root -tree | grep -q '\"$TRAY_WINDOW\"'" || fail "$TRAY_HOST did not start"
}

# null_devices pulseaudio|pipewire [sink|source NAME DESCRIPTION]...: the module lines (module and
# arguments) for those null devices in NULL_DEVICES, their names in NULL_SINKS and NULL_SOURCES;
# by default two speakers and a microphone. PipeWire's pulse server has no null source module: a
# null sink of the source class stands in.
null_devices() {
  local server=$1
  shift
  [ $# -gt 0 ] || set -- sink sinkA Speakers_A sink sinkB Headset_B source micA Mic_A
  NULL_DEVICES=() NULL_SINKS=() NULL_SOURCES=()
  while [ $# -ge 3 ]; do
    case $1:$server in
      sink:*) NULL_DEVICES+=("module-null-sink sink_name=$2 sink_properties=\"device.description='$3'\"") NULL_SINKS+=("$2") ;;
      source:pulseaudio) NULL_DEVICES+=("module-null-source source_name=$2 description='$3'") NULL_SOURCES+=("$2") ;;
      source:pipewire) NULL_DEVICES+=("module-null-sink sink_name=$2 media.class=Audio/Source/Virtual sink_properties=\"device.description='$3'\"") NULL_SOURCES+=("$2") ;;
    esac
    shift 3
  done
}

# start_pulse [sink|source NAME DESCRIPTION]...: a PulseAudio server with null devices
# (null_devices); PULSE_SERVER and E2E_PULSE_PID name it. Like every sound server here it runs on
# the desktop's private session bus: on a bus where a user's server already holds its name it
# would not start.
start_pulse() {
  null_devices pulseaudio "$@"
  start_bus session
  local devices=() device
  for device in "${NULL_DEVICES[@]}"; do devices+=(--load="$device"); done
  # The socket last, so that a client that can connect finds every device already there.
  HOME=$E2E_DIR pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --realtime=no \
    --high-priority=no "${devices[@]}" \
    --load="module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse/native auth-anonymous=1" \
    >"$E2E_DIR/pulse.log" 2>&1 &
  E2E_PIDS+=($!)
  export E2E_PULSE_PID=$! PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
  wait_for 10 pactl info || { cat "$E2E_DIR/pulse.log" >&2; fail "pulseaudio did not start"; }
}

# start_pipewire [sink|source NAME DESCRIPTION]...: the same devices on PipeWire, with WirePlumber
# as its session manager and pipewire-pulse serving the PulseAudio protocol; PULSE_SERVER names
# that socket and E2E_PULSE_PID its process. WirePlumber keeps what it remembers (defaults,
# stream targets) under this desktop's private home.
start_pipewire() {
  null_devices pipewire "$@"
  start_bus session
  local device
  pipewire >"$E2E_DIR/pipewire.log" 2>&1 &
  E2E_PIDS+=($!)
  wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || { cat "$E2E_DIR/pipewire.log" >&2; fail "pipewire did not start"; }
  wireplumber >"$E2E_DIR/wireplumber.log" 2>&1 &
  E2E_PIDS+=($!)
  pipewire-pulse >"$E2E_DIR/pipewire-pulse.log" 2>&1 &
  E2E_PIDS+=($!)
  export E2E_PULSE_PID=$! PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
  wait_for 10 pactl info || { cat "$E2E_DIR/pipewire-pulse.log" >&2; fail "pipewire-pulse did not start"; }
  for device in "${NULL_DEVICES[@]}"; do
    pactl load-module ${device%% *} "${device#* }" >/dev/null || fail "pipewire-pulse refused $device"
  done
  # Ready once WirePlumber has taken every device in and chosen the defaults among them.
  wait_for 10 pipewire_settled || { cat "$E2E_DIR/wireplumber.log" >&2; fail "wireplumber did not settle"; }
}

pipewire_settled() {
  local kind names listed name
  for kind in sink source; do
    names="NULL_${kind^^}S[@]"
    set -- "${!names}"
    # A kind the caller made none of has no default to wait for: with monitors alone WirePlumber
    # 0.5.18 chooses no default source at all, where earlier ones chose a monitor.
    [ $# -gt 0 ] || continue
    listed=$(pactl list short "${kind}s" | cut -f2)
    for name; do grep -qx "$name" <<<"$listed" || return 1; done
    grep -qx "$(pactl get-default-$kind)" <<<"$listed" || return 1
  done
}

# start_bg NAME COMMAND...: runs COMMAND in the background, output in $E2E_DIR/NAME.log.
start_bg() {
  local name=$1; shift
  "$@" >"$E2E_DIR/$name.log" 2>&1 &
  E2E_PIDS+=($!)
  eval "PID_$name=$!"
}

# start_wlroots sway|labwc|cage: a headless wlroots compositor in its own runtime folder
# WLR_DIR. sway refuses root, so under root each runs as nobody in a folder nobody owns (root
# still reaches its sockets). Exports WLR_DIR, WAYLAND_DISPLAY (the socket's full path), WLR_PID
# (for a test that ends it as a crash would), for sway SWAYSOCK, and WLR_KEYS_ONLY where the
# compositor offers a virtual keyboard but no foreign-toplevel; wlroots_client (or
# $WLR_DIR/client) runs a program in the session as that user. Always started in the
# background: the exec makes the recorded pid the program's own, so stopping it does not leave
# the compositor or its clients behind. Where the release has no such compositor worth testing,
# starts nothing and exports WLR_MISSING: why.
wlroots_user() {
  if [ "$(id -u)" = 0 ]; then exec setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else exec "$@"; fi
}
start_wlroots() {
  local name=$1 command program version
  # labwc has no command of its own to focus a window: wlrctl asks it.
  for program in "$name" $([ "$name" != labwc ] || echo wlrctl); do
    command -v "$program" >/dev/null || { export WLR_MISSING="$program is not installed: no $name here to test"; return 0; }
  done
  version=$(timeout 5 "$name" -v 2>&1 | head -n1)
  # cage 0.1 offers neither protocol, so the agent rightly passes it by: nothing to prove there.
  if [ "$name" = cage ] && [[ $version == *' 0.1.'* ]]; then
    export WLR_MISSING="$version offers no virtual keyboard (0.2 does): no chord to prove"
    return 0
  fi
  # cage 0.2 takes keys but tells nobody which window it shows; 0.3 offers foreign-toplevel.
  if [ "$name" = cage ] && [[ $version == *' 0.2.'* ]]; then export WLR_KEYS_ONLY=1; fi
  export WLR_DIR=$E2E_DIR/$name
  chmod 711 "$E2E_DIR" # nobody passes through to its own folder, lists nothing
  mkdir -m 700 -p "$WLR_DIR"
  # labwc and cage run a command once they take clients: it marks them ready. cage, a kiosk,
  # shows the newest window; the command it runs has none.
  case $name in
    sway) printf 'output * resolution 800x600\ndefault_border none\nfocus_follows_mouse no\nxwayland disable\n' >"$WLR_DIR/sway.conf"
      command=(sway -c "$WLR_DIR/sway.conf") ;;
    labwc) command=(labwc -C "$WLR_DIR" -s "touch $WLR_DIR/ready") ;;
    cage) command=(cage -- sh -c "touch $WLR_DIR/ready && exec sleep 3600") ;;
    *) fail "no such compositor: $name" ;;
  esac
  [ "$(id -u)" != 0 ] || chown -R 65534:65534 "$WLR_DIR"
  wlroots_user env -i LANG=C.UTF-8 PATH=/usr/bin:/bin HOME="$WLR_DIR" XDG_RUNTIME_DIR="$WLR_DIR" \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
    "${command[@]}" >"$E2E_DIR/$name.log" 2>&1 &
  E2E_PIDS+=($!)
  export WLR_PID=$!
  if [ "$name" = sway ]; then
    wait_for 10 sh -c "ls '$WLR_DIR' | grep -q '^sway-ipc.*sock$'" || fail "sway did not start"
    export SWAYSOCK=$(ls -d "$WLR_DIR"/sway-ipc.*.sock)
  else
    wait_for 10 test -e "$WLR_DIR/ready" || fail "$name did not start"
  fi
  export WAYLAND_DISPLAY=$(ls -d "$WLR_DIR"/wayland-[0-9])
  # Its clients run as it does, all through one door: wlroots_client and the tests' fixture.
  printf '#!/bin/sh\nexec %s env -i LANG=C.UTF-8 PATH=/usr/bin:/bin HOME=%s XDG_RUNTIME_DIR=%s WAYLAND_DISPLAY=%s QT_QPA_PLATFORM=wayland "$@"\n' \
    "$([ "$(id -u)" != 0 ] || echo setpriv --reuid=65534 --regid=65534 --clear-groups)" \
    "$WLR_DIR" "$WLR_DIR" "$WAYLAND_DISPLAY" >"$WLR_DIR/client"
  chmod 755 "$WLR_DIR/client"
}
wlroots_client() {
  local name=$1; shift
  start_bg "$name" "$WLR_DIR/client" "$@"
}
# The names the benchmarks know.
start_sway() { start_wlroots sway; [ -z "${WLR_MISSING:-}" ] || fail "$WLR_MISSING"; SWAY_DIR=$WLR_DIR; }
sway_client() { wlroots_client "$@"; }

# start_gnome BUILD AGENT [VERSIONS]: a headless GNOME Shell on private system and session buses
# with our extension (from the build tree, answering AGENT only) and the test helper extension
# enabled, each in the form the running Shell loads: `imports` on 43/44, ES modules on 45 and
# later. VERSIONS ('"42"') replaces the Shell releases our extension lists. Exports
# WAYLAND_DISPLAY. The same recipe as tests/support/GnomeDesktop.
start_gnome() {
  local build=$1 agent=$2 versions=${3:-} uuid=vantor-companion@keyloft.com form=legacy version
  local ext=$XDG_DATA_HOME/gnome-shell/extensions helper helper_dir
  helper=$(dirname "${BASH_SOURCE[0]}")/../support/gnome-helper
  version=$(gnome-shell --version | sed -n 's/^GNOME Shell \([0-9]*\).*/\1/p')
  [ "${version:-0}" -lt 45 ] || form=module
  mkdir -p "$ext"
  cp -r "$build/gnome-extension/$form/$uuid" "$ext/"
  echo "$agent" >"$ext/$uuid/agent-executables"
  [ -z "$versions" ] || sed -i "s/\"shell-version\": \[[^]]*\]/\"shell-version\": [$versions]/" "$ext/$uuid/metadata.json"
  helper_dir=$ext/vantor-test-helper@keyloft.com
  mkdir -p "$helper_dir"
  cp "$helper/$form.js" "$helper_dir/extension.js"
  cp "$helper/helper.js" "$helper_dir/"
  [ $form = legacy ] || echo 'export {TestHelper};' >>"$helper_dir/helper.js"
  cat >"$helper_dir/metadata.json" <<JSON
{"uuid": "vantor-test-helper@keyloft.com", "name": "Keyloft Companion test helper",
 "description": "Tests only: leaves the start-up overview and focuses windows on request.",
 "shell-version": ["$version"]}
JSON
  start_bus system
  start_bus session
  gsettings set org.gnome.shell enabled-extensions "['$uuid', 'vantor-test-helper@keyloft.com']"
  export WAYLAND_DISPLAY=vantor-gnome LANG=C.UTF-8
  gnome-shell --headless --wayland --no-x11 --wayland-display=$WAYLAND_DISPLAY --virtual-monitor 800x600 \
    >"$E2E_DIR/gnome-shell.log" 2>&1 &
  E2E_PIDS+=($!)
  wait_for 30 gdbus introspect --session -d com.keyloft.VantorCompanion.TestHelper \
    -o /com/keyloft/VantorCompanion/TestHelper || fail "gnome-shell $version did not load the extensions"
}

# gnome_activate APP_ID: focuses that window through the test helper extension.
gnome_activate() {
  gdbus call --session -d com.keyloft.VantorCompanion.TestHelper -o /com/keyloft/VantorCompanion/TestHelper \
    -m com.keyloft.VantorCompanion.TestHelper.Activate "$1" >/dev/null
}
