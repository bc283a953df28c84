#include "platform/serial.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/paths.h"

static speed_t baudConst(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
  }
}

int serialMakeRaw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return -1;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &t);
}

int serialOpenStaged(const std::string& absPath, int baud, bool twoStopBits, PortOpenStage* failedAt) {
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
    t.c_iflag = IGNPAR;  // a byte with a framing error is dropped, not passed on
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL | (twoStopBits ? CSTOPB : 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, baudConst(baud));
    cfsetospeed(&t, baudConst(baud));
    if (tcsetattr(fd, TCSANOW, &t) == 0) {
      tcflush(fd, TCIOFLUSH);
      return fd;
    }
  }
  int e = errno;
  close(fd);
  errno = e;
  *failedAt = PortOpenStage::Configure;
  return -1;
}

int serialOpen(const std::string& absPath, int baud, bool twoStopBits) {
  PortOpenStage stage;
  return serialOpenStaged(absPath, baud, twoStopBits, &stage);
}

void serialClose(int fd) {
  if (fd >= 0) close(fd);
}

ssize_t serialRead(int fd, void* buf, size_t n) { return read(fd, buf, n); }

int serialReadByte(int fd, char* c) {
  if (fd < 0) return -1;
  return static_cast<int>(read(fd, c, 1));
}

void serialDrainInput(int fd) {
  unsigned char junk[256];
  while (read(fd, junk, sizeof junk) > 0) {
  }
}

int serialAvailable(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return -1;
  return n;
}

ssize_t serialWriteAll(int fd, const void* buf, size_t len, int maxStalls) {
  const unsigned char* p = static_cast<const unsigned char*>(buf);
  size_t done = 0;
  int stalls = 0;
  while (done < len) {
    ssize_t n = write(fd, p + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      stalls = 0;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (++stalls > maxStalls) return done > 0 ? static_cast<ssize_t>(done) : -1;
    usleep(1000);
  }
  return static_cast<ssize_t>(done);
}

bool serialPortDead(int fd) {
  if (fd < 0) return true;
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, 0);
  if (r < 0) return errno != EINTR && errno != EAGAIN;
  if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return true;
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return errno == EIO || errno == ENODEV || errno == ENXIO || errno == EBADF;
  return false;
}

bool serialSameDevice(int fd, const std::string& absPath) {
  struct stat open_, named;
  if (fstat(fd, &open_) != 0) return false;
  if (stat(rootPath(absPath).c_str(), &named) != 0) return false;
  if (S_ISCHR(open_.st_mode)) return S_ISCHR(named.st_mode) && open_.st_rdev == named.st_rdev;
  return open_.st_dev == named.st_dev && open_.st_ino == named.st_ino;
}
