// The station's decisions about who may hold a connection, as plain
// values over an injected monotonic clock (milliseconds): how many
// connections may wait for their handshake and key, and which addresses
// are kept out for a while after failing the key. The link thread asks
// and tells; it decides nothing itself.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class LinkGuard {
 public:
  // Connections in their handshake at once, and at most this many of
  // them from one address (one address cannot take every place).
  static constexpr int kMaxPending = 4;
  static constexpr int kMaxPendingPerAddr = 2;
  // Failures an address has before it waits; the wait doubles from the
  // first to the longest.
  static constexpr int kFreeFailures = 3;
  static constexpr int64_t kFirstDelayMs = 1000;
  static constexpr int64_t kMaxDelayMs = 5 * 60 * 1000;
  // Addresses remembered; an address quiet for kForgetMs is forgotten.
  static constexpr size_t kMaxAddrs = 256;
  static constexpr int64_t kForgetMs = 30 * 60 * 1000;

  enum class Verdict { Admit, Busy, Delayed };
  // A new connection from addr. Admit counts it as waiting (until
  // handshakeEnded); Busy: every place is taken; Delayed: the address
  // waits (*waitMs: how much longer).
  Verdict admit(const std::string& addr, int64_t nowMs, int64_t* waitMs = nullptr);
  // The connection admitted for addr left its handshake (either way).
  void handshakeEnded(const std::string& addr);
  // addr showed a wrong key (or held its place to the deadline, or failed
  // the TLS handshake): one failure; from the kFreeFailures-th on, each
  // one makes the address wait, twice as long as the time before.
  void failed(const std::string& addr, int64_t nowMs);
  // addr showed the right key: its failures are forgotten.
  void succeeded(const std::string& addr);

  int pending() const { return pendingTotal_; }
  size_t remembered() const { return addrs_.size(); }

 private:
  struct Entry {
    std::string addr;
    int pending = 0;
    int failures = 0;
    int64_t delayMs = 0;         // the next wait
    int64_t blockedUntilMs = 0;  // connections before this are closed
    int64_t lastMs = 0;          // last failure or connection
  };
  Entry* find(const std::string& addr);
  Entry& entry(const std::string& addr, int64_t nowMs);
  std::vector<Entry> addrs_;
  int pendingTotal_ = 0;
};
