#include "platform/radio_ports.h"

#include <cerrno>
#include <fcntl.h>
#include <glob.h>
#include <termios.h>
#include <unistd.h>

#include "platform/paths.h"

static speed_t radioBaud(int baud) {
  switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
  }
}

int serialOpenStaged(const std::string& absPath, int baud, bool twoStopBits,
                     PortOpenStage* failedAt) {
  *failedAt = PortOpenStage::Ok;
  int fd = open(rootPath(absPath).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *failedAt = PortOpenStage::Open;
    return -1;
  }
  // Raw 8-bit, receiver on, modem lines ignored; reads never block because
  // the threads poll the waiting count first.
  struct termios t;
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_iflag = IGNPAR;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | (twoStopBits ? CSTOPB : 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, radioBaud(baud));
    cfsetospeed(&t, radioBaud(baud));
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) == 0) return fd;
  }
  int e = errno;
  close(fd);
  errno = e;
  *failedAt = PortOpenStage::Configure;
  return -1;
}

ssize_t serialRead(int fd, void* buf, size_t n) { return read(fd, buf, n); }

void serialDrainInput(int fd) {
  unsigned char junk[256];
  while (read(fd, junk, sizeof junk) > 0) {
  }
}

std::vector<std::string> globDevices(const std::string& absPattern) {
  std::vector<std::string> out;
  std::string pat = rootPath(absPattern);
  size_t prefix = pat.size() - absPattern.size();
  glob_t g;
  if (glob(pat.c_str(), 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; i++) out.emplace_back(std::string(g.gl_pathv[i]).substr(prefix));
  }
  globfree(&g);
  return out;
}
