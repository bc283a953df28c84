// The remote link over loopback: the station (Wsocket) and the operator
// unit (Wclient) against a raw peer written here from the wire format,
// and the two against each other. Every socket is on 127.0.0.1 with an
// ephemeral port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "amp/amp_status.h"
#include "core/works.h"
#include "display/fb.h"
#include "platform/log.h"
#include "platform/net.h"
#include "radio/zel_link.h"
#include "menus/panel_apply.h"
#include "remote/remote_dispatch.h"
#include "remote/remote_senders.h"
#include "remote/ws_link.h"
#include "remote/ws_proto.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

const char kKey[] = "Hx7pQ2rT9wLm";
const char kRfcKey[] = "dGhlIHNhbXBsZSBub25jZQ==";

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

std::string shortBin(const char* type, const std::string& data) {
  return wsShortBinary(type, reinterpret_cast<const uint8_t*>(data.data()), static_cast<int>(data.size()));
}

// Masked short text frame with a non-zero masking key.
std::string maskedText(const std::string& payload, uint32_t mask = 0x11223344) {
  std::string f = bytes({0x81, static_cast<int>(payload.size())});
  uint8_t k[4];
  wsPutBE32(k, mask);
  f.append(reinterpret_cast<char*>(k), 4);
  for (size_t i = 0; i < payload.size(); i++) f += static_cast<char>(payload[i] ^ k[i % 4]);
  return f;
}

// A 31-byte parameter block: VFO A at freq, transmitting when tx, pitch
// 600 Hz (bytes 23..25) and offset 5 Hz (bytes 26..30, only read from a
// block longer than 30 bytes).
std::string paramBlock(int freq, bool tx) {
  std::string b(31, '\0');
  for (int i = 0; i < 8; i++) b[1 + i] = static_cast<char>(0x30 | ((freq >> (4 * (7 - i))) & 0xF));
  b[9] = static_cast<char>(0x80 | (tx ? 0x40 : 0) | 2);
  b[23] = 0x32;
  b[24] = 0x35;
  b[25] = 0x38;
  for (int i = 26; i < 30; i++) b[i] = 0x30;
  b[30] = 0x35;
  return b;
}

