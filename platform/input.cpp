#include "platform/input.h"

#include <cerrno>
#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/paths.h"

std::string inputFindKeyboard() {
  const std::string pattern = rootPath("/dev/input/by-id/") + "*-event-kbd";
  glob_t g;
  std::string found;
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
  globfree(&g);
  return found;
}

int inputOpen(const std::string& path) { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

int inputGrab(int fd) { return ioctl(fd, EVIOCGRAB, 1) == 0 ? 0 : errno; }

ssize_t inputRead(int fd, void* buf, size_t cap, int timeoutMs) {
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  ssize_t n = read(fd, buf, cap);
  if (n > 0) return n;
  if (n == 0) {
    // A file at its end or a FIFO without a writer reads as nothing at
    // once: wait here rather than spin.
    poll(nullptr, 0, timeoutMs);
    return 0;
  }
  if (errno == EAGAIN || errno == EINTR) return 0;
  return -1;
}

void inputClose(int fd) {
  if (fd >= 0) close(fd);
}
