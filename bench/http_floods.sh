#!/usr/bin/env bash
# The owner's /health while another account floods the agent's port: wrk (-t1 -c4 -d10s) as the
# owner, first alone, then beside a slow-body flood (slow_body: 64 connections, each a 900 kB request head
# whose body then trickles; a connection that is closed is opened again) and beside a connect
# flood (connections opened as fast as one process can, 900 kept open), both run as nobody. Prints answers and
# p99 for each. Usage: bench/http_floods.sh [build-dir]   (root: the flood runs as another
# account; a network namespace of its own keeps the port to itself)
set -euo pipefail
if [ -z "${VANTOR_OWN_NETWORK:-}" ]; then
  exec unshare -n env VANTOR_OWN_NETWORK=1 sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
build=$(cd "${1:-build}" && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
work=$E2E_DIR

cat >"$work/flood.py" <<'PY'
import collections, socket, sys, time
kind = sys.argv[1]
if kind == "connect":
    # Connections kept open past the agent's 768, the oldest closed as new ones come.
    held = collections.deque()
    while True:
        try:
            held.append(socket.create_connection(("127.0.0.1", 17345)))
        except OSError:
            pass
        if len(held) > 900:
            held.popleft().close()
head = b"POST /action HTTP/1.1\r\nContent-Length: 1000000\r\nX: " + b"h" * 900000 + b"\r\n\r\n"
def opened():
    s = socket.create_connection(("127.0.0.1", 17345), timeout=5)
    try:
        s.sendall(head)
    except OSError:
        pass
    s.setblocking(False)
    return s
conns = [opened() for _ in range(64)]
while True:
    for i, s in enumerate(conns):
        try:
            s.send(b"x")
        except OSError:
            s.close()
            conns[i] = opened()
    time.sleep(0.01)
PY
chmod a+rx "$work" && chmod a+r "$work/flood.py"

QT_QPA_PLATFORM=offscreen start_bg agent "$build/bin/vantor-companion"
wait_for 5 curl -fs http://127.0.0.1:17345/health || fail "no answer from the agent"
measure() {
  wrk -t1 -c4 -d10s --latency http://127.0.0.1:17345/health >"$work/wrk.out" 2>&1 || true
  printf '%-10s answers %s, p99 %s\n' "$1" "$(awk '/requests in/ {print $1}' "$work/wrk.out")" \
    "$(awk '$1 == "99%" {print $2}' "$work/wrk.out")"
}
measure none
for flood in slow_body connect; do
  start_bg "flood_$flood" timeout 60 setpriv --reuid=65534 --regid=65534 --clear-groups env PATH=/usr/bin:/bin python3 "$work/flood.py" "$flood"
  sleep 2 # the flood at full strength before the owner is measured
  measure "$flood"
  kill "$(eval echo "\$PID_flood_$flood")" 2>/dev/null || true
done
