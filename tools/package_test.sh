#!/bin/bash
# The amd64 package end to end: built with tools/package.sh, its file list
# checked, unpacked with dpkg -x into a temporary directory, and the
# unpacked controller run with --version and --check and then started
# against the simulated station in a temporary root until it reports
# start-up done; SIGTERM must end it with status 0.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(tools/package.sh | tail -n 1)
echo "package: $deb"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zelpyx-pkg.XXXXXX")
sim=""
zel=""
cleanup() {
  [ -n "$zel" ] && kill "$zel" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

name=$(basename "$deb")
case "$name" in zelpyx_*_amd64.deb | zelpyx_*_"$(dpkg --print-architecture)".deb) ;; *) fail "package name $name" ;; esac
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/files"
for f in /opt/ZelPyx/zelpyx /opt/ZelPyx/start.png /opt/ZelPyx/statusB.png /lib/systemd/system/zelpyx.service \
         /usr/share/man/man8/zelpyx.8.gz /usr/share/doc/zelpyx/copyright /usr/share/doc/zelpyx/changelog.gz \
         /usr/share/zelpyx/defaults/ventola.txt /usr/share/zelpyx/defaults/filter.txt; do
  grep -qx "$f" "$tmp/files" || fail "$f missing from the package"
done
# Nothing of the operator's: /opt/set belongs to the amplifier.
! grep -q '^/opt/set' "$tmp/files" || fail "the package ships files under /opt/set"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no shared-library dependencies: $(dpkg-deb -f "$deb" Depends)"
for s in postinst prerm postrm; do
  dpkg-deb -I "$deb" "$s" >/dev/null || fail "no $s script"
done
dpkg-deb -I "$deb" postrm | grep -q 'rm .*opt/set' && fail "postrm removes operator files"

dpkg -x "$deb" "$tmp/inst"
bin="$tmp/inst/opt/ZelPyx/zelpyx"
"$bin" --version | grep -qx "zelpyx $(dpkg-deb -f "$deb" Version)" || fail "--version does not match the package"

root="$tmp/root"
mkdir -p "$root/opt/set"
cp "$tmp"/inst/usr/share/zelpyx/defaults/* "$root/opt/set/"
printf 'EnableGPIO: 0\n' >"$root/opt/set/setup.txt"
ZELPYX_ROOT="$root" "$bin" --check >"$tmp/check.out" 2>/dev/null || fail "--check on the shipped defaults: $(cat "$tmp/check.out")"
grep -q ': error: ' "$tmp/check.out" && fail "errors on the shipped defaults"
rm "$root/opt/set/setup.txt"

# Against the simulated station, from the directory the unit names.
build/zelsim --root "$root" >"$tmp/zelsim.log" 2>&1 &
sim=$!
for _ in $(seq 600); do [ -e "$root/sim.ready" ] && break; sleep 0.1; done
[ -e "$root/sim.ready" ] || fail "zelsim did not come up: $(cat "$tmp/zelsim.log")"
(cd "$tmp/inst/opt/ZelPyx" && exec env ZELPYX_ROOT="$root" ZELPYX_LOG_STDERR=1 ./zelpyx) >"$tmp/zelpyx.log" 2>&1 &
zel=$!
for _ in $(seq 1200); do grep -q 'start-up done' "$tmp/zelpyx.log" && break; sleep 0.1; done
grep -q 'start-up done' "$tmp/zelpyx.log" || fail "no start-up: $(tail -20 "$tmp/zelpyx.log")"
# The installed program polls the simulated amplifier.
polled=0
for _ in $(seq 300); do
  build/zelctl "$root" 'amp log' 2>/dev/null | grep -q 'ST;' && { polled=1; break; }
  sleep 0.1
done
[ "$polled" -eq 1 ] || fail "no status poll reached the amplifier: $(build/zelctl "$root" 'amp log' 2>&1 | tail -5)"
kill -TERM "$zel"
status=0
wait "$zel" || status=$?
zel=""
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(tail -20 "$tmp/zelpyx.log")"
echo "package_test: ok ($name)"
