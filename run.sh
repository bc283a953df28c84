#!/bin/bash
# Runs the controller.
#
# On the board (or with --board) it runs build/zelpyx against the real
# devices. On a dev machine it runs the simulated station: a fresh root
# under /tmp, build/zelsim --demo playing the amplifier, the companion
# radio (whose dial works the bands and now and then keys a carrier) and
# an FT-817, and build/zelpyx following them. A PNG picture of the panel
# is kept up to date; keys 1-6 press the front-panel buttons (q w e r t y
# hold them) and the terminal shows the menu page and what the last key
# did; Ctrl-C stops everything cleanly.
#
# ./run.sh --remote runs a remote pair on this machine instead: the
# simulated station, a station unit against it and an operator unit (its
# own root, no amplifier) coupled to the station over loopback, with a
# panel picture of each unit.
#
# ./run.sh --hamlib follows a radio through Hamlib instead: rigctld with
# Hamlib's dummy rig on a free loop-back port, and the simulated amplifier
# with bank 1 on the Hamlib interface. rigctl turns the rig's dial (the
# command is printed).
set -euo pipefail
cd "$(dirname "$0")"
HERE="$(pwd)"
. platform/packages.sh
zelpyx_install_packages

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZELPYX_TESTS=OFF
cmake --build build -j"$(nproc)"

on_board() {
  [ "${1:-}" = "--board" ] && return 0
  [ "$(uname -m)" != "x86_64" ] && [ -e /dev/fb0 ] && [ -d /opt/set ]
}

if on_board "${1:-}"; then
  cd build/screens
  exec ../zelpyx
fi

if [ "${1:-}" = "--remote" ]; then
  ST_ROOT="$(mktemp -d /tmp/zelpyx-station.XXXXXX)"
  OP_ROOT="$(mktemp -d /tmp/zelpyx-operator.XXXXXX)"
  PIDS_CTL=""
  PIDS_SIM=""
  PNG_PID=""
  stop_pair() {
    trap - INT TERM EXIT
    echo
    echo "Stopping..."
    for p in $PIDS_CTL; do kill -TERM "$p" 2>/dev/null || true; done
    for p in $PIDS_CTL; do wait "$p" 2>/dev/null || true; done
    [ -n "$PNG_PID" ] && kill "$PNG_PID" 2>/dev/null || true
    for p in $PIDS_SIM; do kill -TERM "$p" 2>/dev/null || true; done
    for p in $PIDS_SIM; do wait "$p" 2>/dev/null || true; done
    echo "Stopped. Station files in $ST_ROOT, operator files in $OP_ROOT"
  }
  trap stop_pair INT TERM EXIT
  wait_file() {
    for _ in $(seq 1 100); do [ -e "$1" ] && return 0; sleep 0.1; done
    return 1
  }
  # Both units get the same fresh access key (in each root's remote.txt);
  # the station listens on the loop-back address only.
  KEY="$(./build/zelctl --new-key)"
  ./build/zelsim --root "$ST_ROOT" --demo --station 0 --key "$KEY" < /dev/null > "$ST_ROOT/zelsim.log" 2>&1 &
  PIDS_SIM="$!"
  wait_file "$ST_ROOT/sim.ready" || { echo "The simulated station did not start:"; cat "$ST_ROOT/zelsim.log"; exit 1; }
  (cd build/screens && ZELPYX_ROOT="$ST_ROOT" ZELPYX_LOG_STDERR=1 exec ../zelpyx) > "$ST_ROOT/zelpyx.log" 2>&1 &
  PIDS_CTL="$!"
  echo "Station unit starting (splash screen about 15 s)..."
  PORT=""
  for _ in $(seq 1 600); do
    PORT="$(sed -n 's/.*Listening on port \([0-9]*\).*/\1/p' "$ST_ROOT/zelpyx.log" | tail -1)"
    [ -n "$PORT" ] && break
    kill -0 $PIDS_CTL 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$PORT" ] || { echo "The station unit did not listen:"; tail -20 "$ST_ROOT/zelpyx.log"; exit 1; }
  ./build/zelsim --root "$OP_ROOT" --operator "$PORT" --key "$KEY" < /dev/null > "$OP_ROOT/zelsim.log" 2>&1 &
  PIDS_SIM="$PIDS_SIM $!"
  wait_file "$OP_ROOT/sim.ready" || { echo "The operator's radio did not start:"; cat "$OP_ROOT/zelsim.log"; exit 1; }
  (cd build/screens && ZELPYX_ROOT="$OP_ROOT" ZELPYX_LOG_STDERR=1 exec ../zelpyx) > "$OP_ROOT/zelpyx.log" 2>&1 &
  PIDS_CTL="$PIDS_CTL $!"
  (
    while sleep 1; do
      for r in "$ST_ROOT" "$OP_ROOT"; do
        "$HERE/build/fb2png" "$r/dev/fb0" "$r/panel.png.tmp.png" 2>/dev/null && mv -f "$r/panel.png.tmp.png" "$r/panel.png"
      done
    done
  ) &
  PNG_PID=$!
  cat <<INFO
