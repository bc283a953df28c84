#!/bin/bash
# Soak run: the simulated station with its operator working the bands
# (automatic tuning on, so the station unit autotunes and stores), an
# operator unit coupled over loopback, and faults injected on a schedule:
# a silent amplifier, garbage and bad check digits on its line, the
# companion radio unplugged and back, the operator unit dropped and
# reconnected, a refused remount. At the end it prints what a long run
# must show flat or sane.
#
#   tools/soak.sh [minutes] [build-dir]     (default 30, build-test)
#
# The build directory holds zelpyx, zelsim and zelctl (the sanitizer build
# build-test, or the release build build). The roots stay in /tmp for a look
# afterwards; their paths are printed.
set -uo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-30}
BUILD=${2:-build-test}
BIN="$(pwd)/$BUILD"
for p in zelpyx zelsim zelctl; do
  [ -x "$BIN/$p" ] || { echo "no $BIN/$p: build $BUILD first"; exit 2; }
done
ST_ROOT="$(mktemp -d /tmp/zelsoak-station.XXXXXX)"
OP_ROOT="$(mktemp -d /tmp/zelsoak-operator.XXXXXX)"
# Both units share one fresh access key; the station listens on loopback.
KEY="$("$BIN/zelctl" --new-key)"
# A small quarantine: with the default 256 MB the sanitizer build's memory
# climbs for the first half hour whatever the program does.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:quarantine_size_mb=16}
SIM_ST="" SIM_OP="" ST="" OP=""

cleanup() {
  trap - INT TERM EXIT
  for p in $OP $ST; do kill -TERM "$p" 2>/dev/null; done
  for p in $OP $ST; do wait "$p" 2>/dev/null; done
  for p in $SIM_OP $SIM_ST; do kill -TERM "$p" 2>/dev/null; done
  for p in $SIM_OP $SIM_ST; do wait "$p" 2>/dev/null; done
}
trap cleanup INT TERM EXIT

wait_for() {  # wait_for SECONDS COMMAND...
  local n=$(($1 * 10)); shift
  for _ in $(seq 1 "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}
ctl() { "$BIN/zelctl" "$ST_ROOT" "$@" > /dev/null 2>&1; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
threads() { awk '/^Threads/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
fds() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

start_operator() {
  (cd "$BIN/screens" && ZELPYX_ROOT="$OP_ROOT" ZELPYX_LOG_STDERR=1 exec ../zelpyx) >> "$OP_ROOT/zelpyx.log" 2>&1 &
  OP=$!
}

"$BIN/zelsim" --root "$ST_ROOT" --demo --station 0 --key "$KEY" < /dev/null > "$ST_ROOT/zelsim.log" 2>&1 &
SIM_ST=$!
wait_for 20 test -e "$ST_ROOT/sim.ready" || { echo "station simulator did not start"; exit 1; }
START=$(date +%s)
(cd "$BIN/screens" && ZELPYX_ROOT="$ST_ROOT" ZELPYX_LOG_STDERR=1 exec ../zelpyx) > "$ST_ROOT/zelpyx.log" 2>&1 &
ST=$!
PORT=""
port_known() { PORT="$(sed -n 's/.*Listening on port \([0-9]*\).*/\1/p' "$ST_ROOT/zelpyx.log" | tail -1)"; [ -n "$PORT" ]; }
wait_for 120 port_known || { echo "station unit did not listen"; tail -20 "$ST_ROOT/zelpyx.log"; exit 1; }
"$BIN/zelsim" --root "$OP_ROOT" --operator "$PORT" --key "$KEY" < /dev/null > "$OP_ROOT/zelsim.log" 2>&1 &
SIM_OP=$!
wait_for 20 test -e "$OP_ROOT/sim.ready" || { echo "operator simulator did not start"; exit 1; }
start_operator
connected() { grep -q "access key from .* accepted" "$ST_ROOT/zelpyx.log"; }
wait_for 120 connected || echo "warning: the operator unit did not connect within 120 s"
sleep 20  # past the splash screens and the first start-up work
ST_RSS0=$(rss_kb "$ST") OP_RSS0=$(rss_kb "$OP")
ST_FD0=$(fds "$ST") OP_FD0=$(fds "$OP")
ST_TH0=$(threads "$ST") OP_TH0=$(threads "$OP")
echo "station root $ST_ROOT, operator root $OP_ROOT; soaking $MINUTES min"

CMDS=0 POLLS=0 FAULTS=0 OPRESTARTS=0
count_frames() {
  local log
  log="$("$BIN/zelctl" "$ST_ROOT" "amp log" "amp clearlog" 2>/dev/null | head -1)"
  log="${log#OK }"
  [ -z "$log" ] && return
  local all st
  all=$(tr '|' '\n' <<< "$log" | grep -c .)
  st=$(tr '|' '\n' <<< "$log" | grep -c 'ST;$\|FM;$')
  POLLS=$((POLLS + st))
  CMDS=$((CMDS + all - st))
}

END=$((START + MINUTES * 60))
step=0
while [ "$(date +%s)" -lt "$END" ]; do
  kill -0 "$ST" 2>/dev/null || { echo "STATION UNIT DIED"; break; }
  sleep 15
  step=$((step + 1))
  count_frames
  # One fault every 15 s, in turn; each lasts a few seconds and is undone.
  case $((step % 8)) in
    1) ctl "amp silent 1"; sleep 4; ctl "amp silent 0" ;;
    2) ctl "amp garbage 1"; sleep 3; ctl "amp garbage 0" ;;
    3) ctl "amp badcrc 1"; sleep 3; ctl "amp badcrc 0" ;;
    4) ctl "radio silent 1"; sleep 5; ctl "radio silent 0" ;;
    5) kill -TERM "$OP" 2>/dev/null; wait "$OP" 2>/dev/null; sleep 2; start_operator
       OPRESTARTS=$((OPRESTARTS + 1)) ;;
    6) cp "$ST_ROOT/bin/mount" "$ST_ROOT/mount.ok"
       printf '#!/bin/sh\necho "mount $*" >> "$ZELPYX_ROOT/stub.log"\nexit 1\n' > "$ST_ROOT/bin/mount"
       sleep 10; cp "$ST_ROOT/mount.ok" "$ST_ROOT/bin/mount" ;;
    7) ctl "amp hangup 1"; sleep 3; ctl "amp hangup 0" ;;
    *) : ;;
  esac
  FAULTS=$((FAULTS + 1))
  if [ $((step % 20)) -eq 0 ]; then
    echo "t=$(( $(date +%s) - START ))s station rss $(rss_kb "$ST") kB fds $(fds "$ST") threads $(threads "$ST");" \
      "operator rss $(rss_kb "$OP") kB fds $(fds "$OP") threads $(threads "$OP")"
  fi
