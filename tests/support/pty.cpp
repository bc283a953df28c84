#include "tests/support/pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <thread>
#include <unistd.h>

#include "platform/serial.h"

PtyPair::PtyPair() {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    master = -1;
    return;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    master = -1;
    return;
  }
  slavePath = name;
  slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave >= 0) serialMakeRaw(slave);
  serialMakeRaw(master);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
}

bool PtyPair::linkAt(const std::string& linkPath) const {
  unlink(linkPath.c_str());
  return symlink(slavePath.c_str(), linkPath.c_str()) == 0;
}

bool writeSplit(int fd, const std::string& bytes, unsigned seed) {
  std::mt19937 rng(seed);
  size_t pos = 0;
  int stalls = 0;
  while (pos < bytes.size()) {
    size_t left = bytes.size() - pos;
    size_t n = 1 + rng() % left;
    ssize_t r = write(fd, bytes.data() + pos, n);
    if (r > 0) {
      pos += static_cast<size_t>(r);
      stalls = 0;
    } else if (r < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (++stalls > 5000) {
      return false;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}
