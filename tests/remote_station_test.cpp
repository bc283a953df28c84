// A remote pair end to end: the simulated station, a station unit
// (zelpyx) against it, and an operator unit (zelpyx, its own root, no
// amplifier) coupled to it over loopback on an ephemeral port. The
// operator's panel shows the station's frequency, its meters and TX box
// follow the station's amplifier; audio travels both ways.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/tls.h"
#include "remote/ws_proto.h"
#include "screens/meters.h"
#include "sim/audio_sim.h"
#include "tests/support/emulator.h"
#include "tests/support/temp_root.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

const int kW = 800, kH = 480;
// Both units of a pair share one access key in their remote.txt.
const char kPairKey[] = "Hx7pQ2rT9wLm";

// One controller process with its own root.
class Controller {
 public:
  ~Controller() { stop(); }
  bool start(const std::string& root) {
    root_ = root;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      std::string screens = std::string(ZELPYX_BUILD_DIR) + "/screens";
      if (chdir(screens.c_str()) != 0) _exit(126);
      int out = open((root + "/zelpyx.log").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      int nul = open("/dev/null", O_RDONLY);
      dup2(nul, 0);
      setenv("ZELPYX_ROOT", root.c_str(), 1);
      setenv("ZELPYX_LOG_STDERR", "1", 1);
      setenv("ZELPYX_LISTEN_ADDR", "127.0.0.1", 1);
      std::string prog = std::string(ZELPYX_BUILD_DIR) + "/zelpyx";
      execProgram(prog, {"zelpyx"});
      _exit(127);
    }
    return true;
  }
  // SIGTERM runs the normal shutdown; returns the exit status or -1.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int st = 0;
    bool gone = waitFor([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 60000, 20);
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
    }
    pid_ = -1;
    return gone && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::string log() const {
    std::string s;
    FILE* f = fopen((root_ + "/zelpyx.log").c_str(), "r");
    if (f == nullptr) return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
  }
  std::vector<unsigned char> panel() const {
    std::vector<unsigned char> px(static_cast<size_t>(kW) * kH * 4);
    FILE* f = fopen((root_ + "/dev/fb0").c_str(), "rb");
    if (f == nullptr) return {};
    size_t n = fread(px.data(), 1, px.size(), f);
    fclose(f);
    if (n != px.size()) return {};
    return px;
  }

 private:
  std::string root_;
  pid_t pid_ = -1;
};

struct Box {
  int x0, y0, x1, y1;
};

int differing(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b, Box r) {
  if (a.empty() || b.empty()) return -1;
  int n = 0;
  for (int y = r.y0; y < r.y1; y++)
    for (int x = r.x0; x < r.x1; x++) {
      size_t i = (static_cast<size_t>(y) * kW + x) * 4;
      if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) n++;
    }
  return n;
}

int countRgb(const std::vector<unsigned char>& px, Box r, int red, int green, int blue) {
  int n = 0;
  if (px.empty()) return 0;
  for (int y = r.y0; y < r.y1; y++)
    for (int x = r.x0; x < r.x1; x++) {
      size_t i = (static_cast<size_t>(y) * kW + x) * 4;
      if (px[i + 2] == red && px[i + 1] == green && px[i] == blue) n++;
    }
  return n;
}

// Amplitude of the component at hz (48 kHz samples).
double toneLevel(const std::vector<double>& x, double hz) {
  double re = 0, im = 0;
  for (size_t i = 0; i < x.size(); i++) {
    const double a = 2 * M_PI * hz * static_cast<double>(i) / 48000.0;
    re += x[i] * cos(a);
    im += x[i] * sin(a);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(x.size() ? x.size() : 1);
}

// The frequency read-out of the meter view, where both units draw it.
Box frequencyBox() {
  InitGrid();
  const int fx = (bound_right - bound_left) / 2 + bound_left - 75;
  const int fy = b_top - r_y / 2;
  return Box{fx - 4, fy - 30, fx + 190, fy + 8};
}

// Both panels show the same (drawn) frequency.
bool sameFrequencyShown(const Controller& station, const Controller& oper, Box freqBox) {
  std::vector<unsigned char> s = station.panel(), o = oper.panel();
  return countRgb(s, freqBox, 0, 0, 0) > 30 && differing(s, o, freqBox) == 0;
}

int listeningPort(const std::string& log) {
  size_t p = log.rfind("Listening on port ");
  return p == std::string::npos ? -1 : atoi(log.c_str() + p + 18);
}

// A raw client: the WebSocket request and an access key in one go;
// returns the socket (-1 when it could not connect).
int rawLogin(int port, const std::string& key) {
  int fd = netConnect(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port), 5000);
  if (fd < 0) return -1;
  std::string lines[6];
  wsClientRequest("127.0.0.1", port, "dGhlIHNhbXBsZSBub25jZQ==", lines);
  std::string all;
  for (const std::string& l : lines) all += l;
  all += wsShortText(key.data(), static_cast<int>(key.size()));
  send(fd, all.data(), all.size(), MSG_NOSIGNAL);
  return fd;
}

