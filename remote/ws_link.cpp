#include "remote/ws_link.h"

#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "core/works.h"
#include "platform/log.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "remote/remote_dispatch.h"
#include "remote/remote_senders.h"
#include "remote/ws_proto.h"

std::atomic<int> wsHandshakeTimeoutMs{10000};
std::atomic<int> wsListeningPort{0};
std::atomic<int> wsStartDelayMs{2000};
std::atomic<int> wsThreadRunning{0};

namespace {

using Clock = std::chrono::steady_clock;

void sleepMs(Works* w, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (w->running.load() != 0 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Buffered reads from the link socket, the buffered stream of both roles:
// handshake lines and frames come from the same buffer. Every wait is
// short and checks `running` and the optional deadline.
class LinkReader {
 public:
  LinkReader(Works* w, int fd) : w_(w), fd_(fd) {}
  void setDeadline(int ms) {
    hasDeadline_ = true;
    deadline_ = Clock::now() + std::chrono::milliseconds(ms);
  }
  void clearDeadline() { hasDeadline_ = false; }
  bool timedOut() const { return timedOut_; }
  int lastErrno() const { return err_; }

  // > 0 bytes, 0 end of data, -1 error, stop or deadline.
  int read(uint8_t* out, int n) {
    if (pos_ == len_ && fill() <= 0) return eof_ ? 0 : -1;
    int k = len_ - pos_ < n ? len_ - pos_ : n;
    memcpy(out, buf_ + pos_, static_cast<size_t>(k));
    pos_ += k;
    return k;
  }
  // One line of up to 1023 characters (line feed included when there).
  // 1 line, 0 end of data, -1 error, stop or deadline.
  int readLine(std::string& line) {
    line.clear();
    while (line.size() < 1023) {
      if (pos_ == len_ && fill() <= 0) return eof_ && !line.empty() ? 1 : (eof_ ? 0 : -1);
      char c = static_cast<char>(buf_[pos_++]);
      line += c;
      if (c == '\n') return 1;
    }
    return 1;
  }

 private:
  int fill() {
    pos_ = len_ = 0;
    for (;;) {
      if (w_->running.load() == 0) return -1;
      if (hasDeadline_ && Clock::now() >= deadline_) {
        timedOut_ = true;
        return -1;
      }
      int r = netWaitReadable(fd_, 100);
      if (r < 0) {
        err_ = errno;
        return -1;
      }
      if (r == 0) continue;
      ssize_t n = netRecv(fd_, buf_, sizeof buf_);
      if (n > 0) {
        len_ = static_cast<int>(n);
        return len_;
      }
      if (n == 0) {
        eof_ = true;
        return 0;
      }
      if (errno == EAGAIN || errno == EINTR) continue;
      err_ = errno;
      return -1;
    }
  }

  Works* w_;
  int fd_;
  uint8_t buf_[4096];
  int pos_ = 0, len_ = 0;
  bool eof_ = false, timedOut_ = false, hasDeadline_ = false;
  int err_ = 0;
  Clock::time_point deadline_;
};

// The connection's socket goes under sendMut, so no sender is between
// taking it and writing when it is closed.
void dropSocket(Works* w) {
  std::lock_guard<std::mutex> lk(*w->sendMut);
  int fd = w->remoteSock.exchange(0);
  netClose(fd);
}

void setConnected(Works* w, int v) {
  std::lock_guard<std::mutex> lk(*w->connMut);
  w->remoteConnected = v;
}

int qualityFromSetup(Works* w) {
  int q = 100;
  if (w->setup != nullptr && sscanf(w->setup->Quality, "%d", &q) != 1) q = 100;
  if (q < 0) q = 0;
  if (q > 100) q = 100;
  return q;
}

// Receives and dispatches frames until the connection ends; returns the
// number of frames handled. The log letters: 'a' on the station, 'A' on
// the operator for the first stages.
int frameLoop(Works* w, LinkReader& rd, LinkState& st, bool server) {
  WsRead src = [&rd](uint8_t* b, int n) { return rd.read(b, n); };
  WsFrame f;
  int frames = 0;
  while (w->running.load() != 0) {
    if (!server && w->remoteConnected.load() != 1) break;
    int stage = wsReadFrame(src, f);
    if (stage != 0) {
      if (rd.timedOut()) {
        zlogLimited(LOG_ERR, "no access key within %d s, connection closed", wsHandshakeTimeoutMs.load() / 1000);
      } else if (w->running.load() != 0) {
        int e = rd.lastErrno();
        if (stage == 1) {
          zlogLimited(LOG_ERR, server ? "TCP read Error 1a %d" : "TCP read Error 1A %d", e);
          zlogLimited(LOG_ERR, server ? "TCP read Error 2a %d" : "TCP read Error 2A %d", e);
        } else if (stage == 9) {
          zlogLimited(LOG_ERR, "frame too long, connection closed");
        } else {
          zlogLimited(LOG_ERR, "TCP read Error %da %d", stage, e);
          zlogLimited(LOG_ERR, server ? "TCP read Error 6a %d" : "TCP read Error 6A %d", e);
        }
      }
      return frames;
    }
    frames++;
    if (dispatchFrame(w, st, f) != 0) return frames;
    if (server && st.keyAccepted) rd.clearDeadline();
  }
  return frames;
}

// One station connection: handshake, key, frames.
void serveConnection(Works* w, int fd, const std::string& peer) {
  LinkReader rd(w, fd);
  rd.setDeadline(wsHandshakeTimeoutMs.load());
  HandshakeState hs;
  std::string line;
  bool done = false;
  while (!done) {
    int r = rd.readLine(line);
    if (r <= 0) {
      if (rd.timedOut())
        zlogLimited(LOG_ERR, "handshake not finished within %d s, connection closed", wsHandshakeTimeoutMs.load() / 1000);
      else if (r < 0 && w->running.load() != 0)
        zlogLimited(LOG_ERR, "TCP read error %d", rd.lastErrno());
      return;  // the peer left (or never finished): accept the next one
    }
    done = wsHandshakeLine(hs, line, 's');
  }
  const char* lines[5] = {"HTTP/1.1 101 Switching Protocols\r\n", "Upgrade: websocket\r\n", "Connection: Upgrade\r\n",
                          nullptr, "Sec-WebSocket-Protocol: chat\r\n\r\n"};
  std::string accept = "Sec-WebSocket-Accept: " + wsAcceptValue(hs.key) + "\r\n";
  for (int i = 0; i < 5; i++) {
    const char* l = lines[i] != nullptr ? lines[i] : accept.c_str();
    ssize_t n = netSend(fd, l, strlen(l));
    zlogLimited(LOG_INFO, "sent %d bytes error %d", static_cast<int>(n), n < 0 ? errno : 0);
    zlogLimited(LOG_INFO, "%s", l);
    if (n != static_cast<ssize_t>(strlen(l))) return;
  }
  w->remoteSock = fd;
  LinkState st('s');
  st.peer = peer;
  frameLoop(w, rd, st, true);
  zlogLimited(LOG_INFO, "TCP exiting");
  const bool wasConnected = st.keyAccepted;
  setConnected(w, 0);
  zlogLimited(LOG_INFO, "TCP closed");
  if (wasConnected) stationLinkLost(w);
}

}  // namespace

int wsRetryDelayMs(int badAnswers) {
  int ms = 2000;
  for (int i = 1; i < badAnswers && ms < 60000; i++) ms *= 2;
  return ms < 60000 ? ms : 60000;
}

void Wsocket(Works* w) {
  staticworks = w;
  wsThreadRunning = 1;
  w->jpegQuality = qualityFromSetup(w);
  char mode = w->setup != nullptr ? runByte(w->setup->WebSocket) : '1';
  // The port is a signed 16-bit field; ports above 32767 are meant as unsigned.
  const uint16_t port = static_cast<uint16_t>(w->TcpPort);
  zlogLimited(LOG_INFO, "Wsocket on port %d mode %c", port, mode);
  fprintf(stderr, "wsocket\n");
  sleepMs(w, wsStartDelayMs.load());
  int stage = 0;
  int ls = netListen(port, 1, &stage);
  if (ls < 0) {
    const char* what[3] = {"Socket open error %d", "Binding error %d", "Listening error %d"};
    zlogLimited(LOG_ERR, what[stage], errno);
    wsThreadRunning = 0;
    return;
  }
  wsListeningPort = netLocalPort(ls);
  zlogLimited(LOG_INFO, "Listening on port %d", wsListeningPort.load());
  auto keepGoing = [w] { return w->running.load() != 0; };
  while (w->running.load() != 0) {
    setConnected(w, 0);
    dropSocket(w);
    std::string peer;
    int fd = netAccept(ls, keepGoing, &peer);
    if (fd == -2) break;
    if (fd < 0) {
      zlogLimited(LOG_ERR, "Accept-ing error %d", errno);
      break;
    }
    zlogLimited(LOG_INFO, "Connected by %s", peer.c_str());
    {
      // Until the key matched, the socket is not the senders'.
      std::lock_guard<std::mutex> lk(*w->sendMut);
      w->remoteSock = 0;
    }
    serveConnection(w, fd, peer);
    // serveConnection handed fd to remoteSock only after the handshake.
    if (w->remoteSock.load() != fd) netClose(fd);
  }
  setConnected(w, 0);
  dropSocket(w);
  netClose(ls);
  wsListeningPort = 0;
  wsThreadRunning = 0;
}

void Wclient(Works* w) {
  staticworks = w;
  wsThreadRunning = 1;
  w->jpegQuality = qualityFromSetup(w);
  char mode = w->setup != nullptr ? runByte(w->setup->WebSocket) : '2';
  const uint16_t port = static_cast<uint16_t>(w->TcpPort);
  zlogLimited(LOG_INFO, "Wclient to server %s on port %d mode %c", w->Server, port, mode);
  uint8_t rnd[16];
  int got = netRandomBytes(rnd, 16);
  if (got < 0) {
    zlogLimited(LOG_ERR, "/dev/urandom error %d", errno);
    wsThreadRunning = 0;
    return;
  }
  if (got != 16) {
    zlogLimited(LOG_ERR, "/dev/urandom read %d instead of 16, error=%d", got, errno);
    wsThreadRunning = 0;
    return;
  }
  // One key for every reconnection.
  const std::string key = wsClientKey(rnd);
  bool hostReported = false;
  int badAnswers = 0;
  while (w->running.load() != 0) {
    setConnected(w, 0);
    zlogLimited(LOG_INFO, "Socket for TCP created");
    uint32_t addr = 0;
    if (!netResolve(w->Server, &addr)) {
      // A name the network cannot resolve yet may resolve later.
      if (!hostReported) {
        zlogLimited(LOG_ERR, "ERROR, no such host as %s\n", w->Server);
        hostReported = true;
      }
      sleepMs(w, 2000);
      continue;
    }
    hostReported = false;
    zlogLimited(LOG_INFO, "server ok");
    zlogLimited(LOG_INFO, "TCP bound");
    int fd = netConnect(addr, port, 2000);
    if (fd < 0) {
      zlogLimited(LOG_ERR, "Connect Error\n");
      sleepMs(w, 2000);
      continue;
    }
    zlogLimited(LOG_INFO, "TCP connected\n");
    std::string req[6];
    wsClientRequest(w->Server, port, key, req);
    bool sent = true;
    for (const std::string& l : req) {
      ssize_t n = netSend(fd, l.data(), l.size());
      if (n != static_cast<ssize_t>(l.size())) {
        zlogLimited(LOG_ERR, "TCP write Error");
        sent = false;
        break;
      }
      zlogLimited(LOG_INFO, "TCP write %d bytes\n", static_cast<int>(n));
    }
    LinkReader rd(w, fd);
    rd.setDeadline(wsHandshakeTimeoutMs.load());
    HandshakeState hs;
    bool done = false, keyOk = false;
    std::string line;
    while (sent && !done) {
      int r = rd.readLine(line);
      if (r <= 0) {
        if (rd.timedOut())
          zlogLimited(LOG_ERR, "no handshake answer within %d s", wsHandshakeTimeoutMs.load() / 1000);
        else if (w->running.load() != 0)
          zlogLimited(LOG_ERR, "TCP read error 1 %d", rd.lastErrno());
        break;
      }
      bool hadKey = hs.haveKey;
      done = wsHandshakeLine(hs, line, 'c');
      if (hs.haveKey && !hadKey) {
        std::string expected = wsAcceptValue(key);
        if (expected != hs.key) {
          // A server that cannot compute the answer to our handshake is
          // not ours: drop it and try again later, never stop the unit.
          zlogLimited(LOG_ERR, "handshake answer from %s not correct, connection dropped", w->Server);
          badAnswers++;
          break;
        }
        zlogLimited(LOG_INFO, "keys correct %s %s", expected.c_str(), hs.key.c_str());
        keyOk = true;
      }
    }
    int frames = 0;
    if (done && keyOk) {
      std::string kf = wsShortText(w->accessKey, static_cast<int>(strlen(w->accessKey)));
      if (netSend(fd, kf.data(), kf.size()) == static_cast<ssize_t>(kf.size())) {
        {
          std::lock_guard<std::mutex> lk(*w->sendMut);
          w->remoteSock = fd;
        }
        setConnected(w, 1);
        sleepMs(w, 20);
        zlogLimited(LOG_INFO, "Websocket Connected");
        LinkState st('c');
        rd.clearDeadline();
        frames = frameLoop(w, rd, st, false);
      }
    }
    setConnected(w, 0);
    if (frames > 0) clearStationStatus(w);
    zlogLimited(LOG_INFO, "reconnecting");
    {
      std::lock_guard<std::mutex> lk(*w->sendMut);
      if (w->remoteSock.load() == fd) w->remoteSock = 0;
      netClose(fd);
    }
    // A server that drops us before sending anything (a wrong access key)
    // is tried again every 2 s, not ten times a second; one that answers
    // the handshake wrongly waits longer each time, up to a minute.
    if (frames > 0) badAnswers = 0;
    sleepMs(w, frames > 0 ? 100 : wsRetryDelayMs(badAnswers));
  }
  setConnected(w, 0);
  wsThreadRunning = 0;
}
