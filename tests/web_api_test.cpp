// The web API end to end: the simulated station, the controller process
// against it, and HTTP and WebSocket requests over loopback to the port
// the controller chose. What a client gets is compared with what the
// simulated amplifier holds and received on its wire.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"
#include "tests/support/wait.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/zelsim_process.h"
#include "tuner/tune_memory.h"

using nlohmann::json;

namespace {

struct Reply {
  int status = 0;
  std::string head, body;
};

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes or nothing comes for timeoutMs.
std::string readAll(int fd, int timeoutMs) {
  std::string s;
  char buf[65536];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, timeoutMs) > 0) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
  }
  return s;
}

Reply request(int port, const std::string& method, const std::string& path, const std::string& token,
              const std::string& body = "") {
  Reply r;
  int fd = connectLoopback(port);
  if (fd < 0) return r;
  std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!token.empty()) req += "Authorization: Bearer " + token + "\r\n";
  if (method == "POST") req += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) {
    close(fd);
    return r;
  }
  const std::string all = readAll(fd, 20000);
  close(fd);
  size_t e = all.find("\r\n\r\n");
  if (e == std::string::npos || all.compare(0, 9, "HTTP/1.1 ") != 0) return r;
  r.status = atoi(all.c_str() + 9);
  r.head = all.substr(0, e);
  r.body = all.substr(e + 4);
  return r;
}

// A WebSocket client of the events socket: the upgrade, then the
// server's (unmasked) text frames one by one.
class EventsClient {
 public:
  ~EventsClient() {
    if (fd_ >= 0) close(fd_);
  }
  // The status line of the upgrade's answer ("HTTP/1.1 101 ...").
  std::string open(int port, const std::string& query) {
    fd_ = connectLoopback(port);
    if (fd_ < 0) return "";
    const std::string req = "GET /api/v1/events" + query +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (write(fd_, req.data(), req.size()) != static_cast<ssize_t>(req.size())) return "";
    while (buf_.find("\r\n\r\n") == std::string::npos)
      if (!fill(20000)) return buf_.substr(0, buf_.find("\r\n"));
    const size_t e = buf_.find("\r\n\r\n");
    const std::string status = buf_.substr(0, buf_.find("\r\n"));
    buf_.erase(0, e + 4);
    return status;
  }
  // The next text message; "" when none came in timeoutMs.
  std::string next(int timeoutMs) {
    for (;;) {
      if (buf_.size() >= 2) {
        const uint8_t op = static_cast<uint8_t>(buf_[0]) & 0x0f;
        size_t len = static_cast<uint8_t>(buf_[1]) & 0x7f, hdr = 2;
        if (len == 126 && buf_.size() >= 4) {
          len = (static_cast<uint8_t>(buf_[2]) << 8) | static_cast<uint8_t>(buf_[3]);
          hdr = 4;
        }
        if ((len < 126 || hdr == 4) && buf_.size() >= hdr + len) {
          std::string payload = buf_.substr(hdr, len);
          buf_.erase(0, hdr + len);
          if (op == 1) return payload;
          continue;  // a ping or anything else
        }
      }
      if (!fill(timeoutMs)) return "";
    }
  }

 private:
  bool fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char b[16384];
    ssize_t n = read(fd_, b, sizeof b);
    if (n <= 0) return false;
    buf_.append(b, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1;
  std::string buf_;
};

class WebApi : public ::testing::Test {
 protected:
  static TempRoot* root;
  static ZelsimProcess* sim;
  static ZelpyxProcess* unit;
  static int port;
  static std::string token;

  static std::string log() { return root->readFile("/zelpyx.log"); }