// The test's end of a TCP connection.
struct Peer {
  int fd = -1;
  ~Peer() { closeIt(); }
  void closeIt() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  bool connectTo(int port) {
    uint32_t a = htonl(INADDR_LOOPBACK);
    fd = netConnect(a, static_cast<uint16_t>(port), 5000);
    return fd >= 0;
  }
  void send(const std::string& s) { ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())); }
  // Writes s in pieces cut at random points.
  void sendSplit(const std::string& s, unsigned seed) {
    std::mt19937 rng(seed);
    size_t at = 0;
    while (at < s.size()) {
      size_t n = 1 + rng() % 40;
      if (n > s.size() - at) n = s.size() - at;
      ASSERT_EQ(::send(fd, s.data() + at, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
      at += n;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  // Exactly n bytes, or what came before the deadline.
  std::string read(size_t n, int timeoutMs = 15000) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
      ssize_t r = recv(fd, buf, want, 0);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  // Reads up to and including the first occurrence of end.
  std::string readUntil(const std::string& end, int timeoutMs = 15000) {
    std::string out;
    while (out.size() < end.size() || out.compare(out.size() - end.size(), end.size(), end) != 0) {
      std::string c = read(1, timeoutMs);
      if (c.empty()) break;
      out += c;
    }
    return out;
  }
  // True once the other side has closed (reads end), within the deadline.
  bool closedWithin(int timeoutMs = 15000) {
    return waitFor([&] {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) return false;
      char c;
      ssize_t r = recv(fd, &c, 1, MSG_DONTWAIT);
      return r == 0 || (r < 0 && errno != EAGAIN);
    }, timeoutMs);
  }
};

// The first 44 characters of a station status text: band, work mode 1,
// attenuator 1, antenna 1 (0-based 0), amplifier bypass 1, tuner state,
// no autotune, SWR, forward power, 3 W drive, temperature, 12.0 V,
// current, bank 1, no error, one filler digit.
std::string statusText(char tuner, float swr, float fwd, float temp, float amps) {
  char b[64];
  snprintf(b, sizeof b, "40m 1101%c0%06.02f%06.2f%06.02f%04.01f%4.1f%04.01f%02d00", tuner, swr, fwd, 3.0, temp, 12.0,
           amps, 1);
  EXPECT_EQ(strlen(b), 44u);
  return b;
}

std::string clientRequest(int port, const std::string& key) {
  std::string lines[6];
  wsClientRequest("127.0.0.1", port, key, lines);
  std::string all;
  for (auto& l : lines) all += l;
  return all;
}

std::string serverResponse(const std::string& accept) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " + accept + "\r\nSec-WebSocket-Protocol: chat\r\n\r\n";
}

// ------------------------------------------------------------ pure parts

TEST(WsProto, AcceptValueAndHandshakeCounting) {
  EXPECT_EQ(wsAcceptValue(kRfcKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

  // All seven counted headers: answered after the one empty line (8).
  const char* seven[] = {"GET /chat HTTP/1.1\r\n", "Host: x:1\r\n", "Upgrade: websocket\r\n",
                         "Connection: keep-alive, Upgrade\r\n", "Sec-WebSocket-Key: abc\r\n",
                         "Sec-WebSocket-Protocol: chat\r\n", "Sec-WebSocket-Version: 13\r\n"};
  HandshakeState a;
  for (const char* l : seven) EXPECT_FALSE(wsHandshakeLine(a, l, 's')) << l;
  EXPECT_TRUE(wsHandshakeLine(a, "\r\n", 's'));
  EXPECT_EQ(a.key, "abc");
  EXPECT_EQ(a.count, 8);

  // One header short: the first empty line is not enough.
  HandshakeState b;
  for (int i = 0; i < 6; i++) wsHandshakeLine(b, seven[i], 's');
  EXPECT_FALSE(wsHandshakeLine(b, "\r\n", 's'));
  EXPECT_TRUE(wsHandshakeLine(b, "\r\n", 's'));

  // The client's request as lines: its last line carries two empty lines,
  // and the server answers on the second of them.
  std::string req = clientRequest(6666, kRfcKey);
  HandshakeState c;
  std::vector<bool> done;
  size_t at = 0;
  while (at < req.size()) {
    size_t nl = req.find('\n', at);
    done.push_back(wsHandshakeLine(c, req.substr(at, nl + 1 - at), 's'));
    at = nl + 1;
  }
  ASSERT_EQ(done.size(), 8u);
  EXPECT_FALSE(done[6]);
  EXPECT_TRUE(done[7]);
  EXPECT_EQ(c.key, kRfcKey);

  // The client's side of the server's answer: five lines and the empty one.
  HandshakeState d;
  std::string resp = serverResponse("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  at = 0;
  bool last = false;
  while (at < resp.size()) {
    size_t nl = resp.find('\n', at);
    last = wsHandshakeLine(d, resp.substr(at, nl + 1 - at), 'c');
    at = nl + 1;
  }
  EXPECT_TRUE(last);
  EXPECT_EQ(d.key, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WsProto, FramesKeepTheirAlignmentWhateverTheirLength) {
  std::string line(854, '\0');
  for (size_t i = 0; i < line.size(); i++) line[i] = static_cast<char>(i * 7);
  std::string chunk = wsChunk("SP", reinterpret_cast<const uint8_t*>(line.data()), 854, 512);
  ASSERT_EQ(chunk.size(), 526u);
  EXPECT_EQ(chunk.substr(0, 14), bytes({0x82, 126, 0x02, 0x0A, 'S', 'P', 0, 0, 3, 0x56, 0, 0, 2, 0}));
  EXPECT_EQ(chunk.substr(14, 342), line.substr(512));
  EXPECT_EQ(chunk.substr(356), std::string(170, '\0'));  // filler, never read past the line

  std::string big = bytes({0x82, 126, 0x07, 0xD0}) + std::string(2000, 'x');   // 2000 > buffer
  std::string form127 = bytes({0x82, 127, 0, 0, 0, 12}) + std::string(10, 'y');  // N - 2 = 10
  std::string stream = chunk + big + bytes({0x82, 0}) + form127 + maskedText("XY0012300456") +
                       shortBin("ST", "MIRKFD12");
  std::mt19937 rng(7);
  size_t at = 0;
  WsRead src = [&](uint8_t* b, int n) {
    if (at >= stream.size()) return 0;
    int k = 1 + static_cast<int>(rng() % 37);
    if (k > n) k = n;
    if (static_cast<size_t>(k) > stream.size() - at) k = static_cast<int>(stream.size() - at);
    memcpy(b, stream.data() + at, static_cast<size_t>(k));
    at += static_cast<size_t>(k);
    return k;
  };
  WsFrame f;
  ASSERT_EQ(wsReadFrame(src, f), 0);
  EXPECT_EQ(f.kind, WsKind::LongBinary);
  EXPECT_EQ(f.stored, 4 + 522);
  EXPECT_EQ(at, 526u);
  ASSERT_EQ(wsReadFrame(src, f), 0);
  EXPECT_EQ(f.kind, WsKind::Oversize);
  ASSERT_EQ(wsReadFrame(src, f), 0);  // a zero-length binary frame ends after two bytes
  EXPECT_EQ(f.stored, 2);
  ASSERT_EQ(wsReadFrame(src, f), 0);
  EXPECT_EQ(f.stored, 16);
  ASSERT_EQ(wsReadFrame(src, f), 0);
  EXPECT_EQ(f.kind, WsKind::ShortText);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.b + 6), 12), "XY0012300456");
  ASSERT_EQ(wsReadFrame(src, f), 0);
  EXPECT_EQ(f.kind, WsKind::ShortBinary);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data()), static_cast<size_t>(f.dataLen())), "MIRKFD12");
  EXPECT_EQ(at, stream.size());

  // A 127-form length of 2^32 - 1 is refused at once: nothing allocated, nothing read.
  stream = bytes({0x82, 127, 0xFF, 0xFF, 0xFF, 0xFF});
  at = 0;
  EXPECT_EQ(wsReadFrame(src, f), 9);
}