Remote pair running on 127.0.0.1 port $PORT
  station panel : $ST_ROOT/panel.png    log: $ST_ROOT/zelpyx.log
  operator panel: $OP_ROOT/panel.png    log: $OP_ROOT/zelpyx.log
  steer the station: build/zelctl $ST_ROOT 'radio freq 7074000' 'radio tx 1'
The operator unit shows its splash screen for about 12 s, connects, then
follows the station: frequency, meters, TX box. Ctrl-C stops all three.
INFO
  while true; do
    alive=1
    for p in $PIDS_CTL; do kill -0 "$p" 2>/dev/null || alive=0; done
    [ "$alive" = 1 ] || break
    sleep 2
    radio=$(./build/zelctl "$ST_ROOT" "radio state" 2>/dev/null | sed -n 's/.*freq=\([0-9]*\).* tx=\([01]\).*/\1 Hz tx=\2/p')
    link="waiting"
    grep -q "Websocket Connected" "$OP_ROOT/zelpyx.log" 2>/dev/null && link="connected"
    printf '\rstation radio %-18s | operator link %-10s' "$radio" "$link"
  done
  exit 0
fi

ROOT="$(mktemp -d /tmp/zelpyx-station.XXXXXX)"
PANEL="$ROOT/panel.png"
SIM_PID=""
CTL_PID=""
PNG_PID=""
RIG_PID=""
STTY_SAVED=""
SIM_ARGS="--demo"

cleanup() {
  trap - INT TERM EXIT
  [ -n "$STTY_SAVED" ] && stty "$STTY_SAVED" 2>/dev/null || true
  echo
  echo
  echo "Stopping..."
  if [ -n "$CTL_PID" ] && kill -0 "$CTL_PID" 2>/dev/null; then
    kill -TERM "$CTL_PID" 2>/dev/null || true
    wait "$CTL_PID" 2>/dev/null || true
  fi
  [ -n "$PNG_PID" ] && kill "$PNG_PID" 2>/dev/null || true
  if [ -n "$SIM_PID" ]; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  if [ -n "$RIG_PID" ]; then
    kill -TERM "$RIG_PID" 2>/dev/null || true
    wait "$RIG_PID" 2>/dev/null || true
  fi
  echo "Stopped. The station's files stay in $ROOT"
}
trap cleanup INT TERM EXIT

RIG_PORT=""
if [ "${1:-}" = "--hamlib" ]; then
  # A port nobody answers on; rigctld then has to stay up on it.
  for p in $(seq 4532 4632); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && continue
    rigctld -m 1 -P RIG -T 127.0.0.1 -t "$p" < /dev/null > "$ROOT/rigctld.log" 2>&1 &
    RIG_PID=$!
    sleep 0.5
    if kill -0 "$RIG_PID" 2>/dev/null; then RIG_PORT=$p; break; fi
    RIG_PID=""
  done
  [ -n "$RIG_PORT" ] || { echo "rigctld did not start:"; cat "$ROOT/rigctld.log"; exit 1; }
  rigctl -m 2 -r "127.0.0.1:$RIG_PORT" F 7074000 > /dev/null 2>&1 || true
  SIM_ARGS="--hamlib $RIG_PORT"
fi

# shellcheck disable=SC2086
./build/zelsim --root "$ROOT" $SIM_ARGS < /dev/null > "$ROOT/zelsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 100); do
  [ -e "$ROOT/sim.ready" ] && break
  sleep 0.1
done
if [ ! -e "$ROOT/sim.ready" ]; then
  echo "The simulated station did not start:"; cat "$ROOT/zelsim.log"; exit 1
fi

