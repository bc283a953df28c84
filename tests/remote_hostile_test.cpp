// A station unit (the controller process against the simulated station)
// facing peers that send what no unit of ours would: a screen whose header
// promises a gigapixel, and nothing but handshake garbage. The unit keeps
// its memory and its log small and keeps running.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/net.h"
#include "remote/ws_proto.h"
#include "tests/support/temp_root.h"
#include "tests/support/wait.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/zelsim_process.h"

namespace {

long vmHwmKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string s = ss.str();
  size_t p = s.find("VmHWM:");
  return p == std::string::npos ? -1 : atol(s.c_str() + p + 6);
}

// A small progressive JPEG whose frame header then claims w x h.
std::string progressiveClaiming(unsigned w, unsigned h) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long len = 0;
  jpeg_mem_dest(&c, &mem, &len);
  c.image_width = 16;
  c.image_height = 16;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(16 * 3, 128);
  while (c.next_scanline < 16) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string j(reinterpret_cast<char*>(mem), len);
  free(mem);
  size_t sof = j.find("\xFF\xC2");
  if (sof == std::string::npos) return "";
  // FF C2, length (2), precision (1), height (2), width (2).
  j[sof + 5] = static_cast<char>(h >> 8);
  j[sof + 6] = static_cast<char>(h & 0xFF);
  j[sof + 7] = static_cast<char>(w >> 8);
  j[sof + 8] = static_cast<char>(w & 0xFF);
  return j;
}

const char kKey[] = "Hx7pQ2rT9wLm";

class HostilePeer : public ::testing::Test {
 protected:
  TempRoot root;
  ZelsimProcess sim;
  ZelpyxProcess unit;
  int port = -1;

  std::string log() const { return root.readFile("/zelpyx.log"); }

  void SetUp() override {
    setenv("ZELPYX_LOG_STDERR", "1", 1);
    setenv("ZELPYX_LISTEN_ADDR", "127.0.0.1", 1);
    ASSERT_TRUE(sim.start(root.dir(), {"--station", "0", "--key", kKey}));
    ASSERT_TRUE(unit.start(root.dir() + "/zelpyx.log"));
    ASSERT_TRUE(waitFor([&] {
      std::string l = log();
      size_t p = l.rfind("Listening on port ");
      if (p != std::string::npos) port = atoi(l.c_str() + p + 18);
      return port > 0;
    }, 90000, 50)) << log();
  }
  void TearDown() override {
    unsetenv("ZELPYX_LOG_STDERR");
    unsetenv("ZELPYX_LISTEN_ADDR");
  }

  int connectUnit() { return netConnect(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port), 5000); }
  static bool sendAll(int fd, const std::string& s) {
    return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
  }
};

TEST_F(HostilePeer, AScreenClaimingAGigapixelCostsOnlyItsHeader) {
  int fd = connectUnit();
  ASSERT_GE(fd, 0);
  std::string req[6];
  wsClientRequest("127.0.0.1", port, "dGhlIHNhbXBsZSBub25jZQ==", req);
  for (const std::string& l : req) ASSERT_TRUE(sendAll(fd, l));
  ASSERT_TRUE(sendAll(fd, wsShortText(kKey, 12)));
  ASSERT_TRUE(waitFor([&] { return log().find("accepted") != std::string::npos; }, 60000, 20)) << log();

  auto sendScreen = [&](const std::string& jpeg) {
    const auto* m = reinterpret_cast<const uint8_t*>(jpeg.data());
    const uint32_t total = static_cast<uint32_t>(jpeg.size());
    for (uint32_t o = 0; o < total; o += 512)
      if (!sendAll(fd, wsChunk("FB", m, total, o))) return false;
    return true;
  };
  // A screen one pixel too wide first: the link's own buffers are in
  // place and measured with it.
  ASSERT_TRUE(sendScreen(progressiveClaiming(801, 480)));
  ASSERT_TRUE(waitFor([&] { return log().find("801x480") != std::string::npos; }, 60000, 20)) << log();
  // A moment for the audio threads the connection started.
  usleep(500000);
  const long before = vmHwmKb(unit.pid());
  ASSERT_GT(before, 0);
  const std::string huge = progressiveClaiming(30000, 30000);
  for (int round = 0; round < 3; round++) ASSERT_TRUE(sendScreen(huge));
  ASSERT_TRUE(waitFor([&] { return log().find("30000x30000") != std::string::npos; }, 60000, 20)) << log();
  const long after = vmHwmKb(unit.pid());
  EXPECT_LT(after - before, 4096) << "peak resident memory grew from " << before << " kB to " << after << " kB";
  close(fd);
  // Still the station: it listens for the next peer.
  int again = connectUnit();
  EXPECT_GE(again, 0);
  if (again >= 0) close(again);
  EXPECT_EQ(waitpid(unit.pid(), nullptr, WNOHANG), 0);
}

TEST_F(HostilePeer, TenSecondsOfHandshakeGarbageLeaveAFewKilobytesOfLog) {
  const size_t before = log().size();
  std::string junk = "X-Junk: " + std::string(1000, 'j') + "\r\n";
  int fd = -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int lines = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (fd < 0) fd = connectUnit();
    if (fd < 0) continue;
    std::string burst = "GET /chat HTTP/1.1\r\n";
    for (int i = 0; i < 20; i++) burst += junk;
    if (!sendAll(fd, burst)) {
      close(fd);  // dropped at its deadline: come back at once
      fd = -1;
      continue;
    }
    lines += 21;
    usleep(2000);
  }
  if (fd >= 0) close(fd);
  EXPECT_GT(lines, 1000);
  // Whatever the last lines were, let them be written.
  usleep(200000);
  const size_t grown = log().size() - before;
  EXPECT_LT(grown, 8192u) << log().substr(before, 4000);
  EXPECT_EQ(waitpid(unit.pid(), nullptr, WNOHANG), 0);
}

}  // namespace

TEST(ChunkTally, AMessageIsTakenOnceEveryChunkCameAndNotAgainForARepeat) {
  ChunkTally t;
  const uint32_t total = 1300;  // chunks at 0, 512, 1024
  EXPECT_FALSE(t.add(total, 0));
  EXPECT_FALSE(t.add(total, 512));
  EXPECT_TRUE(t.add(total, 1024));
  // The last chunk again and again: nothing new to decode until every
  // other chunk came again too, in any order.
  for (int i = 0; i < 10; i++) EXPECT_FALSE(t.add(total, 1024));
  EXPECT_FALSE(t.add(total, 512));
  EXPECT_TRUE(t.add(total, 0));
  // Offsets that are no chunk of it count for nothing.
  EXPECT_FALSE(t.add(total, 1300));
  EXPECT_FALSE(t.add(total, 100));
  EXPECT_FALSE(t.add(0, 0));
  // Another size starts over.
  EXPECT_TRUE(t.add(10, 0));
}