TEST(WsProto, ChunkedMessagesCompleteOnTheirLastChunkAndStayInTheirBuffer) {
  auto collect = [](uint8_t* buf, size_t cap, const std::string& msg, std::vector<int>* results) {
    for (uint32_t o = 0; o < msg.size(); o += 512) {
      std::string c = wsChunk("SP", reinterpret_cast<const uint8_t*>(msg.data()), static_cast<uint32_t>(msg.size()), o);
      uint32_t t = 0;
      results->push_back(wsCollectChunk(buf, cap, reinterpret_cast<const uint8_t*>(c.data()) + 6, 520, &t));
    }
  };
  std::string m854(854, 'a'), m512(512, 'b'), m1706(1706, 'c');
  for (size_t i = 0; i < m854.size(); i++) m854[i] = static_cast<char>(i);
  uint8_t buf[1024 + 64];
  std::vector<int> r;
  collect(buf, 1024, m854, &r);
  EXPECT_EQ(r, (std::vector<int>{0, 1}));
  EXPECT_EQ(memcmp(buf, m854.data(), 854), 0);
  r.clear();
  collect(buf, 1024, m512, &r);
  EXPECT_EQ(r, (std::vector<int>{1}));
  // The USB reader's 1706-byte line on the operator's 1024-byte buffer.
  memset(buf, 0xEE, sizeof buf);
  r.clear();
  collect(buf, 1024, m1706, &r);
  EXPECT_EQ(r, (std::vector<int>{0, 0, 0, 1}));
  EXPECT_EQ(buf[1023], 'c');
  for (size_t i = 1024; i < sizeof buf; i++) ASSERT_EQ(buf[i], 0xEE) << i;
}

