# Debian packages the build, the tests, the demo and the fuzz build
# (clang with its libFuzzer and sanitizer runtimes) need. Sourced by
# run.sh and test.sh, which install whatever is missing.
ZELPYX_PACKAGES="cmake g++ make pkg-config libgtest-dev libbenchmark-dev libpng-dev libfreetype-dev \
libusb-1.0-0-dev libasound2-dev libopus-dev libssl-dev libglib2.0-dev libjpeg62-turbo-dev libjpeg-turbo-progs \
fonts-dejavu-core fonts-paratype clang libclang-rt-14-dev"

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
