#!/usr/bin/env bash
# /health throughput, one connection per request: wrk against the agent on 127.0.0.1:17345,
# then against nginx serving a 2-byte {} with keepalive_timeout 0, one after the other.
# Usage: bench/http_health.sh [build-dir]   (needs wrk and nginx-light; port 17345 free)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/desktop.sh"
work=$E2E_DIR

rate() { wrk -t1 -c32 -d10s --latency "$1" | tee "$work/wrk.out" >&2; awk '/Requests\/sec/ {print $2}' "$work/wrk.out"; }

mkdir -p "$work/www"
# Another agent already on the port would be measured in place of this build's.
if curl -fs http://127.0.0.1:17345/health >/dev/null 2>&1; then echo "port 17345 is taken" >&2; exit 1; fi
QT_QPA_PLATFORM=offscreen start_bg agent "$build/bin/vantor-companion"
wait_for 5 curl -fs http://127.0.0.1:17345/health || fail "no answer from the agent"
if grep -q "Local server failed" "$work/agent.log"; then cat "$work/agent.log" >&2; exit 1; fi
agent=$(rate http://127.0.0.1:17345/health)

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

echo "agent  requests/s: $agent"
echo "nginx  requests/s: $nginx_rate"
echo "ratio agent/nginx: $(python3 -c "print(round($agent/$nginx_rate, 2))")"