TEST(RemoteCommands, DividerAndSpectrumSourceBankAndReboot) {
  TempRoot root;
  TestWorks tw;
  Works* w = tw.get();
  w->MAXbank = 20;
  w->NumBanco = 3;
  auto run = [&](const char* cmd) {
    snprintf(w->remoteCmd, sizeof w->remoteCmd, "%s", cmd);
    dispStat(w);
    PanelDrain(w);  // the timer applies what acts on the panel
  };
  run("MIRKFD12");
  EXPECT_EQ(w->Divide, 12);
  w->Divide = 1;
  run("MIRKFT01");
  EXPECT_EQ(runByte(tw.setup.spectrumSource), '1');
  EXPECT_EQ(tw.setup.Enable1600, '0');
  EXPECT_EQ(w->Divide, 2);
  w->Divide = 7;
  run("MIRKFT02");
  EXPECT_EQ(tw.setup.Enable1600, '1');
  EXPECT_EQ(w->Divide, 7);
  run("MIRKFT00");
  EXPECT_EQ(runByte(tw.setup.spectrumSource), '0');
  run("MIRKBANK");
  EXPECT_EQ(w->NumBanco, 4);
  EXPECT_EQ(w->AntennaRowIdx, -1);
  EXPECT_NE(root.readFile("/opt/set/setup.txt").find("NumBanco: 4\n"), std::string::npos);
  w->NumBanco = 19;
  run("MIRKPA1");
  EXPECT_EQ(w->NumBanco, 0);  // wraps at MAXbank
  run("0000000000000000000000000000000000000000000");  // a status text: printed only
  EXPECT_EQ(root.stubLog().find("reboot"), std::string::npos);
  run("MIRKRB");
  EXPECT_EQ(w->tinyCmdReq.load(), 197);
  EXPECT_NE(root.stubLog().find("reboot"), std::string::npos);
}

// ---------------------------------------------------------- the station

class StationLink : public ::testing::Test {
 protected:
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  std::unique_ptr<ThreadRunner> th;
  int port = 0;
  int catPipe[2] = {-1, -1};

