#!/bin/bash
# The idle processor share the web server adds: the simulated station
# (no demo: nothing moves) and the controller run twice, with web.txt's
# "enabled 1" and "enabled 0"; after the start-up settles, the
# controller's user + system time over SECONDS (default 60) of wall time
# is read from /proc/PID/stat. A third run keeps one events socket open
# (a page left open on an idle station).
#
#   bench/web_idle_cpu.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="$(realpath "${1:-build}")"
SECS="${2:-60}"
TICK=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# The web server's own threads: the "web" push thread and civetweb's.
web_ticks() {
  local n=0 t
  for t in /proc/"$1"/task/*; do
    case "$(cat "$t/comm" 2>/dev/null)" in
      web|civetweb*) n=$((n + $(awk '{print $14 + $15}' "$t/stat"))) ;;
    esac
  done
  echo "$n"
}

run() {
  local mode="$1" root sim ctl t0 t1 w0 w1 port token ws=""
  root="$(mktemp -d /tmp/zelweb-bench.XXXXXX)"
  "$BUILD/zelsim" --root "$root" < /dev/null > "$root/zelsim.log" 2>&1 &
  sim=$!
  for _ in $(seq 1 100); do [ -e "$root/sim.ready" ] && break; sleep 0.1; done
  printf 'listen 127.0.0.1\nport 0\nenabled %s\n' "$([ "$mode" = off ] && echo 0 || echo 1)" > "$root/opt/set/web.txt"
  (cd "$BUILD/screens" && ZELPYX_ROOT="$root" ZELPYX_LOG_STDERR=1 exec ../zelpyx) > "$root/zelpyx.log" 2>&1 &
  ctl=$!
  for _ in $(seq 1 1200); do grep -q "panel: page main" "$root/zelpyx.log" && break; sleep 0.1; done
  if [ "$mode" = socket ]; then
    port=$(sed -n 's/^web: http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$root/zelpyx.log" | head -1)
    token=$(awk '/^token/{print $2}' "$root/opt/set/web.txt")
    python3 -c '
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(("GET /api/v1/events?token=%s HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" % sys.argv[2]).encode())
while s.recv(65536):
    pass' "$port" "$token" &
    ws=$!
  fi
  sleep 5
  t0=$(cpu_ticks $ctl); w0=$(web_ticks $ctl)
  sleep "$SECS"
  t1=$(cpu_ticks $ctl); w1=$(web_ticks $ctl)
  [ -n "$ws" ] && kill "$ws" 2>/dev/null || true
  kill -TERM $ctl; wait $ctl 2>/dev/null || true
  kill -TERM $sim; wait $sim 2>/dev/null || true
  rm -rf "$root"
  awk -v a="$t0" -v b="$t1" -v c="$w0" -v d="$w1" -v hz="$TICK" -v s="$SECS" -v m="$mode" \
    'BEGIN { printf "web %-6s: controller %.2f %% of one core, web threads %.3f %% (%d ticks in %d s)\n",
             m, 100 * (b - a) / hz / s, 100 * (d - c) / hz / s, d - c, s }'
}

run off
run on
run socket