// True once the unit closed the connection; the socket is closed after.
bool closedByUnit(int fd) {
  bool closed = fd >= 0 && waitFor([&] {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) return false;
    char buf[512];
    ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno != EAGAIN);
  });
  if (fd >= 0) close(fd);
  return closed;
}

// `openssl s_client` against the port; its output and exit status.
int sClient(int port, const std::string& pskHex, std::string* out) {
  std::string cmd = "openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                    " -tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256 -psk " + pskHex + " -psk_identity " +
                    kTlsPskIdentity + " </dev/null 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  int st = pclose(f);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string keyOf(const TempRoot& root) {
  std::string t = root.readFile("/opt/set/remote.txt");
  return t.compare(0, 4, "key ") == 0 && t.size() >= 17 ? t.substr(4, 12) : "";
}

}  // namespace

TEST(RemotePair, TheOperatorFollowsTheStationsFrequencyMetersAndTransmitter) {
  TempRoot stationRoot;
  TempRoot operatorRoot;
  ZelsimProcess stationSim, operatorHead;
  Controller station, oper;

  ASSERT_TRUE(stationSim.start(stationRoot.dir(), {"--station", "0", "--key", kPairKey}));
  ASSERT_TRUE(stationSim.control("radio freq 7074000").rfind("OK", 0) == 0);
  ASSERT_TRUE(station.start(stationRoot.dir()));
  int port = -1;
  ASSERT_TRUE(waitFor([&] { return (port = listeningPort(station.log())) > 0; }, 90000, 50)) << station.log();

  ASSERT_TRUE(operatorHead.start(operatorRoot.dir(), {"--operator", std::to_string(port), "--key", kPairKey}));
  ASSERT_TRUE(oper.start(operatorRoot.dir()));
  ASSERT_TRUE(waitFor([&] { return oper.log().find("Websocket Connected") != std::string::npos; }, 90000, 50))
      << oper.log();
  EXPECT_NE(station.log().find("access key from 127.0.0.1"), std::string::npos);
  EXPECT_EQ(station.log().find(kPairKey), std::string::npos);
  EXPECT_EQ(oper.log().find(kPairKey), std::string::npos);

  const Box freqBox = frequencyBox();
  auto sameFreq = [&] { return sameFrequencyShown(station, oper, freqBox); };
  ASSERT_TRUE(waitFor(sameFreq, 60000, 50)) << oper.log();
  std::vector<unsigned char> at40 = oper.panel();
  ASSERT_TRUE(stationSim.control("radio freq 14074000").rfind("OK", 0) == 0);
  ASSERT_TRUE(waitFor([&] { return differing(oper.panel(), at40, freqBox) > 20 && sameFreq(); }, 60000, 50));

  // The station transmits: the operator's meters move and its TX box lights.
  const Box meters{0, 30, kW, 270};
  const Box txBox{375, 175, 430, 209};
  std::vector<unsigned char> idle = oper.panel();
  ASSERT_TRUE(stationSim.control("radio tx 1").rfind("OK", 0) == 0);
  ASSERT_TRUE(stationSim.control("amp drive 10").rfind("OK", 0) == 0);
  EXPECT_TRUE(waitFor([&] {
    std::vector<unsigned char> o = oper.panel();
    return differing(o, idle, meters) > 300 && countRgb(o, txBox, 250, 0, 0) > 500;
  }, 60000, 50)) << oper.log();
  ASSERT_TRUE(stationSim.control("amp drive 0").rfind("OK", 0) == 0);
  ASSERT_TRUE(stationSim.control("radio tx 0").rfind("OK", 0) == 0);
  EXPECT_TRUE(waitFor([&] { return countRgb(oper.panel(), txBox, 250, 0, 0) == 0; }, 60000, 50));

  // Audio both ways through the file-backed devices: the station's 1 kHz
  // tone plays into the operator's file, the operator's 700 Hz into the
  // station's. The station has no radio on USB: its reader stopped with
  // error 5 and everything else ran on.
  auto played = [](const std::string& root) {
    std::vector<int16_t> s = simAudioRead(root + "/audio_out.raw");
    std::vector<double> left;
    for (size_t i = 0; i + 1 < s.size(); i += 2) left.push_back(s[i]);
    return left;
  };
  ASSERT_TRUE(waitFor([&] { return played(operatorRoot.dir()).size() > 96000 && played(stationRoot.dir()).size() > 96000; },
                      60000, 100));
  std::vector<double> atOperator = played(operatorRoot.dir()), atStation = played(stationRoot.dir());
  atOperator.erase(atOperator.begin(), atOperator.end() - 48000);
  atStation.erase(atStation.begin(), atStation.end() - 48000);
  EXPECT_GT(toneLevel(atOperator, 1000), 20 * toneLevel(atOperator, 700));
  EXPECT_GT(toneLevel(atStation, 700), 20 * toneLevel(atStation, 1000));
  EXPECT_NE(station.log().find("Cannot find QVR Device"), std::string::npos);

  EXPECT_EQ(oper.stop(), 0);
  EXPECT_TRUE(waitFor([&] { return station.log().find("TCP closed") != std::string::npos; }, 30000, 50));
  EXPECT_EQ(station.stop(), 0);
}