  void SetUp() override {
    setenv("ZELPYX_LISTEN_ADDR", "127.0.0.1", 1);
    wsStartDelayMs = 0;
    w = tw.get();
    setRunByte(tw.setup.WebSocket, '1');
    strcpy(tw.setup.Quality, "100");
    snprintf(w->accessKey, sizeof w->accessKey, "%s", kKey);
    w->TcpPort = 0;
    w->MAXbank = 20;
    ASSERT_EQ(pipe(catPipe), 0);
    fcntl(catPipe[0], F_SETFL, O_NONBLOCK);
    w->catFD = catPipe[1];
    ASSERT_TRUE(waitFor([] { return wsListeningPort.load() == 0; }));
    th.reset(new ThreadRunner(w, Wsocket));
    ASSERT_TRUE(waitFor([&] { return (port = wsListeningPort.load()) > 0; }));
  }
  void TearDown() override {
    th.reset();
    wsHandshakeTimeoutMs = 10000;
    w->catFD = -1;
    close(catPipe[0]);
    close(catPipe[1]);
  }
  std::string catWritten() {
    char buf[256];
    ssize_t n = ::read(catPipe[0], buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // Connects, handshakes with the RFC example key and checks the answer.
  void handshake(Peer& p) {
    ASSERT_TRUE(p.connectTo(port));
    p.send(clientRequest(port, kRfcKey));
    EXPECT_EQ(p.readUntil("\r\n\r\n"), serverResponse("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
  }
  void login(Peer& p) {
    handshake(p);
    p.send(wsShortText(kKey, 12));
    ASSERT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));
  }
};

TEST_F(StationLink, AnswersTheHandshakeTakesTheKeyAndSendsWholeFrames) {
  Peer p;
  login(p);
  std::string block = paramBlock(7074000, false);
  sendWebSockSerParFrame(w, reinterpret_cast<const uint8_t*>(block.data()), 31);
  EXPECT_EQ(p.read(35), bytes({0x82, 33, 'P', 'A'}) + block);
  std::string status = statusText('T', 1.1f, 100, 45.0f, 0) + "0000000;";
  sendWebSockStatusFrame(w, status.c_str(), 44);
  EXPECT_EQ(p.read(48), bytes({0x82, 46, 'S', 'T'}) + status.substr(0, 44));
  std::string line(854, 'L');
  sendWebSockSerSpectrFrame(w, reinterpret_cast<const uint8_t*>(line.data()), 854);
  std::string two = p.read(2 * 526);
  ASSERT_EQ(two.size(), 1052u);
  EXPECT_EQ(two.substr(0, 14), bytes({0x82, 126, 2, 10, 'S', 'P', 0, 0, 3, 0x56, 0, 0, 0, 0}));
  EXPECT_EQ(two.substr(526, 14), bytes({0x82, 126, 2, 10, 'S', 'P', 0, 0, 3, 0x56, 0, 0, 2, 0}));
  sendWebSockEventFrame(w, 123, 456);
  EXPECT_EQ(p.read(18), bytes({0x81, 12, 0, 0, 0, 0}) + "XY0012300456");
  // A CAT text from the operator goes to the radio's CAT port; an empty one writes nothing.
  p.send(shortBin("CA", "") + shortBin("CA", "FA00007074000;"));
  EXPECT_TRUE(waitFor([&] { return catWritten() == "FA00007074000;"; }));
}

TEST_F(StationLink, AWrongKeyDropsThePeerAndTheStationAcceptsAgain) {
  Peer p;
  handshake(p);
  p.send(wsShortText("Hx7pQ2rT9wLn", 12));
  EXPECT_TRUE(p.closedWithin());
  EXPECT_EQ(w->remoteConnected.load(), 0);
  Peer q;
  login(q);
}

TEST_F(StationLink, NothingBeforeTheKeyReachesTheRadioTheBankOrTheReboot) {
  Peer p;
  handshake(p);
  w->NumBanco = 2;
  p.send(shortBin("CA", "TX1;") + shortBin("ST", "MIRKRB") + shortBin("ST", "MIRKBANK") +
         shortBin("ST", "MIRKFD12"));
  p.send(wsShortText(kKey, 12));
  ASSERT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));
  p.send(shortBin("ST", "MIRKFD7"));
  ASSERT_TRUE(waitFor([&] { return w->Divide == 7; }));
  EXPECT_EQ(catWritten(), "");
  EXPECT_EQ(w->NumBanco, 2);
  EXPECT_EQ(root.stubLog().find("reboot"), std::string::npos);
}

TEST_F(StationLink, FramesSplitAtRandomAndOversizeLengthsKeepTheLinkInStep) {
  Peer p;
  login(p);
  std::string s = shortBin("ST", "MIRKFD3") + bytes({0x82, 126, 0x0B, 0xB8}) + std::string(3000, 'z') +
                  bytes({0x82, 127, 0, 0, 0, 52}) + std::string(50, 'q') + bytes({0x82, 0}) +
                  wsChunk("SP", reinterpret_cast<const uint8_t*>("abc"), 3, 0) + shortBin("ST", "MIRKFD12");
  p.sendSplit(s, 11);
  ASSERT_TRUE(waitFor([&] { return w->Divide == 12; }));
  EXPECT_EQ(w->remoteConnected.load(), 1);
  // A text frame whose length code has the mask bit (what browsers send)
  // does not say its length: the peer is dropped.
  p.send(bytes({0x81, 0x80 | 6, 0, 0, 0, 4}) + "MIRKRB");
  EXPECT_TRUE(p.closedWithin());
  EXPECT_EQ(root.stubLog().find("reboot"), std::string::npos);
  Peer q;
  login(q);
}

