#include "remote/ws_link.h"

#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "core/remote_config.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "platform/tls.h"
#include "remote/link_guard.h"
#include "remote/remote_dispatch.h"
#include "remote/remote_senders.h"
#include "remote/ws_proto.h"

std::atomic<int> wsHandshakeTimeoutMs{5000};
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

// Buffered reads from the link socket (through its TLS session when
// there is one), the buffered stream of both roles: handshake lines and
// frames come from the same buffer. Every wait is short and checks
// keepGoing and the optional deadline; idle runs between the waits.
class LinkReader {
 public:
  LinkReader(int fd, TlsConn* tls, std::function<bool()> keepGoing)
      : fd_(fd), tls_(tls), keepGoing_(std::move(keepGoing)) {}
  void setDeadline(int ms) {
    hasDeadline_ = true;
    deadline_ = Clock::now() + std::chrono::milliseconds(ms);
  }
  void clearDeadline() { hasDeadline_ = false; }
  // Once the session is shared with the senders, its reads go under
  // their lock too.
  void setIoLock(std::mutex* m) { ioMut_ = m; }
  void setIdle(std::function<void()> idle) { idle_ = std::move(idle); }
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
  int tlsFill() {
    int n;
    if (ioMut_ != nullptr) {
      std::lock_guard<std::mutex> lk(*ioMut_);
      n = tlsRead(tls_, buf_, sizeof buf_);
    } else {
      n = tlsRead(tls_, buf_, sizeof buf_);
    }
    return n;
  }
  int fill() {
    pos_ = len_ = 0;
    for (;;) {
      if (!keepGoing_()) return -1;
      if (hasDeadline_ && Clock::now() >= deadline_) {
        timedOut_ = true;
        return -1;
      }
      if (tls_ != nullptr) {
        int n = tlsFill();
        if (n > 0) {
          len_ = n;
          return n;
        }
        if (n == 0) {
          eof_ = true;
          return 0;
        }
        if (n == -1) {
          err_ = EPROTO;
          return -1;
        }
      }
      int r = netWaitReadable(fd_, 100);
      if (r < 0) {
        err_ = errno;
        return -1;
      }
      if (r == 0) {
        if (idle_) idle_();
        continue;
      }
      if (tls_ != nullptr) continue;
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

  int fd_;
  TlsConn* tls_;
  std::function<bool()> keepGoing_;
  std::function<void()> idle_;
  std::mutex* ioMut_ = nullptr;
  uint8_t buf_[4096];
  int pos_ = 0, len_ = 0;
  bool eof_ = false, timedOut_ = false, hasDeadline_ = false;
  int err_ = 0;
  Clock::time_point deadline_;
};

// Handshake text on a connection of its own (not yet the senders').
bool connSend(int fd, TlsConn* tls, const std::string& s) {
  if (tls != nullptr) return tlsWrite(tls, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
  return netSend(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

void setConnected(Works* w, int v) {
  std::lock_guard<std::mutex> lk(*w->connMut);
  w->remoteConnected = v;
}

// The connection becomes the senders' (or stops being theirs). The TLS
// session goes with the socket, under the senders' lock.
void installLink(Works* w, int fd, TlsConn* tls) {
  std::lock_guard<std::mutex> lk(*w->sendMut);
  w->remoteSock = fd;
  w->remoteTls = tls;
}

// Takes the connection back from the senders if it is still theirs, then
// ends the TLS session and closes the socket.
void releaseLink(Works* w, int fd, TlsConn* tls) {
  {
    std::lock_guard<std::mutex> lk(*w->sendMut);
    if (w->remoteSock.load() == fd) {
      w->remoteSock = 0;
      w->remoteTls = nullptr;
    }
  }
  tlsFree(tls);
  netClose(fd);
}

int qualityFromSetup(Works* w) {
  int q = 100;
  if (w->setup != nullptr && sscanf(w->setup->Quality, "%d", &q) != 1) q = 100;
  if (q < 0) q = 0;
  if (q > 100) q = 100;
  return q;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Receives and dispatches frames until the connection ends (or, with
// untilKey, until the station has the peer's key); returns the number of
// frames handled. The log letters: 'a' on the station, 'A' on the
// operator for the first stages.
int frameLoop(Works* w, LinkReader& rd, LinkState& st, bool server, bool untilKey = false) {
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
    if (server && untilKey && st.keyAccepted) return frames;
  }
  return frames;
}

// ------------------------------------------------------------ station

// What the station's connections share: the place decisions and the one
// connection slot. A leaf lock; nothing else is taken under it.
struct StationShared {
  std::mutex mu;
  std::condition_variable cv;
  LinkGuard guard;
  bool sessionActive = false;
  int sessionFd = -1;
};

// One accepted connection's thread: it lives through the handshake and,
// once the key matched, carries the session.
struct Worker {
  std::thread th;
  std::atomic<bool> done{false};
};

enum class KeyStage { Accepted, Refused, Gone };

// Handshake and key within the deadline. Refused: the peer failed the
// key (a wrong key, a failed TLS handshake, or no key by the deadline).
KeyStage handshakeAndKey(Works* w, int fd, TlsConn** tlsOut, LinkReader** rdOut, LinkState& st,
                         const std::string& key, const std::function<bool()>& keepGoing) {
  const int timeout = wsHandshakeTimeoutMs.load();
  const auto start = Clock::now();
  const bool tls = w->linkTls.load() != 0;
  const char* peer = st.peer.c_str();
  // TLS starts with a handshake record (0x16), the plain link with "GET ".
  int first = netPeekByte(fd, timeout, keepGoing);
  if (first == -2) {
    zlogLimited(LOG_ERR, "handshake not finished within %d s, connection closed", timeout / 1000);
    return KeyStage::Refused;
  }
  if (first < 0) return KeyStage::Gone;
  if (tls && first != 0x16) {
    zlogLimited(LOG_ERR, "plain peer %s refused: this unit runs the link over TLS", peer);
    w->tlsRefused = 1;
    return KeyStage::Refused;
  }
  if (!tls && first == 0x16) {
    zlogLimited(LOG_ERR, "TLS peer %s refused: this unit has tls off in remote.txt", peer);
    w->tlsRefused = 1;
    return KeyStage::Refused;
  }
  TlsConn* conn = nullptr;
  if (tls) {
    TlsFail why = TlsFail::None;
    // One deadline for everything up to the key, the TLS handshake included.
    const int spent = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    conn = tlsAccept(fd, key, timeout > spent ? timeout - spent : 1, keepGoing, &why);
    if (conn == nullptr) {
      zlogLimited(LOG_ERR, "TLS with %s failed: %s", peer, tlsFailText(why));
      if (why == TlsFail::PlainPeer) w->tlsRefused = 1;
      // A peer that held its place to the deadline failed like a wrong key.
      const bool heldOn = Clock::now() - start >= std::chrono::milliseconds(timeout);
      return why == TlsFail::Closed && !heldOn ? KeyStage::Gone : KeyStage::Refused;
    }
  }
  *tlsOut = conn;
  const int left = timeout - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  Clock::now() - start).count());
  LinkReader* rd = new LinkReader(fd, conn, keepGoing);
  *rdOut = rd;
  rd->setDeadline(left > 0 ? left : 1);
  HandshakeState hs;
  std::string line;
  bool done = false;
  while (!done) {
    int r = rd->readLine(line);
    if (r <= 0) {
      if (rd->timedOut()) {
        zlogLimited(LOG_ERR, "handshake not finished within %d s, connection closed", timeout / 1000);
        return KeyStage::Refused;
      }
      if (r < 0 && w->running.load() != 0) zlogLimited(LOG_ERR, "TCP read error %d", rd->lastErrno());
      return KeyStage::Gone;  // the peer left: accept the next one
    }
    done = wsHandshakeLine(hs, line, 's');
  }
  const char* lines[5] = {"HTTP/1.1 101 Switching Protocols\r\n", "Upgrade: websocket\r\n", "Connection: Upgrade\r\n",
                          nullptr, "Sec-WebSocket-Protocol: chat\r\n\r\n"};
  std::string accept = "Sec-WebSocket-Accept: " + wsAcceptValue(hs.key) + "\r\n";
  for (int i = 0; i < 5; i++) {
    const std::string l = lines[i] != nullptr ? lines[i] : accept;
    bool ok = connSend(fd, conn, l);
    zlogLimited(LOG_INFO, "sent %d bytes error %d", ok ? static_cast<int>(l.size()) : -1, ok ? 0 : errno);
    zlogLimited(LOG_INFO, "%s", l.c_str());
    if (!ok) return KeyStage::Gone;
  }
  frameLoop(w, *rd, st, true, true);
  if (st.keyAccepted) return KeyStage::Accepted;
  if (st.keyRefused || rd->timedOut()) return KeyStage::Refused;
  return KeyStage::Gone;
}

// Waits until no other connection holds the slot, ending the one that
// does: the newest connection with the key wins (an owner whose old
// connection died need not wait for it to time out).
bool takeSlot(Works* w, StationShared& sh, int fd) {
  std::unique_lock<std::mutex> lk(sh.mu);
  while (sh.sessionActive) {
    if (w->running.load() == 0) return false;
    netShutdown(sh.sessionFd);
    sh.cv.wait_for(lk, std::chrono::milliseconds(100));
  }
  sh.sessionActive = true;
  sh.sessionFd = fd;
  return true;
}

void leaveSlot(StationShared& sh) {
  std::lock_guard<std::mutex> lk(sh.mu);
  sh.sessionActive = false;
  sh.sessionFd = -1;
  sh.cv.notify_all();
}

// One station connection: handshake, key, then (with the key) the
// session in the one slot.
void serveConnection(Works* w, StationShared& sh, int fd, const std::string& peer) {
  const int gen = w->keyGeneration.load();
  auto keepGoing = [w, gen] { return w->running.load() != 0 && w->keyGeneration.load() == gen; };
  const std::string key = currentAccessKey(w);
  LinkState st('s');
  st.peer = peer;
  TlsConn* tls = nullptr;
  LinkReader* rdp = nullptr;
  KeyStage k = handshakeAndKey(w, fd, &tls, &rdp, st, key, keepGoing);
  std::unique_ptr<LinkReader> rd(rdp);
  {
    std::lock_guard<std::mutex> lk(sh.mu);
    sh.guard.handshakeEnded(peer);
    if (k == KeyStage::Accepted) sh.guard.succeeded(peer);
    if (k == KeyStage::Refused) sh.guard.failed(peer, nowMs());
  }
  if (k != KeyStage::Accepted || !takeSlot(w, sh, fd)) {
    tlsFree(tls);
    netClose(fd);
    return;
  }
  installLink(w, fd, tls);
  setConnected(w, 1);
  w->tlsRefused = 0;
  fprintf(stderr, "connected\n");
  rd->clearDeadline();
  if (tls != nullptr) rd->setIoLock(w->sendMut);
  frameLoop(w, *rd, st, true);
  zlogLimited(LOG_INFO, "TCP exiting");
  setConnected(w, 0);
  releaseLink(w, fd, tls);
  // A bank change the throttle still holds is saved now (by the timer,
  // which applies the panel's actions).
  PanelEvent ended;
  ended.act = PanelAct::RemoteEnded;
  w->panelQ.post(ended);
  zlogLimited(LOG_INFO, "TCP closed");
  stationLinkLost(w);
  leaveSlot(sh);
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
  int ls = netListen(port, LinkGuard::kMaxPending + 1, &stage, w->listenAddr);
  if (ls < 0) {
    const char* what[3] = {"Socket open error %d", "Binding error %d", "Listening error %d"};
    zlogLimited(LOG_ERR, what[stage], errno);
    wsThreadRunning = 0;
    return;
  }
  wsListeningPort = netLocalPort(ls);
  zlogLimited(LOG_INFO, "Listening on port %d", wsListeningPort.load());
  if (currentAccessKey(w).empty()) zlogLimited(LOG_ERR, "no access key in remote.txt: every peer is refused");
  StationShared sh;
  std::list<Worker> workers;
  int gen = w->keyGeneration.load();
  // This thread only accepts, asks the guard and hands each admitted
  // connection to a thread of its own (at most kMaxPending in their
  // handshake, plus the session).
  while (w->running.load() != 0) {
    workers.remove_if([](Worker& wk) {
      if (!wk.done.load()) return false;
      wk.th.join();
      return true;
    });
    if (w->keyGeneration.load() != gen) {
      // A new key: the link made with the old one ends.
      gen = w->keyGeneration.load();
      std::lock_guard<std::mutex> lk(sh.mu);
      if (sh.sessionActive) netShutdown(sh.sessionFd);
    }
    if (netWaitReadable(ls, 100) <= 0) continue;
    std::string peer;
    int fd = netAccept(ls, [] { return true; }, &peer);
    if (fd < 0) {
      zlogLimited(LOG_ERR, "Accept-ing error %d", errno);
      sleepMs(w, 100);
      continue;
    }
    int64_t waitMs = 0;
    LinkGuard::Verdict v;
    {
      std::lock_guard<std::mutex> lk(sh.mu);
      v = sh.guard.admit(peer, nowMs(), &waitMs);
    }
    if (v == LinkGuard::Verdict::Busy) {
      zlogLimited(LOG_ERR, "connection from %s closed: %d connections already wait for their key", peer.c_str(),
                  LinkGuard::kMaxPending);
      netClose(fd);
      continue;
    }
    if (v == LinkGuard::Verdict::Delayed) {
      zlogLimited(LOG_ERR, "connection from %s closed: refused keys, it waits %lld s more", peer.c_str(),
                  static_cast<long long>((waitMs + 999) / 1000));
      netClose(fd);
      continue;
    }
    zlogLimited(LOG_INFO, "Connected by %s", peer.c_str());
    workers.emplace_back();
    Worker& wk = workers.back();
    const size_t logGroup = logGroupCurrent();
    wk.th = std::thread([w, &sh, &wk, fd, peer, logGroup] {
      logGroupJoin(logGroup);  // every connection shares the listener's log budget
      serveConnection(w, sh, fd, peer);
      wk.done = true;
    });
  }
  for (Worker& wk : workers) wk.th.join();
  setConnected(w, 0);
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
    const int gen = w->keyGeneration.load();
    auto keepGoing = [w, gen] { return w->running.load() != 0 && w->keyGeneration.load() == gen; };
    const std::string accessKey = currentAccessKey(w);
    TlsConn* tls = nullptr;
    bool sent = true;
    if (w->linkTls.load() != 0) {
      // Nothing of ours goes out before the station proved it has the key.
      TlsFail why = TlsFail::None;
      tls = tlsConnect(fd, accessKey, wsHandshakeTimeoutMs.load(), keepGoing, &why);
      if (tls == nullptr) {
        zlogLimited(LOG_ERR, "TLS with %s failed: %s; not connected", w->Server, tlsFailText(why));
        if (why != TlsFail::Refused) w->tlsRefused = 1;
        badAnswers++;
        sent = false;
      }
    }
    std::string req[6];
    wsClientRequest(w->Server, port, key, req);
    for (const std::string& l : req) {
      if (!sent) break;
      if (!connSend(fd, tls, l)) {
        zlogLimited(LOG_ERR, "TCP write Error");
        sent = false;
        break;
      }
      zlogLimited(LOG_INFO, "TCP write %d bytes\n", static_cast<int>(l.size()));
    }
    LinkReader rd(fd, tls, keepGoing);
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
    if (done && keyOk && !accessKey.empty()) {
      std::string kf = wsShortText(accessKey.data(), static_cast<int>(accessKey.size()));
      if (connSend(fd, tls, kf)) {
        installLink(w, fd, tls);
        setConnected(w, 1);
        w->tlsRefused = 0;
        sleepMs(w, 20);
        zlog(LOG_INFO, "Websocket Connected");
        LinkState st('c');
        st.stationProven = tls != nullptr;
        rd.clearDeadline();
        if (tls != nullptr) rd.setIoLock(w->sendMut);
        frames = frameLoop(w, rd, st, false);
      }
    } else if (done && keyOk) {
      zlogLimited(LOG_ERR, "no access key in remote.txt: not connected");
    }
    setConnected(w, 0);
    if (frames > 0) clearStationStatus(w);
    zlogLimited(LOG_INFO, "reconnecting");
    releaseLink(w, fd, tls);
    // A server that drops us before sending anything (a wrong access key)
    // is tried again every 2 s, not ten times a second; one that answers
    // the handshake wrongly (or fails TLS) waits longer each time, up to
    // a minute.
    if (frames > 0) badAnswers = 0;
    sleepMs(w, frames > 0 ? 100 : wsRetryDelayMs(badAnswers));
  }
  setConnected(w, 0);
  wsThreadRunning = 0;
}
