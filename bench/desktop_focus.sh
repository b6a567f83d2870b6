#!/usr/bin/env bash
# Focus-change latency per desktop: the running agent (offscreen platform, backend forced) with
# two witness windows; SWITCHES times the desktop is asked to focus the other window (the asking
# tool's own start-up included), timed to the frame naming it on the agent's /events stream.
# Switches are 400 ms apart: the agent samples a focus change at most every 250 ms.
# Prints a table row per desktop: median and p99 in ms.
# Usage: bench/desktop_focus.sh [BUILD_DIR] [SWITCHES] [DESKTOP...]   (default: x11 sway kde gnome)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/desktops.sh"
build=$(realpath "${1:-build}")
switches=${2:-100}
shift $(($# > 2 ? 2 : $#))

measure() {
  python3 - "$E2E_DIR" "$switches" "${WINDOWS[@]}" <<'PY'
import json, select, socket, statistics, subprocess, sys, time
folder, switches, windows = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
argv = {w: open(f"{folder}/focus-{w}").read().splitlines() for w in windows}
stream = socket.create_connection(("127.0.0.1", 17345))
stream.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
buffer = b""
def frame_for(window, deadline):
    global buffer
    while time.perf_counter() < deadline:
        while b"\n\n" in buffer:
            event, buffer = buffer.split(b"\n\n", 1)
            for line in event.split(b"\n"):
                if line.startswith(b"data: ") and json.loads(line[6:]).get("bundleId") == window:
                    return True
        if select.select([stream], [], [], max(0, deadline - time.perf_counter()))[0]:
            buffer += stream.recv(65536)
    return False
latencies, missed = [], 0
for i in range(switches + 1):
    window = windows[i % 2]
    started = time.perf_counter()
    asker = subprocess.Popen(argv[window], stdout=subprocess.DEVNULL)
    seen = frame_for(window, started + 2)
    asker.wait()
    if i > 0:  # the first switch only brings a known window to the front
        latencies.append((time.perf_counter() - started) * 1000) if seen else None
        missed += not seen
    time.sleep(0.4)
latencies.sort()
p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
print(f"{statistics.median(latencies):.1f} | {p99:.1f} | {len(latencies)} | {missed}")
PY
}

echo "| desktop | median ms | p99 ms | switches seen | missed |"
echo "|---|---|---|---|---|"
for name in ${@:-x11 sway kde gnome}; do
  "desktop_$name"
  start_agent
  echo "| $name | $(measure) |"
  stop_agent
  stop_desktop
done