TEST_F(StationLink, APeerThatNeverFinishesIsDroppedAfterTheTimeout) {
  wsHandshakeTimeoutMs = 400;
  Peer silent;
  ASSERT_TRUE(silent.connectTo(port));
  EXPECT_TRUE(silent.closedWithin());
  Peer noKey;
  handshake(noKey);
  EXPECT_TRUE(noKey.closedWithin());
  EXPECT_EQ(w->remoteConnected.load(), 0);
  wsHandshakeTimeoutMs = 10000;
  Peer p;
  login(p);
}

// ---------------------------------------------------- the operator unit

class OperatorLink : public ::testing::Test {
 protected:
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  ZelParam zp{};
  int ls = -1;
  int port = 0;
  std::string randomBytes = std::string("0123456789abcdef");

  void SetUp() override {
    // The rooted random source: the client key is known to the test.
    root.writeFile("/dev/urandom", randomBytes + "more than sixteen bytes");
    w = tw.get();
    w->zelParam = &zp;
    setRunByte(tw.setup.WebSocket, '2');
    setRunByte(tw.setup.EnableLinear, '0');
    snprintf(w->accessKey, sizeof w->accessKey, "%s", kKey);
    snprintf(w->Server, sizeof w->Server, "127.0.0.1");
    ls = netListenLoopback(0, 1);
    ASSERT_GE(ls, 0);
    port = netLocalPort(ls);
    w->TcpPort = static_cast<int16_t>(port);
  }
  void TearDown() override { close(ls); }

  // Accepts the operator, checks its request and answers with accept.
  int acceptOperator(Peer& p, const std::string& accept) {
    std::string peer;
    p.fd = netAccept(ls, [] { return true; }, &peer);
    if (p.fd < 0) return -1;
    std::string key = wsClientKey(reinterpret_cast<const uint8_t*>(randomBytes.data()));
    EXPECT_EQ(p.readUntil("\r\n\r\n\r\n"), clientRequest(port, key));
    p.send(serverResponse(accept.empty() ? wsAcceptValue(key) : accept));
    return 0;
  }
};

