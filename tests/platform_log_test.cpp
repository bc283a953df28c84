// The log's rate limiter: what a peer that repeats one message gets into
// the log.
#include <gtest/gtest.h>
#include <syslog.h>

#include "platform/log.h"

TEST(LogLimiter, ABurstThenOneASecondWithTheCountHeldBack) {
  LogLimiter lim;
  int held = -1;
  int64_t t = 1000000;
  for (int i = 0; i < kLogBurst; i++) {
    EXPECT_TRUE(lim.admit("peer line %s", t, &held));
    EXPECT_EQ(held, 0);
  }
  // The rest of this instant is held back.
  for (int i = 0; i < 100; i++) EXPECT_FALSE(lim.admit("peer line %s", t + i, &held));
  // Another message is counted on its own.
  EXPECT_TRUE(lim.admit("other %d", t + 100, &held));
  // A second later one line passes and tells how many were held back.
  EXPECT_TRUE(lim.admit("peer line %s", t + 1000000, &held));
  EXPECT_EQ(held, 100);
  EXPECT_FALSE(lim.admit("peer line %s", t + 1000001, &held));
  // Ten quiet seconds refill the burst, no more.
  t += 11000000;
  int passed = 0;
  for (int i = 0; i < 50; i++) passed += lim.admit("peer line %s", t, &held) ? 1 : 0;
  EXPECT_EQ(passed, kLogBurst);
}

TEST(LogLimiter, ManyMessagesShareOneBudgetAndAFullTableOneBucket) {
  LogLimiter lim;
  int held = 0;
  std::vector<std::string> keys;
  for (int i = 0; i < 300; i++) keys.push_back("message " + std::to_string(i));
  // Many different lines at once: only the shared burst passes.
  int passed = 0;
  for (int i = 0; i < 60; i++) passed += lim.admit(keys[static_cast<size_t>(i)].c_str(), 0, &held) ? 1 : 0;
  EXPECT_EQ(passed, kLogAllBurst);
  // Over ten seconds: the shared rate.
  passed = 0;
  for (int64_t t = 1; t <= 10000; t++)
    passed += lim.admit(keys[static_cast<size_t>(t % 60)].c_str(), t * 1000, &held) ? 1 : 0;
  EXPECT_LE(passed, 10 * kLogAllPerSecond + 1);
  EXPECT_GE(passed, 10 * kLogAllPerSecond - 1);
  // Another thread's lines have a budget of their own.
  EXPECT_TRUE(lim.admit("message 31", 10000000, &held, 7));
  // 256 messages have their own bucket; new ones then share one.
  int64_t t = 20000000;
  for (size_t i = 0; i < 256; i++, t += 1000000) lim.admit(keys[i].c_str(), t, &held);
  t += 60000000;
  passed = 0;
  for (size_t i = 256; i < 300; i++) passed += lim.admit(keys[i].c_str(), t, &held) ? 1 : 0;
  EXPECT_EQ(passed, kLogBurst);
}

TEST(LogLimiter, ZlogLimitedLetsAFloodThroughAsAFewLines) {
  logCaptureStart();
  for (int i = 0; i < 1000; i++) zlogLimited(LOG_ERR, "garbage from %s: %d", "peer", i);
  zlog(LOG_INFO, "own line");
  zlog(LOG_INFO, "own line");
  logCaptureStop();
  auto lines = logCaptured();
  // The burst (a second more on a slow machine) and both plain lines.
  EXPECT_GE(lines.size(), static_cast<size_t>(kLogBurst + 2));
  EXPECT_LE(lines.size(), static_cast<size_t>(kLogBurst + 2 + 2));
  EXPECT_EQ(lines[0], "garbage from peer: 0");
}
