#include "platform/sd_notify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The socket address from NOTIFY_SOCKET: a path, or "@name" for the
// abstract namespace. It is the manager's own address, not a path of
// ours, so it is not resolved under the root.
bool notifyAddress(sockaddr_un* addr, socklen_t* len) {
  const char* e = getenv("NOTIFY_SOCKET");
  if (e == nullptr || (e[0] != '/' && e[0] != '@')) return false;
  const size_t n = strlen(e);
  if (n < 2 || n >= sizeof addr->sun_path) return false;
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  memcpy(addr->sun_path, e, n);
  if (e[0] == '@') addr->sun_path[0] = '\0';
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  return true;
}

}  // namespace

bool sdNotifyEnabled() {
  sockaddr_un a;
  socklen_t l;
  return notifyAddress(&a, &l);
}

bool sdNotify(const char* state) {
  sockaddr_un addr;
  socklen_t len;
  if (!notifyAddress(&addr, &len)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t r;
  do {
    r = sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
  } while (r < 0 && errno == EINTR);
  close(fd);
  return r >= 0;
}

int64_t sdWatchdogPingMs() {
  const char* pid = getenv("WATCHDOG_PID");
  if (pid != nullptr && strtol(pid, nullptr, 10) != static_cast<long>(getpid())) return 1000;
  const char* us = getenv("WATCHDOG_USEC");
  if (us == nullptr) return 1000;
  const long long v = strtoll(us, nullptr, 10);
  if (v <= 0) return 1000;
  const long long half = v / 2000;
  return half < 1 ? 1 : (half > 1000 ? 1000 : half);
}