TEST_F(OperatorLink, SendsItsKeyTakesTheStationsFramesAndReconnectsWithTheSameKey) {
  ThreadRunner th(w, Wclient);
  Peer p;
  ASSERT_EQ(acceptOperator(p, ""), 0);
  EXPECT_EQ(p.read(18), bytes({0x81, 12, 0, 0, 0, 0}) + kKey);
  ASSERT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));

  // A 31-byte block: length code 33, decoded as 31 bytes (the offset
  // digits end at byte 30).
  std::string pa = shortBin("PA", paramBlock(0x6BF0C8, false));
  ASSERT_EQ(static_cast<uint8_t>(pa[1]), 33);
  p.send(pa);
  EXPECT_TRUE(waitFor([&] {
    ZelParam c;
    getParameters(w, &c);
    return c.freq == 0x6BF0C8 && c.offset == 5 && c.pitch == 600;
  }));

  std::string line(854, '\0');
  for (size_t i = 0; i < line.size(); i++) line[i] = static_cast<char>(192 + (i % 40));
  for (uint32_t o = 0; o < 854; o += 512)
    p.send(wsChunk("SP", reinterpret_cast<const uint8_t*>(line.data()), 854, o));
  EXPECT_TRUE(waitFor([&] {
    float lv[kSpectrumPoints];
    getSpectrumLevels(w, lv);
    // Levels from byte 85 on; the line ends at 853, the rest is the floor.
    return lv[0] == (85 % 40) && lv[768] == (853 % 40) && lv[769] == -192.0f;
  }));

  // The station's status lands in the meters' fields.
  p.send(shortBin("ST", statusText('B', 2.0f, 500, 54.5f, 7.0f)));
  EXPECT_TRUE(waitFor([&] { return std::fabs(GetAmpStatus(w).FWD - 500.0f) < 0.01f; }));
  EXPECT_NEAR(GetAmpStatus(w).SWR, 2.0f, 1e-4);
  EXPECT_NEAR(GetAmpStatus(w).pwrRefl, 500.0f / 9.0f, 0.01);  // |r| = 1/3
  EXPECT_NEAR(GetAmpStatus(w).tempBoard, 54.5f, 1e-4);
  EXPECT_NEAR(GetAmpStatus(w).paCurrentRaw / 4096.0 * 14.05, 7.0, 0.01);
  EXPECT_EQ(w->AmpBypassFlag, 1);
  EXPECT_EQ(w->AtuBypassFlag, 1);
  EXPECT_EQ(GetAmpStatus(w).ampStatus[1] & 1, 1);  // on the air: the TX box shows
  p.send(shortBin("ST", statusText('T', 0, 0, 54.5f, 0)));
  EXPECT_TRUE(waitFor([&] { return GetAmpStatus(w).FWD == 0.0f && (GetAmpStatus(w).ampStatus[1] & 1) == 0; }));
  // A remote command is not a status text.
  StationStatus s;
  EXPECT_FALSE(decodeStationStatus("MIRKBANK", 8, &s));

  // When the station goes away the meters go to rest and the TX box out.
  p.send(shortBin("ST", statusText('T', 1.5f, 400, 50.0f, 6.0f)));
  ASSERT_TRUE(waitFor([&] { return (GetAmpStatus(w).ampStatus[1] & 1) == 1; }));
  p.closeIt();
  EXPECT_TRUE(waitFor([&] { return GetAmpStatus(w).FWD == 0.0f && (GetAmpStatus(w).ampStatus[1] & 1) == 0; }));
  Peer again;
  ASSERT_EQ(acceptOperator(again, ""), 0);  // same key: checked inside
  EXPECT_EQ(again.read(18), bytes({0x81, 12, 0, 0, 0, 0}) + kKey);
  EXPECT_EQ(w->running.load(), 1u);
}

// A server that cannot answer the handshake is dropped and tried again
// later, waiting longer each time; the unit itself goes on.
TEST_F(OperatorLink, AWrongAcceptValueDropsThatServerAndRetriesLater) {
  ThreadRunner th(w, Wclient);
  for (int attempt = 0; attempt < 2; attempt++) {
    Peer p;
    ASSERT_EQ(acceptOperator(p, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), 0);
    // Nothing follows a wrong answer: no key goes to that server.
    EXPECT_TRUE(p.closedWithin());
    EXPECT_EQ(w->remoteConnected.load(), 0);
  }
  EXPECT_EQ(w->running.load(), 1u);
  // The third attempt is answered right and connects.
  Peer ok;
  ASSERT_EQ(acceptOperator(ok, ""), 0);
  EXPECT_EQ(ok.read(18), bytes({0x81, 12, 0, 0, 0, 0}) + kKey);
  EXPECT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));
  // 2 s doubling to a minute.
  EXPECT_EQ(wsRetryDelayMs(1), 2000);
  EXPECT_EQ(wsRetryDelayMs(2), 4000);
  EXPECT_EQ(wsRetryDelayMs(5), 32000);
  EXPECT_EQ(wsRetryDelayMs(6), 60000);
  EXPECT_EQ(wsRetryDelayMs(40), 60000);
}

// ------------------------------------------------------- both units

