// Who may use the remote link: the unit's own key in remote.txt, the
// places for connections in their handshake, the wait of an address that
// fails the key, the pace of setup writes from remote commands, and the
// link over TLS. The station (Wsocket) and operator (Wclient) threads run
// in this process on 127.0.0.1; raw peers connect from other loop-back
// addresses (127.0.0.2 ...) to stand for other hosts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/remote_config.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/net.h"
#include "radio/zel_link.h"
#include "remote/link_guard.h"
#include "remote/remote_dispatch.h"
#include "remote/remote_senders.h"
#include "remote/ws_link.h"
#include "remote/ws_proto.h"
#include "tests/support/raw_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

const char kKey[] = "Hx7pQ2rT9wLm";
const char* const kRfcKey = kRawPeerRfcKey;

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
  return n;
}

}  // namespace

TEST(LinkGuard, FourPlacesTwoPerAddressAndADoublingWaitOnlyForTheAddressThatFails) {
  LinkGuard g;
  int64_t t = 1000000;
  EXPECT_EQ(g.admit("10.0.0.2", t), LinkGuard::Verdict::Admit);
  EXPECT_EQ(g.admit("10.0.0.2", t), LinkGuard::Verdict::Admit);
  EXPECT_EQ(g.admit("10.0.0.2", t), LinkGuard::Verdict::Busy);  // one address takes at most two
  EXPECT_EQ(g.admit("10.0.0.3", t), LinkGuard::Verdict::Admit);
  EXPECT_EQ(g.admit("10.0.0.4", t), LinkGuard::Verdict::Admit);
  EXPECT_EQ(g.admit("10.0.0.9", t), LinkGuard::Verdict::Busy);  // the fifth
  g.handshakeEnded("10.0.0.4");
  EXPECT_EQ(g.admit("10.0.0.9", t), LinkGuard::Verdict::Admit);
  for (const char* a : {"10.0.0.2", "10.0.0.2", "10.0.0.3", "10.0.0.9"}) g.handshakeEnded(a);
  EXPECT_EQ(g.pending(), 0);

  // Two failures are free; the third and each one after it make the
  // address wait 1, 2, 4 ... s, at most 5 min.
  const std::string bad = "10.0.0.66";
  g.failed(bad, t);
  g.failed(bad, t);
  EXPECT_EQ(g.admit(bad, t), LinkGuard::Verdict::Admit);
  g.handshakeEnded(bad);
  int64_t expect = 1000;
  for (int i = 0; i < 12; i++) {
    g.failed(bad, t);
    int64_t wait = 0;
    EXPECT_EQ(g.admit(bad, t + expect - 1, &wait), LinkGuard::Verdict::Delayed) << i;
    EXPECT_EQ(wait, 1);
    // The owner at another address is never delayed.
    EXPECT_EQ(g.admit("10.0.0.5", t), LinkGuard::Verdict::Admit);
    g.handshakeEnded("10.0.0.5");
    t += expect;
    ASSERT_EQ(g.admit(bad, t), LinkGuard::Verdict::Admit) << i;
    g.handshakeEnded(bad);
    expect = expect * 2 < 300000 ? expect * 2 : 300000;
  }
  // The right key clears the address.
  g.succeeded(bad);
  g.failed(bad, t);
  EXPECT_EQ(g.admit(bad, t), LinkGuard::Verdict::Admit);
  g.handshakeEnded(bad);

  // Bounded: a flood of addresses is forgotten from the oldest, and one
  // quiet for half an hour is forgotten at the next connection.
  for (int i = 0; i < 1000; i++) g.failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), t + i);
  EXPECT_LE(g.remembered(), LinkGuard::kMaxAddrs);
  g.admit("10.0.0.7", t + 2000 + LinkGuard::kForgetMs);
  EXPECT_EQ(g.remembered(), 1u);
}

