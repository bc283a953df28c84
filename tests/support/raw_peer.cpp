#include "tests/support/raw_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "remote/ws_proto.h"
#include "tests/support/wait.h"

const char kRawPeerRfcKey[] = "dGhlIHNhbXBsZSBub25jZQ==";

RawPeer::~RawPeer() {
  if (fd >= 0) close(fd);
}

bool RawPeer::connectFrom(const char* src, int port) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  inet_pton(AF_INET, src, &a.sin_addr);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return false;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0;
}

bool RawPeer::send(const std::string& s) {
  return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

bool RawPeer::login(const std::string& key) {
  std::string lines[6];
  wsClientRequest("127.0.0.1", 0, kRawPeerRfcKey, lines);
  for (const std::string& l : lines)
    if (!send(l)) return false;
  std::string got;
  while (got.find("\r\n\r\n") == std::string::npos) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) return false;
    char c;
    if (recv(fd, &c, 1, 0) != 1) return false;
    got += c;
  }
  return send(wsShortText(key.data(), static_cast<int>(key.size())));
}

bool RawPeer::closedWithin(int ms) {
  return waitFor([&] {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) return false;
    char c;
    ssize_t r = recv(fd, &c, 1, MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno != EAGAIN);
  }, ms);
}
