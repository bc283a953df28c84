#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/paths.h"

namespace {

// A peer that stops reading for this long breaks the link rather than
// stalling the senders (timer, radio links) behind it.
const int kSendTimeoutMs = 2000;

void setSendTimeout(int s) {
  struct timeval tv = {kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A peer that vanishes without closing (power cut, cable) is noticed
  // within about half a minute, so it cannot hold the station's one
  // connection slot, nor leave the operator waiting on a dead link.
  int idle = 10, intvl = 5, cnt = 3;
  unsigned int userTimeoutMs = 20000;
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
  setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
  setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

int listenOn(uint32_t addrBE, uint16_t port, int backlog, int* stage) {
  if (stage) *stage = 0;
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = addrBE;
  a.sin_port = htons(port);
  if (bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    int e = errno;
    close(s);
    errno = e;
    if (stage) *stage = 1;
    return -1;
  }
  if (listen(s, backlog) != 0) {
    int e = errno;
    close(s);
    errno = e;
    if (stage) *stage = 2;
    return -1;
  }
  return s;
}

}  // namespace

int netListen(uint16_t port, int backlog, int* stage, const std::string& listenAddr) {
  uint32_t addr = htonl(INADDR_ANY);
  struct in_addr in;
  if (!listenAddr.empty()) {
    if (inet_pton(AF_INET, listenAddr.c_str(), &in) != 1) {
      if (stage) *stage = 0;
      errno = EINVAL;
      return -1;
    }
    addr = in.s_addr;
  } else {
    // In-process tests keep the station on the loop-back address.
    const char* only = getenv("ZELPYX_LISTEN_ADDR");
    if (only != nullptr && inet_pton(AF_INET, only, &in) == 1) addr = in.s_addr;
  }
  return listenOn(addr, port, backlog, stage);
}

int netListenLoopback(uint16_t port, int backlog) { return listenOn(htonl(INADDR_LOOPBACK), port, backlog, nullptr); }

int netLocalPort(int sock) {
  struct sockaddr_in a;
  socklen_t len = sizeof a;
  if (getsockname(sock, reinterpret_cast<struct sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

int netAccept(int lsock, const NetKeepGoing& keepGoing, std::string* peer) {
  while (keepGoing()) {
    struct pollfd p = {lsock, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) continue;
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    int c = accept4(lsock, reinterpret_cast<struct sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return -1;
    }
    setSendTimeout(c);
    if (peer != nullptr) {
      char buf[INET_ADDRSTRLEN] = {};
      if (inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf) == nullptr) {
        int e = errno;
        close(c);
        errno = e;
        return -1;
      }
      *peer = buf;
    }
    return c;
  }
  return -2;
}

bool netResolve(const std::string& host, uint32_t* addrBE) {
  struct in_addr in;
  if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
    *addrBE = in.s_addr;
    return true;
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  *addrBE = reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

int netConnect(uint32_t addrBE, uint16_t port, int timeoutMs) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int fl = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, fl | O_NONBLOCK);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = addrBE;
  a.sin_port = htons(port);
  int r = connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  if (r != 0 && errno == EINPROGRESS) {
    struct pollfd p = {s, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
      r = err == 0 ? 0 : -1;
      if (err != 0) errno = err;
    } else {
      errno = ETIMEDOUT;
    }
  }
  if (r != 0) {
    int e = errno;
    close(s);
    errno = e;
    return -1;
  }
  fcntl(s, F_SETFL, fl);
  setSendTimeout(s);
  return s;
}

int netWaitReadable(int sock, int timeoutMs) {
  struct pollfd p = {sock, POLLIN, 0};
  int r = poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : -1;
  return r > 0 ? 1 : 0;
}

int netPeekByte(int sock, int timeoutMs, const NetKeepGoing& keepGoing) {
  const int steps = timeoutMs / 100 + 1;
  for (int i = 0; i < steps && keepGoing(); i++) {
    struct pollfd p = {sock, POLLIN, 0};
    int r = poll(&p, 1, i == steps - 1 ? timeoutMs % 100 : 100);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) continue;
    unsigned char c;
    ssize_t n = recv(sock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 1) return c;
    if (n == 0) return -1;
    if (errno != EAGAIN && errno != EINTR) return -1;
  }
  return -2;
}

ssize_t netRecv(int sock, void* buf, size_t n) { return recv(sock, buf, n, MSG_DONTWAIT); }

ssize_t netSend(int sock, const void* buf, size_t n) { return send(sock, buf, n, MSG_NOSIGNAL); }

void netShutdown(int sock) {
  if (sock > 0) shutdown(sock, SHUT_RDWR);
}

void netClose(int sock) {
  if (sock > 0) close(sock);
}

int netRandomBytes(uint8_t* out, int n) {
  int fd = open(rootPath("/dev/urandom").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int got = 0;
  while (got < n) {
    ssize_t r = read(fd, out + got, static_cast<size_t>(n - got));
    if (r <= 0) break;
    got += static_cast<int>(r);
  }
  int e = errno;
  close(fd);
  errno = e;
  return got;
}