TEST(RemoteFile, KeysAreUnbiasedAndABadFileKeepsWhatParses) {
  // Bytes 248..255 are skipped; the rest map four to one onto 62 characters.
  std::vector<uint8_t> b = {0, 61, 62, 247, 248, 255, 25, 26, 51, 52, 123, 185, 186};
  std::string key;
  EXPECT_EQ(keyCharsFromRandom(b.data(), static_cast<int>(b.size()), key, 12), 13);
  EXPECT_EQ(key, "A9A9Zaz099A");  // 11: the bytes ran out
  key.clear();
  EXPECT_EQ(keyCharsFromRandom(b.data(), static_cast<int>(b.size()), key, 3), 3);

  std::vector<RemoteConfigProblem> problems;
  bool keyLine = false;
  RemoteConfig c = parseRemoteConfig(
      "; the owner's\r\nlisten 10.1.2.3 \ntls maybe\nspeed fast\nkey   Ab3dEf6hIj9L\r\nlisten 999.1.1.1\n\n"
      "tls on\n" + std::string(300, 'x') + "\n",
      &problems, &keyLine);
  EXPECT_TRUE(keyLine);
  EXPECT_EQ(c.key, "Ab3dEf6hIj9L");
  EXPECT_EQ(c.listen, "10.1.2.3");
  EXPECT_TRUE(c.tls);
  ASSERT_EQ(problems.size(), 4u);
  EXPECT_EQ(problems[0].line, 3);
  EXPECT_EQ(problems[1].line, 4);
  EXPECT_EQ(problems[2].line, 6);
  EXPECT_EQ(problems[3].line, 9);
  // A key of the wrong length is no key (the station then refuses every
  // peer); the text never shows up in a problem.
  problems.clear();
  c = parseRemoteConfig("key short\n", &problems, &keyLine);
  EXPECT_TRUE(keyLine);
  EXPECT_EQ(c.key, "");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].text.find("short"), std::string::npos);

  // A file with only a key line is valid; start-up keeps it as written.
  TempRoot root;
  TestWorks tw;
  root.writeFile("/opt/set/remote.txt", "key velutrinaspo\n");
  EXPECT_EQ(loadRemoteConfig(tw.get()), 0);
  EXPECT_STREQ(tw->accessKey, "velutrinaspo");
  EXPECT_EQ(tw->linkTls.load(), 0);
  EXPECT_STREQ(tw->listenAddr, "");
  EXPECT_EQ(root.readFile("/opt/set/remote.txt"), "key velutrinaspo\n");
  // A file without a key line gets a fresh key, its other lines kept.
  root.writeFile("/dev/urandom", std::string(40, '\x07') + std::string(40, '\xfe'));
  root.writeFile("/opt/set/remote.txt", "tls on\nlisten 127.0.0.1\n");
  EXPECT_EQ(loadRemoteConfig(tw.get()), 0);
  EXPECT_EQ(root.readFile("/opt/set/remote.txt"), "key HHHHHHHHHHHH\nlisten 127.0.0.1\ntls on\n");
  EXPECT_NE(root.stubLog().find("mount -o remount defaults,rw /opt/set"), std::string::npos);
}

// ------------------------------------------------------------ the station

class SecureStation : public ::testing::Test {
 protected:
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  std::unique_ptr<ThreadRunner> th;
  std::unique_ptr<ThreadRunner> applier;
  int port = 0;

  void SetUp() override {
    setenv("ZELPYX_LISTEN_ADDR", "127.0.0.1", 1);
    wsStartDelayMs = 0;
    w = tw.get();
    setRunByte(tw.setup.WebSocket, '1');
    strcpy(tw.setup.Quality, "100");
    setAccessKey(w, kKey);
    w->TcpPort = 0;
    w->MAXbank = 20;
    w->catFD = -1;
    w->serFD = -1;
  }
  void start() {
    ASSERT_TRUE(waitFor([] { return wsListeningPort.load() == 0; }));
    th.reset(new ThreadRunner(w, Wsocket));
    applier.reset(new ThreadRunner(w, panelApplierLoop));
    ASSERT_TRUE(waitFor([&] { return (port = wsListeningPort.load()) > 0; }));
  }
  void TearDown() override {
    th.reset();
    applier.reset();
    logCaptureStop();
  }
};

TEST_F(SecureStation, FourSilentConnectionsDoNotKeepTheOwnerOut) {
  start();
  logCaptureStart();
  // Two hosts hold the four places without a word; a fifth is closed at once.
  std::vector<std::unique_ptr<RawPeer>> silent;
  for (const char* src : {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3"}) {
    silent.emplace_back(new RawPeer);
    ASSERT_TRUE(silent.back()->connectFrom(src, port));
  }
  RawPeer fifth;
  ASSERT_TRUE(fifth.connectFrom("127.0.0.4", port));
  EXPECT_TRUE(fifth.closedWithin(15000));
  EXPECT_TRUE(waitFor([] { return logContains("connection from 127.0.0.4 closed: 4 connections already wait"); }));

  // The owner's unit, retrying as it does, gets in once their 5 s are up.
  TestWorks op;
  ZelParam zp{};
  op->zelParam = &zp;
  setRunByte(op.setup.WebSocket, '2');
  setRunByte(op.setup.EnableLinear, '0');
  setAccessKey(op.get(), kKey);
  snprintf(op->Server, sizeof op->Server, "127.0.0.1");
  op->TcpPort = static_cast<int16_t>(port);
  root.writeFile("/dev/urandom", std::string(32, 'r'));
  ThreadRunner oper(op.get(), Wclient);
  EXPECT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1 && op->remoteConnected.load() == 1; }, 60000));
  for (auto& s : silent) EXPECT_TRUE(s->closedWithin(15000));
  // Over the plain link the operator cannot know who answered: it shows
  // the status text but runs no command from the other end.
  op->Divide = 1;
  sendWebSockStatusFrame(w, "MIRKFD5", 7);
  EXPECT_TRUE(waitFor([] { return logContains("remote command from the station ignored"); }));
  EXPECT_EQ(op->Divide, 1);
}