  static void SetUpTestSuite() {
    root = new TempRoot;
    sim = new ZelsimProcess;
    unit = new ZelpyxProcess;
    ASSERT_TRUE(sim->start(root->dir()));
      // Automatic tuning on, so that TUNE runs as on the panel.
    std::string setup = root->readFile("/opt/set/setup.txt");
    const size_t at = setup.find("AutoTuneMode: ");
    if (at != std::string::npos) setup[at + 14] = '1';
    else setup += "AutoTuneMode: 1\n";
    root->writeFile("/opt/set/setup.txt", setup);
    // Loopback only, and a port the system picks (the log names it).
    root->writeFile("/opt/set/web.txt", "listen 127.0.0.1\nport 0\n");
    ASSERT_TRUE(unit->start(root->dir() + "/zelpyx.log"));
    ASSERT_TRUE(waitFor([] { return log().find("web: http://127.0.0.1:") != std::string::npos; }, 120000, 50))
        << log();
    const std::string l = log();
    port = atoi(l.c_str() + l.find("web: http://127.0.0.1:") + 22);
    // The token the controller made at its first start.
    const std::string f = root->readFile("/opt/set/web.txt");
    const size_t t = f.find("token ");
    ASSERT_NE(t, std::string::npos) << f;
    token = f.substr(t + 6, 32);
    // The panel is up once its main page was reported.
    ASSERT_TRUE(waitFor([] { return log().find("panel: page main") != std::string::npos; }, 120000, 50)) << log();
  }
  static void TearDownTestSuite() {
    // A clean stop: the web thread ends with the others, and a sanitizer's
    // report in the controller shows in its exit status.
    unit->signal(SIGTERM);
    const int rc = unit->waitExit(120000);
    const std::string l = log();
    EXPECT_EQ(rc, 0) << l.substr(l.size() > 4000 ? l.size() - 4000 : 0);
    EXPECT_EQ(l.find("ThreadSanitizer"), std::string::npos) << l.substr(l.find("ThreadSanitizer") == std::string::npos ? 0 : l.find("ThreadSanitizer"), 6000);
    delete unit;
    delete sim;
    delete root;
  }