done
count_frames

NOW=$(date +%s)
ALIVE_ST=no ALIVE_OP=no
kill -0 "$ST" 2>/dev/null && ALIVE_ST=yes
kill -0 "$OP" 2>/dev/null && ALIVE_OP=yes
ST_RSS1=$(rss_kb "$ST") OP_RSS1=$(rss_kb "$OP")
ST_FD1=$(fds "$ST") OP_FD1=$(fds "$OP")
ST_TH1=$(threads "$ST") OP_TH1=$(threads "$OP")
L="$ST_ROOT/zelpyx.log"
count() { grep -c -- "$1" "$2" 2>/dev/null || true; }

# Every operator file the station holds, read back by the controller's own
# readers (zelpyx --check-files) is beyond this script: a file parses whole
# when each of its non-comment lines has the writer's own form.
files_ok=yes
check_file() {  # check_file FILE REGEX
  [ -e "$1" ] || return 0
  if grep -v '^;' "$1" | grep -v '^$' | grep -qvE "$2"; then
    files_ok=no
    echo "  $1: lines not in the writer's form"
  fi
}
check_file "$ST_ROOT/opt/set/setup.txt" '^[A-Za-z0-9_]+: .*$'
for f in "$ST_ROOT"/opt/set/antenna*.txt; do
  check_file "$f" '^(!Zel|!Gen|!817|[^ ]{1,7} -?[0-9]+ -?[0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+ -?[0-9.]+(e[-+]?[0-9]+)?|[^ ]{1,7} [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+ (nan|inf|-inf))$'
done
for f in "$ST_ROOT"/opt/set/atu_ant*.txt; do
  check_file "$f" '^[0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+$'
done
check_file "$ST_ROOT/opt/set/filter.txt" '^[0-9]+'$'\t\t''[0-9]+'$'\t\t''[01] $'
stale=$(ls "$ST_ROOT/opt/set" | grep -c '\.tmp' || true)
[ "$stale" -ne 0 ] && files_ok=no

cat <<EOF

===== soak summary ($BUILD) =====
uptime                  $((NOW - START)) s; station unit alive: $ALIVE_ST, operator unit alive: $ALIVE_OP
resident memory (kB)    station $ST_RSS0 -> $ST_RSS1, operator $OP_RSS0 -> $OP_RSS1
threads                 station $ST_TH0 -> $ST_TH1, operator $OP_TH0 -> $OP_TH1
open descriptors        station $ST_FD0 -> $ST_FD1, operator $OP_FD0 -> $OP_FD1
faults injected         $FAULTS (operator unit restarted $OPRESTARTS times)
errors raised / cleared $(count 'Add: N:' "$L") / $(( $(count 'Del ERROR:' "$L") + $(count 'Del temp err' "$L") ))
commands sent / polls   $CMDS / $POLLS (amplifier frames other than ST;/FM; and those)
commands retried        $(count 'RETRAY' "$L") (given up and restarted from ST: $(count 'STOP RETRAY' "$L"))
autotunes run / stored  $(count 'START AUTO TUNE' "$L") / $(count 'Save Tune To File' "$L")
reconnections           $(count 'access key from .* accepted' "$L") key accepted on the station
refused remounts seen   $(count "can't mount rw /opt/set" "$L")
sanitizer reports       $(cat "$ST_ROOT/zelpyx.log" "$OP_ROOT/zelpyx.log" | grep -c 'ERROR: AddressSanitizer\|runtime error:' || true)
operator files whole    $files_ok (temporary files left: $stale)
EOF