TEST_F(SecureStation, AnAddressThatFailsTheKeyThreeTimesWaitsAndTheOwnerDoesNot) {
  start();
  logCaptureStart();
  for (int i = 0; i < 3; i++) {
    RawPeer guess;
    ASSERT_TRUE(guess.connectFrom("127.0.0.2", port));
    ASSERT_TRUE(guess.login(kFactoryAccessKey));  // a unit's key is no longer the factory key
    EXPECT_TRUE(guess.closedWithin(15000));
  }
  // Its next connection is closed at once, even with the right key...
  RawPeer again;
  ASSERT_TRUE(again.connectFrom("127.0.0.2", port));
  EXPECT_TRUE(again.closedWithin(15000));
  EXPECT_TRUE(waitFor([] { return logContains("connection from 127.0.0.2 closed: refused keys"); }));
  // ...while the owner at another address gets in at once.
  RawPeer owner;
  ASSERT_TRUE(owner.connectFrom("127.0.0.1", port));
  ASSERT_TRUE(owner.login(kKey));
  EXPECT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));
  // No key reached the log.
  for (const std::string& l : logCaptured()) {
    EXPECT_EQ(l.find(kKey), std::string::npos) << l;
    EXPECT_EQ(l.find(kFactoryAccessKey), std::string::npos) << l;
  }
}

TEST_F(SecureStation, TwentyBankChangesInASecondWriteSetupAtMostTwiceEndingWithTheLast) {
  w->NumBanco = 1;  // the panel applier's field from here on
  start();
  RawPeer p;
  ASSERT_TRUE(p.connectFrom("127.0.0.1", port));
  ASSERT_TRUE(p.login(kKey));
  ASSERT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));
  const int before = countOf(root.stubLog(), "defaults,rw /opt/set");
  std::string burst;
  for (int i = 0; i < 20; i++) burst += wsShortBinary("ST", reinterpret_cast<const uint8_t*>("MIRKBANK"), 8);
  ASSERT_TRUE(p.send(burst));
  // Bank 1 + 20 changes = bank 21, wrapped at 20 to bank 1.
  EXPECT_TRUE(waitFor([&] { return root.readFile("/opt/set/setup.txt").find("NumBanco: 1\n") != std::string::npos &&
                                   countOf(root.stubLog(), "defaults,rw /opt/set") - before == 2; }, 30000));
  EXPECT_LE(countOf(root.stubLog(), "defaults,rw /opt/set") - before, 2);
}

TEST_F(SecureStation, OverTlsTheUnitsPairAPlainPeerIsRefusedAndAWrongKeyFailsTheHandshake) {
  w->linkTls = 1;
  start();
  logCaptureStart();
  root.writeFile("/dev/urandom", std::string(32, 'r'));
  TestWorks op;
  ZelParam zp{};
  op->zelParam = &zp;
  setRunByte(op.setup.WebSocket, '2');
  setRunByte(op.setup.EnableLinear, '0');
  snprintf(op->Server, sizeof op->Server, "127.0.0.1");
  op->TcpPort = static_cast<int16_t>(port);
  op->linkTls = 1;

  // Another key: the TLS handshake itself fails, nothing connects.
  setAccessKey(op.get(), "Hx7pQ2rT9wLn");
  {
    ThreadRunner oper(op.get(), Wclient);
    EXPECT_TRUE(waitFor([] { return logContains("TLS with 127.0.0.1 failed"); }));
    EXPECT_EQ(w->remoteConnected.load(), 0);
    EXPECT_EQ(op->remoteConnected.load(), 0);
  }
  // A plain peer is refused and the panel's message says so.
  RawPeer plain;
  ASSERT_TRUE(plain.connectFrom("127.0.0.3", port));
  std::string lines[6];
  wsClientRequest("127.0.0.1", port, kRfcKey, lines);
  ASSERT_TRUE(plain.send(lines[0]));
  EXPECT_TRUE(plain.closedWithin(15000));
  EXPECT_TRUE(waitFor([] { return logContains("plain peer 127.0.0.3 refused"); }));
  EXPECT_EQ(w->tlsRefused.load(), 1);

  // The same key: the units pair and frames pass both ways inside TLS.
  setAccessKey(op.get(), kKey);
  ThreadRunner oper(op.get(), Wclient);
  ASSERT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1 && op->remoteConnected.load() == 1; }, 30000));
  EXPECT_EQ(w->tlsRefused.load(), 0);
  std::string block(31, '\0');
  for (int i = 0; i < 8; i++) block[1 + i] = static_cast<char>(0x30 | ((14074000 >> (4 * (7 - i))) & 0xF));
  block[9] = static_cast<char>(0x80 | 2);
  sendWebSockSerParFrame(w, reinterpret_cast<const uint8_t*>(block.data()), 31);
  EXPECT_TRUE(waitFor([&] {
    ZelParam c;
    getParameters(op.get(), &c);
    return c.freq == 14074000;
  }));
  sendWebSockStatusFrame(op.get(), "MIRKFD9", 7);
  EXPECT_TRUE(waitFor([&] { return w->Divide == 9; }));
  // A station that proved the key is obeyed.
  sendWebSockStatusFrame(w, "MIRKFD5", 7);
  EXPECT_TRUE(waitFor([&] { return op->Divide == 5; }));
}