TEST(TwoUnits, TheOperatorGetsTheStationsScreenOnRequestAndALostLinkUnkeysTheRadio) {
  TempRoot root;
  root.writeFile("/dev/urandom", std::string(32, 'r'));
  setenv("ZELPYX_LISTEN_ADDR", "127.0.0.1", 1);
  wsStartDelayMs = 0;
  TestWorks st, op;
  ZelParam stZp{}, opZp{};
  FbInfo* stFb = fbCreateMemory(800, 480);
  FbInfo* opFb = fbCreateMemory(800, 480);
  for (unsigned i = 0; i < stFb->memSize; i += 4) {
    stFb->workBuf[i] = 40;
    stFb->workBuf[i + 1] = 120;
    stFb->workBuf[i + 2] = 200;
    stFb->workBuf[i + 3] = 0;
  }
  st->fb = stFb;
  op->fb = opFb;
  st->zelParam = &stZp;
  op->zelParam = &opZp;
  setRunByte(st.setup.WebSocket, '1');
  setRunByte(op.setup.WebSocket, '2');
  setRunByte(op.setup.EnableLinear, '0');
  strcpy(st.setup.Quality, "90");
  for (TestWorks* t : {&st, &op}) snprintf((*t)->accessKey, sizeof (*t)->accessKey, "%s", kKey);
  st->TcpPort = 0;
  ASSERT_TRUE(waitFor([] { return wsListeningPort.load() == 0; }));
  ThreadRunner station(st.get(), Wsocket);
  ASSERT_TRUE(waitFor([] { return wsListeningPort.load() > 0; }));
  op->TcpPort = static_cast<int16_t>(wsListeningPort.load());
  snprintf(op->Server, sizeof op->Server, "127.0.0.1");
  std::unique_ptr<ThreadRunner> oper(new ThreadRunner(op.get(), Wclient));
  ASSERT_TRUE(waitFor([&] { return st->remoteConnected.load() == 1 && op->remoteConnected.load() == 1; }));

  // The operator asks for the station's screen: shown and kept as the background.
  logCaptureStart();
  sendWebSockStatusFrame(op.get(), "MIRKFB", 6);
  auto near = [](const uint8_t* p) {
    return std::abs(p[0] - 40) <= 3 && std::abs(p[1] - 120) <= 3 && std::abs(p[2] - 200) <= 3 && p[3] == 255;
  };
  // Shown on the screen and kept in the background, all over.
  EXPECT_TRUE(waitFor([&] {
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    for (unsigned i = 0; i < opFb->memSize; i += 4 * 997)
      if (!near(opFb->backBuf + i) || !near(opFb->fbMem + i)) return false;
    return true;
  }));

  // A second request at once is not answered: no flood of screens.
  sendWebSockStatusFrame(op.get(), "MIRKFB", 6);
  EXPECT_TRUE(waitFor([] { return logContains("screen request ignored"); }));
  logCaptureStop();

  // The station's radio transmits; the parameter block reaches the operator.
  std::string block = paramBlock(14074000, true);
  storeParameters(st.get(), 31, reinterpret_cast<const uint8_t*>(block.data()));
  sendWebSockSerParFrame(st.get(), reinterpret_cast<const uint8_t*>(block.data()), 31);
  ASSERT_TRUE(waitFor([&] {
    ZelParam c;
    getParameters(op.get(), &c);
    return c.freq == 14074000 && c.txState == 1;
  }));
  EXPECT_EQ(st->txReqFlags.load() & 1, 0);

  logCaptureStart();
  oper.reset();  // the operator goes away mid-transmission
  EXPECT_TRUE(waitFor([&] { return st->remoteConnected.load() == 0; }));
  EXPECT_TRUE(waitFor([&] { return (st->txReqFlags.load() & 0x03) == 0x01; }));
  EXPECT_TRUE(waitFor([] { return logContains("lost while transmitting"); }));
  logCaptureStop();
  station.stop();
  fbRelease(stFb);
  fbRelease(opFb);
}

}  // namespace