  static json status() {
    Reply r = request(port, "GET", "/api/v1/status", token);
    if (r.status != 200) return json();
    return json::parse(r.body, nullptr, false);
  }
  // The simulated amplifier's state field ("ant=2" -> "2").
  static std::string simField(const std::string& name) {
    const std::string s = sim->control("amp state");
    size_t p = s.find(" " + name + "=");
    if (p == std::string::npos) return "";
    p += name.size() + 2;
    return s.substr(p, s.find(' ', p) - p);
  }
  // Commands the amplifier received after the first `from`, without the
  // status and frequency polls.
  static std::vector<std::string> commandsSince(size_t from) {
    std::vector<std::string> all = sim->ampFrames(), out;
    for (size_t i = from; i < all.size(); i++)
      if (all[i].compare(0, 2, "ST") != 0 && all[i].compare(0, 2, "FM") != 0) out.push_back(all[i]);
    return out;
  }
  // The amplifier's queue is empty: its last frames are only polls.
  static bool onlyPolling() {
    std::vector<std::string> all = sim->ampFrames();
    if (all.size() < 8) return false;
    for (size_t i = all.size() - 8; i < all.size(); i++)
      if (all[i].compare(0, 2, "ST") != 0 && all[i].compare(0, 2, "FM") != 0) return false;
    return true;
  }
};

TempRoot* WebApi::root = nullptr;
ZelsimProcess* WebApi::sim = nullptr;
ZelpyxProcess* WebApi::unit = nullptr;
int WebApi::port = 0;
std::string WebApi::token;

TEST_F(WebApi, RefusesEveryCallWithoutTheTokenAndNeverLogsIt) {
  ASSERT_EQ(token.size(), 32u);
  Reply none = request(port, "GET", "/api/v1/status", "");
  EXPECT_EQ(none.status, 401);
  EXPECT_TRUE(json::parse(none.body, nullptr, false).contains("error")) << none.body;
  std::string wrong = token;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(request(port, "GET", "/api/v1/panel.png", wrong).status, 401);
  // The events socket needs it too.
  EventsClient ev;
  EXPECT_EQ(ev.open(port, "?token=" + wrong).find(" 101 "), std::string::npos);
  // After three failures the address waits, whatever it shows.
  Reply late = request(port, "POST", "/api/v1/tune", wrong, "{}");
  EXPECT_EQ(late.status, 429);
  EXPECT_NE(late.head.find("Retry-After: 1"), std::string::npos) << late.head;
  EXPECT_EQ(request(port, "GET", "/api/v1/status", token).status, 429);
  // The wait is short; then the right token is welcome and nothing was
  // started by the refused TUNE.
  json s;
  ASSERT_TRUE(waitFor([&] { return (s = status()).is_object(); }, 30000, 100));
  EXPECT_NE(s["tuner"], "tuning");
  // The page itself is free: it asks for the token.
  EXPECT_EQ(request(port, "GET", "/", "").status, 200);
  EXPECT_EQ(log().find(token), std::string::npos);
  EXPECT_EQ(log().find(wrong), std::string::npos);
}

TEST_F(WebApi, StatusCarriesWhatTheAmplifierAndTheRadioHold) {
  sim->control("amp temp 41.5");
  sim->control("amp freq 14074000");
  json s;
  ASSERT_TRUE(waitFor(
      [&] {
        s = status();
        return s.is_object() && s["frequency_hz"] == 14074000 && s["temperature_c"][0].get<double>() > 41.0;
      },
      60000, 50))
      << s.dump();
  EXPECT_EQ(s["band"], "20m");
  EXPECT_EQ(s["interface"], "generic");
  EXPECT_EQ(s["transmitting"], false);
  EXPECT_EQ(s["links"]["amplifier"], true);
  EXPECT_EQ(s["antenna"].get<int>(), atoi(simField("ant").c_str()));
  // The tune word is the one on the amplifier's relays.
  const uint32_t word = static_cast<uint32_t>(strtoul(simField("tune").c_str(), nullptr, 16));
  ASSERT_TRUE(waitFor([&] {
    s = status();
    return s["tune_word"]["c"] == DecodeCapacitaFromTuneval(word) && s["tune_word"]["l"] == DecodeInduttanzaFromTuneval(word);
  }))
      << s.dump() << " " << sim->control("amp state");
  for (const char* f : {"forward_w", "reflected_w", "input_w", "swr", "current_a", "attenuator_db", "bank"})
    EXPECT_TRUE(s[f].is_number()) << f;
  EXPECT_TRUE(s["errors"].is_array());
}

TEST_F(WebApi, AKeyOverTheApiSendsWhatTheButtonSends) {
  // The ANT key on the main page, once on the front panel and once over
  // the API: each sends the antenna command, for the next antenna.
  ASSERT_TRUE(waitFor(onlyPolling, 60000, 50)) << sim->control("amp log");
  const int ant0 = atoi(simField("ant").c_str());
  size_t mark = sim->ampFrames().size();
  ASSERT_EQ(sim->control("panel press 3"), "OK");
  ASSERT_TRUE(waitFor([&] { return atoi(simField("ant").c_str()) == ant0 % 3 + 1; })) << sim->control("amp state");
  const std::vector<std::string> byButton = commandsSince(mark);

  ASSERT_TRUE(waitFor(onlyPolling, 60000, 50)) << sim->control("amp log");
  mark = sim->ampFrames().size();
  Reply r = request(port, "POST", "/api/v1/keys/3", token, "{\"long\": false}");
  ASSERT_EQ(r.status, 202) << r.body;
  ASSERT_TRUE(waitFor([&] { return atoi(simField("ant").c_str()) == (ant0 + 1) % 3 + 1; }))
      << sim->control("amp state");
  const std::vector<std::string> byApi = commandsSince(mark);
  ASSERT_FALSE(byButton.empty());
  ASSERT_FALSE(byApi.empty());
  // Each sends one antenna command, for the next antenna (other commands
  // the station sends on its own may fall in either window).
  auto antennaCommands = [](const std::vector<std::string>& v) {
    std::vector<std::string> c;
    for (const std::string& s : v)
      if (s.compare(0, 2, "SA") == 0) c.push_back(s);
    return c;
  };
  EXPECT_EQ(antennaCommands(byButton), std::vector<std::string>{"SA" + std::to_string(ant0 % 3 + 1) + ";"});
  EXPECT_EQ(antennaCommands(byApi), std::vector<std::string>{"SA" + std::to_string((ant0 + 1) % 3 + 1) + ";"});
  EXPECT_NE(log().find("panel: key 3 short"), std::string::npos);
  // A key the panel does not have, and a body that is no JSON.
  EXPECT_EQ(request(port, "POST", "/api/v1/keys/7", token, "{}").status, 404);
  EXPECT_EQ(request(port, "POST", "/api/v1/keys/2", token, "{\"long\": 1}").status, 400);
  EXPECT_EQ(request(port, "POST", "/api/v1/antenna", token, "[").status, 400);
}

TEST_F(WebApi, TuneStartsARunOnTheWireAndIsRefusedWhereThePanelWouldRefuseIt) {
  // The bank starts with the tuner bypassed and the amplifier in standby.
  Reply inLine = request(port, "POST", "/api/v1/tuner", token, "{\"bypass\": false}");
  ASSERT_EQ(inLine.status, 202) << inLine.body;
  EXPECT_EQ(json::parse(inLine.body)["tuner"], "tuned");
  size_t mark = sim->ampFrames().size();
  Reply r = request(port, "POST", "/api/v1/tune", token, "");
  ASSERT_EQ(r.status, 202) << r.body;
  EXPECT_EQ(json::parse(r.body)["tuner"], "tuning");
  // The run's preparation goes out first: protection on, then the rest.
  ASSERT_TRUE(waitFor([&] {
    std::vector<std::string> c = commandsSince(mark);
    return std::find(c.begin(), c.end(), "MP1;") != c.end();
  })) << sim->control("amp log");
  Reply again = request(port, "POST", "/api/v1/tune", token, "");
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(json::parse(again.body)["reason"], "a tune is already running");
  EXPECT_EQ(request(port, "POST", "/api/v1/tune/stop", token, "").status, 202);
  ASSERT_TRUE(waitFor([] { return status()["tuner"] != "tuning"; }));
  EXPECT_EQ(request(port, "POST", "/api/v1/tune/stop", token, "").status, 409);

  // With the amplifier silent the link goes down: no TUNE.
  sim->control("amp silent 1");
  ASSERT_TRUE(waitFor([] { return status()["links"]["amplifier"] == false; }, 60000, 50)) << log();
  Reply down;
  ASSERT_TRUE(waitFor([&] {
    down = request(port, "POST", "/api/v1/tune", token, "");
    return down.status == 409 && json::parse(down.body)["reason"] == "the link to the amplifier is down";
  }, 60000, 100)) << down.status << " " << down.body;
  sim->control("amp silent 0");
  ASSERT_TRUE(waitFor([] { return status()["links"]["amplifier"] == true; }, 60000, 50)) << log();
}

TEST_F(WebApi, TheEventsSocketPushesWhileTransmitting) {
  EventsClient ev;
  ASSERT_NE(ev.open(port, "?token=" + token).find(" 101 "), std::string::npos);
  json first = json::parse(ev.next(20000), nullptr, false);
  ASSERT_TRUE(first.is_object());
  EXPECT_TRUE(first.contains("links"));
  sim->control("amp drive 30");
  json last;
  // While the carrier is on, messages keep coming even when nothing moved.
  int tx = 0;
  for (int i = 0; i < 400 && tx < 12; i++) {
    const std::string m = ev.next(20000);
    ASSERT_FALSE(m.empty()) << "no push; " << sim->control("amp state");
    json s = json::parse(m, nullptr, false);
    ASSERT_TRUE(s.is_object()) << m;
    if (s["transmitting"] == true) {
      tx++;
      last = s;
    }
  }
  sim->control("amp drive 0");
  EXPECT_GE(tx, 12);
  EXPECT_GT(last["forward_w"].get<double>(), 1.0) << last.dump();
  // The panel picture is a PNG of the screen.
  Reply png = request(port, "GET", "/api/v1/panel.png", token);
  ASSERT_EQ(png.status, 200);
  EXPECT_EQ(png.body.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
}

}  // namespace
