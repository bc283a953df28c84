# Debian packages the build, the tests, the demo and the fuzz build
# (clang with its libFuzzer and sanitizer runtimes) and the Debian package
# (dpkg-shlibdeps, file, lintian; systemd-analyze checks the unit) need;
# rigctld and rigctl (libhamlib-utils) play the radio of the Hamlib test
# and demo; civetweb and nlohmann-json build the web server, and headless
# Chromium with its driver and Selenium run the browser test of its page. Sourced by run.sh, test.sh, cross.sh and fuzz.sh, which
# install whatever is missing.
ZELPYX_PACKAGES="cmake g++ make pkg-config libgtest-dev libbenchmark-dev libpng-dev libfreetype-dev \
libusb-1.0-0-dev libasound2-dev libopus-dev libssl-dev openssl libglib2.0-dev libjpeg62-turbo-dev libjpeg-turbo-progs libfftw3-dev \
fonts-dejavu-core fonts-paratype clang libclang-rt-14-dev \
dpkg-dev file lintian systemd libhamlib-utils python3 \
libcivetweb-dev nlohmann-json3-dev chromium chromium-driver python3-selenium"

zelpyx_install_packages() {
  local missing=""
  for p in $ZELPYX_PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $p"
    fi
  done
  if [ -n "$missing" ]; then
    echo "Installing:$missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y $missing
  fi
}

# The cross build for the board: the compiler, the emulator and the armhf
# builds of every library the project links.
ZELPYX_ARMHF_PACKAGES="crossbuild-essential-armhf qemu-user-static libgtest-dev:armhf \
libbenchmark-dev:armhf libpng-dev:armhf libfreetype-dev:armhf libusb-1.0-0-dev:armhf \
libasound2-dev:armhf libopus-dev:armhf libssl-dev:armhf libglib2.0-dev:armhf \
libjpeg62-turbo-dev:armhf libcivetweb-dev:armhf"

zelpyx_install_armhf_packages() {
  zelpyx_install_packages
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  local fresh=0
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $sudo dpkg --add-architecture armhf
    fresh=1
  fi
  local missing=""
  for p in $ZELPYX_ARMHF_PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $p"
    fi
  done
  if [ -n "$missing" ]; then
    echo "Installing:$missing"
    $sudo apt-get update
    # The armhf -dev packages must match the native ones version for
    # version; refuse an install that would remove native packages.
    if DEBIAN_FRONTEND=noninteractive $sudo apt-get install --dry-run -y $missing | grep -q '^Remv'; then
      echo "cross.sh: installing the armhf packages would remove native ones; stopping" >&2
      return 1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y $missing
  elif [ "$fresh" -eq 1 ]; then
    $sudo apt-get update
  fi
}