TEST(RemotePair, EachFreshUnitMakesItsOwnKeyAndTheFactoryKeyOpensNothing) {
  TempRoot rootA, rootB;
  ZelsimProcess simA, simB;
  Controller a, b;
  ASSERT_TRUE(simA.start(rootA.dir(), {"--station", "0"}));
  ASSERT_TRUE(simB.start(rootB.dir(), {"--station", "0"}));
  ASSERT_TRUE(a.start(rootA.dir()));
  ASSERT_TRUE(b.start(rootB.dir()));
  int port = -1;
  ASSERT_TRUE(waitFor([&] { return (port = listeningPort(a.log())) > 0 && listeningPort(b.log()) > 0; }, 90000, 50))
      << a.log();
  const std::string keyA = keyOf(rootA), keyB = keyOf(rootB);
  ASSERT_EQ(keyA.size(), 12u) << rootA.readFile("/opt/set/remote.txt");
  ASSERT_EQ(keyB.size(), 12u);
  EXPECT_NE(keyA, keyB);
  for (char c : keyA + keyB) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << c;
  EXPECT_EQ(rootA.readFile("/opt/set/remote.txt"), "key " + keyA + "\ntls off\n");
  // Written inside the remount window.
  EXPECT_NE(rootA.stubLog().find("mount -o remount defaults,rw /opt/set"), std::string::npos);

  EXPECT_TRUE(closedByUnit(rawLogin(port, "velutrinaspo")));
  EXPECT_TRUE(waitFor([&] { return a.log().find("access key from 127.0.0.1 refused") != std::string::npos; }));
  int fd = rawLogin(port, keyA);
  EXPECT_TRUE(waitFor([&] { return a.log().find("access key from 127.0.0.1 accepted") != std::string::npos; }));
  close(fd);
  EXPECT_EQ(a.log().find(keyA), std::string::npos);
  EXPECT_EQ(a.stop(), 0);
  EXPECT_EQ(b.stop(), 0);
}

TEST(RemotePair, OverTlsTheOperatorFollowsTheStationAndOpensslCompletesTheHandshake) {
  TempRoot stationRoot;
  TempRoot operatorRoot;
  ZelsimProcess stationSim, operatorHead;
  Controller station, oper;

  ASSERT_TRUE(stationSim.start(stationRoot.dir(), {"--station", "0", "--key", kPairKey, "--tls"}));
  ASSERT_TRUE(stationSim.control("radio freq 7074000").rfind("OK", 0) == 0);
  ASSERT_TRUE(station.start(stationRoot.dir()));
  int port = -1;
  ASSERT_TRUE(waitFor([&] { return (port = listeningPort(station.log())) > 0; }, 90000, 50)) << station.log();

  // The standard's own client with the same PSK completes a TLS 1.3
  // handshake; with another key the handshake itself fails.
  std::string out;
  EXPECT_EQ(sClient(port, tlsPskHex(kPairKey), &out), 0) << out;
  EXPECT_NE(out.find("TLSv1.3, Cipher is TLS_AES_128_GCM_SHA256"), std::string::npos) << out;
  out.clear();
  EXPECT_NE(sClient(port, tlsPskHex("Hx7pQ2rT9wLn"), &out), 0) << out;
  EXPECT_EQ(out.find("Cipher is TLS_AES_128_GCM_SHA256"), std::string::npos) << out;
  // A plain client is refused before it can show a key.
  EXPECT_TRUE(closedByUnit(rawLogin(port, kPairKey)));
  EXPECT_TRUE(waitFor([&] { return station.log().find("plain peer 127.0.0.1 refused") != std::string::npos; }));
  EXPECT_EQ(station.log().find("access key from"), std::string::npos);

  ASSERT_TRUE(operatorHead.start(operatorRoot.dir(), {"--operator", std::to_string(port), "--key", kPairKey, "--tls"}));
  ASSERT_TRUE(oper.start(operatorRoot.dir()));
  ASSERT_TRUE(waitFor([&] { return oper.log().find("Websocket Connected") != std::string::npos; }, 90000, 50))
      << oper.log();
  const Box freqBox = frequencyBox();
  auto sameFreq = [&] { return sameFrequencyShown(station, oper, freqBox); };
  ASSERT_TRUE(waitFor(sameFreq, 60000, 50)) << oper.log();
  std::vector<unsigned char> at40 = oper.panel();
  ASSERT_TRUE(stationSim.control("radio freq 14074000").rfind("OK", 0) == 0);
  EXPECT_TRUE(waitFor([&] { return differing(oper.panel(), at40, freqBox) > 20 && sameFreq(); }, 60000, 50));
  EXPECT_EQ(oper.log().find(kPairKey), std::string::npos);
  EXPECT_EQ(oper.stop(), 0);
  EXPECT_EQ(station.stop(), 0);
}