# The web page on the loop-back address, on a free port, with a fresh token.
WEB_PORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
WEB_TOKEN="$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
printf 'listen 127.0.0.1\nport %s\ntoken %s\n' "$WEB_PORT" "$WEB_TOKEN" > "$ROOT/opt/set/web.txt"
WEB_URL="http://127.0.0.1:$WEB_PORT/#token=$WEB_TOKEN"

(cd build/screens && ZELPYX_ROOT="$ROOT" exec ../zelpyx) > "$ROOT/zelpyx.log" 2>&1 &
CTL_PID=$!

# The panel as a picture, refreshed every second.
(
  while sleep 1; do
    "$HERE/build/fb2png" "$ROOT/dev/fb0" "$PANEL.tmp.png" 2>/dev/null && mv -f "$PANEL.tmp.png" "$PANEL"
  done
) &
PNG_PID=$!

cat <<INFO
Simulated station running in $ROOT
  panel picture : $PANEL (updated every second)
  controller log: $ROOT/zelpyx.log     station log: $ROOT/zelsim.log
  tune memories : $ROOT/opt/set/atu_ant*_b1.txt
  steer the station: build/zelctl $ROOT 'radio freq 7074000' 'amp state'
  web page      : $WEB_URL
                  (token $WEB_TOKEN; API: docs/api.md)
Keys: 1-6 press a front-panel button, q w e r t y hold it (long press),
      Ctrl-C stops the controller and the station. README.md says what
      each button does on the first pages.
The controller shows its splash screen for about 12 s, then follows the radio.
INFO
if [ -n "$RIG_PORT" ]; then
  cat <<INFO
Hamlib: rigctld (dummy rig) on 127.0.0.1:$RIG_PORT; bank 1 follows it.
  turn its dial : rigctl -m 2 -r 127.0.0.1:$RIG_PORT F 14074000
  key it        : rigctl -m 2 -r 127.0.0.1:$RIG_PORT T 1   (T 0 to release; on a band
                  with no stored tuning this starts an autotune, which waits for the
                  amplifier to see drive: build/zelctl $ROOT 'amp drive 10')
INFO
fi

press() { ./build/zelctl "$ROOT" "panel $1 $2" > /dev/null || true; }

# The controller's front-panel thread writes a "panel: " line for every key
# it hands to the menus ("panel: key 4 short (tuner page) on main -> tuner")
# and for every other change of page ("panel: page link error").
PAGE="main"
LAST_KEY="none yet"
panel_state() {
  local lines l
  lines=$(tail -n 400 "$ROOT/zelpyx.log" 2>/dev/null | grep -a '^panel: ' || true)
  [ -n "$lines" ] || return 0
  l=$(printf '%s\n' "$lines" | grep -a '^panel: key ' | tail -n 1 || true)
  [ -n "$l" ] && LAST_KEY="${l#panel: key }"
  l=$(printf '%s\n' "$lines" | tail -n 1)
  case "$l" in
    "panel: page "*) PAGE="${l#panel: page }" ;;
    *" -> "*) PAGE="${l##* -> }" ;;
  esac
  return 0
}

status_line() {
  local radio amp
  radio=$(./build/zelctl "$ROOT" "radio state" 2>/dev/null | sed -n 's/.*freq=\([0-9]*\).* tx=\([01]\).*/\1 Hz tx=\2/p')
  amp=$(./build/zelctl "$ROOT" "amp state" 2>/dev/null | sed -n 's/.*ant=\([0-9]\) tune=\([0-9A-F]*\).* swr=\([0-9.]*\) drive=\([0-9.]*\).*/ant \1  tune word \2  swr \3  drive \4 W/p')
  panel_state
  # Two lines, rewritten in place.
  printf '\r\033[Kpage %-16s | last key: %s\n\033[Kradio %-18s | amp %s\033[A\r' \
    "$PAGE" "$LAST_KEY" "$radio" "$amp"
}

if [ -t 0 ]; then
  STTY_SAVED="$(stty -g)"
  stty -echo -icanon min 0 time 10
  while kill -0 "$CTL_PID" 2>/dev/null; do
    key="$(dd bs=1 count=1 2>/dev/null || true)"
    case "$key" in
      [1-6]) press press "$key"; sleep 0.3 ;;
      q) press hold 1 ;; w) press hold 2 ;; e) press hold 3 ;;
      r) press hold 4 ;; t) press hold 5 ;; y) press hold 6 ;;
    esac
    status_line
  done
else
  while kill -0 "$CTL_PID" 2>/dev/null; do
    sleep 2
    status_line
  done
fi
