#!/usr/bin/env bash
# /health throughput, one connection per request: wrk against the agent on 127.0.0.1:17345 bound
# by itself, then the same agent reached through the port service (systemd-socket-activate
# standing in for the socket unit, the service unprivileged as under DynamicUser), then nginx
# serving a 2-byte {} with keepalive_timeout 0, one after the other.
# Usage: bench/http_health.sh [build-dir]   (needs wrk and nginx-light; as root it runs in a
# network and mount namespace of its own, so neither the port nor /run/vantor-companion is shared)
set -euo pipefail
if [ "$(id -u)" = 0 ] && [ -z "${VANTOR_OWN_NETWORK:-}" ]; then
  exec unshare -n -m env VANTOR_OWN_NETWORK=1 sh -c \
    'ip link set lo up && mount --make-rprivate / && mount -t tmpfs tmpfs /run && exec "$0" "$@"' "$0" "$@"
fi
build=$(cd "${1:-build}" && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
work=$E2E_DIR

rate() { rate_as env "$1"; }
rate_as() { "$1" wrk -t1 -c32 -d10s --latency "$2" | tee "$work/wrk.out" >&2; awk '/Requests\/sec/ {print $2}' "$work/wrk.out"; }
# CPU time of a process (all its threads) in microseconds, and per request of the last wrk run.
cpu_us() { awk '{print ($14 + $15) * 1000000 / '"$(getconf CLK_TCK)"'}' "/proc/$1/stat"; }
per_request() { python3 -c "print(round(($2 - $1) / $(awk '/requests in/ {print $1}' "$work/wrk.out"), 1))"; }

mkdir -p "$work/www"
# Another agent already on the port would be measured in place of this build's.
if curl -fs http://127.0.0.1:17345/health >/dev/null 2>&1; then echo "port 17345 is taken" >&2; exit 1; fi
QT_QPA_PLATFORM=offscreen start_bg agent "$build/bin/vantor-companion"
wait_for 5 curl -fs http://127.0.0.1:17345/health || fail "no answer from the agent"
if grep -q "Local server failed\|Local API unavailable" "$work/agent.log"; then cat "$work/agent.log" >&2; exit 1; fi
before=$(cpu_us "$PID_agent")
agent=$(rate http://127.0.0.1:17345/health)
agent_cpu=$(per_request "$before" "$(cpu_us "$PID_agent")")
kill "$PID_agent"; wait "$PID_agent" 2>/dev/null || true

service=none
if [ -n "${VANTOR_OWN_NETWORK:-}" ]; then
  mkdir -p -m 755 /run/vantor-companion
  start_bg port timeout 300 systemd-socket-activate -l 127.0.0.1:17345 -l '[::1]:17345' \
    -l /run/vantor-companion/agents.sock --fdname=http4:http6:agents \
    setpriv --reuid=61000 --regid=61000 --clear-groups "$build/bin/vantor-port"
  wait_for 5 test -S /run/vantor-companion/agents.sock || fail "no port service socket"
  chmod 666 /run/vantor-companion/agents.sock
  # The service names no one uid 0, so the agent and its client are another account here.
  mkdir -p "$work/owner" && chown 65534:65534 "$work/owner" && chmod a+x "$work"
  as_owner() { setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/owner" XDG_RUNTIME_DIR="$work/owner" "$@"; }
  start_bg agent2 setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/owner" \
    XDG_RUNTIME_DIR="$work/owner" QT_QPA_PLATFORM=offscreen "$build/bin/vantor-companion"
  wait_for 5 grep -q "served through the system port" "$work/agent2.log" || fail "the agent did not register: $(cat "$work/agent2.log")"
  wait_for 5 as_owner curl -fs http://127.0.0.1:17345/health || fail "no answer through the port service"
  vantor_port=$(awk '{print $1}' "/proc/$PID_port/task/$PID_port/children")
  before=$(cpu_us "$PID_agent2") before_port=$(cpu_us "$vantor_port")
  service=$(rate_as as_owner http://127.0.0.1:17345/health)
  service_cpu="agent $(per_request "$before" "$(cpu_us "$PID_agent2")") µs + vantor-port $(per_request "$before_port" "$(cpu_us "$vantor_port")") µs"
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '{}' >"$work/www/health"
chmod a+rX "$work" "$work/www" "$work/www/health"
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location = /health { default_type application/json; }
  }
}
CONF
start_bg nginx nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
wait_for 5 curl -fs "http://127.0.0.1:$port/health" || fail "no answer from nginx"
nginx_rate=$(rate "http://127.0.0.1:$port/health")

echo "agent  requests/s: $agent (CPU per request: $agent_cpu µs)"
echo "port service requests/s: $service (CPU per request: ${service_cpu:-})"
echo "nginx  requests/s: $nginx_rate"
echo "ratio agent/nginx: $(python3 -c "print(round($agent/$nginx_rate, 2))")"
[ "$service" = none ] || echo "ratio port service/nginx: $(python3 -c "print(round($service/$nginx_rate, 2))")"
