#!/bin/bash
# Builds the Debian package zelpyx_<version>_<arch>.deb with cpack.
#   tools/package.sh           amd64 (or the machine's own architecture)
#                              from the Release build in build/
#   tools/package.sh --armhf   the board's, from the cross build in
#                              build-armhf/ (./cross.sh makes it)
# Prints the package's path on the last line. lintian runs over it when
# installed; its errors fail the script.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--armhf" ]; then
  dir=build-armhf
  [ -f "$dir/CMakeCache.txt" ] || { echo "package.sh: no $dir; run ./cross.sh first" >&2; exit 1; }
  cmake --build "$dir" -j2 --target zelpyx screens_png zelpyx_docs
  # dpkg-shlibdeps finds the armhf libraries and the cross objdump from
  # the host architecture.
  export DEB_HOST_ARCH=armhf
else
  dir=build
  launcher=""
  command -v ccache >/dev/null && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
  # shellcheck disable=SC2086
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZELPYX_TESTS=OFF $launcher >/dev/null
  cmake --build "$dir" -j2 --target zelpyx zelsim zelctl screens_png zelpyx_docs
fi
rm -f "$dir"/zelpyx_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log" >&2; exit 1; }
deb=$(ls "$dir"/zelpyx_*.deb)
if command -v lintian >/dev/null; then
  # Errors fail; warnings are listed.
  lintian --tag-display-limit 0 "$deb" | tee "$dir/lintian.log" >&2 || true
  if grep -q '^E: ' "$dir/lintian.log"; then
    echo "package.sh: lintian reports errors" >&2
    exit 1
  fi
fi
echo "$deb"
