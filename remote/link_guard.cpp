#include "remote/link_guard.h"

LinkGuard::Entry* LinkGuard::find(const std::string& addr) {
  for (Entry& e : addrs_)
    if (e.addr == addr) return &e;
  return nullptr;
}

LinkGuard::Entry& LinkGuard::entry(const std::string& addr, int64_t nowMs) {
  if (Entry* e = find(addr)) return *e;
  if (addrs_.size() >= kMaxAddrs) {
    // Forget the quiet ones first; else the one seen longest ago that
    // holds no place (a waiting connection keeps its entry).
    size_t victim = addrs_.size();
    for (size_t i = 0; i < addrs_.size(); i++) {
      const Entry& c = addrs_[i];
      if (c.pending > 0) continue;
      if (victim == addrs_.size() || c.lastMs < addrs_[victim].lastMs) victim = i;
    }
    if (victim < addrs_.size()) addrs_.erase(addrs_.begin() + static_cast<long>(victim));
  }
  Entry e;
  e.addr = addr;
  e.lastMs = nowMs;
  e.delayMs = kFirstDelayMs;
  addrs_.push_back(e);
  return addrs_.back();
}

LinkGuard::Verdict LinkGuard::admit(const std::string& addr, int64_t nowMs, int64_t* waitMs) {
  // Drop what is old enough to forget (never an entry holding a place).
  for (size_t i = 0; i < addrs_.size();) {
    const Entry& c = addrs_[i];
    if (c.pending == 0 && nowMs - c.lastMs > kForgetMs && nowMs >= c.blockedUntilMs)
      addrs_.erase(addrs_.begin() + static_cast<long>(i));
    else
      i++;
  }
  if (waitMs != nullptr) *waitMs = 0;
  Entry* known = find(addr);
  if (known != nullptr && nowMs < known->blockedUntilMs) {
    if (waitMs != nullptr) *waitMs = known->blockedUntilMs - nowMs;
    return Verdict::Delayed;
  }
  if (pendingTotal_ >= kMaxPending) return Verdict::Busy;
  if (known != nullptr && known->pending >= kMaxPendingPerAddr) return Verdict::Busy;
  Entry& e = entry(addr, nowMs);
  e.pending++;
  e.lastMs = nowMs;
  pendingTotal_++;
  return Verdict::Admit;
}

void LinkGuard::handshakeEnded(const std::string& addr) {
  Entry* e = find(addr);
  if (e == nullptr || e->pending == 0) return;
  e->pending--;
  pendingTotal_--;
}

void LinkGuard::failed(const std::string& addr, int64_t nowMs) {
  Entry& e = entry(addr, nowMs);
  e.failures++;
  e.lastMs = nowMs;
  if (e.failures < kFreeFailures) return;
  e.blockedUntilMs = nowMs + e.delayMs;
  e.delayMs = e.delayMs * 2 < kMaxDelayMs ? e.delayMs * 2 : kMaxDelayMs;
}

void LinkGuard::succeeded(const std::string& addr) {
  Entry* e = find(addr);
  if (e == nullptr) return;
  e->failures = 0;
  e->delayMs = kFirstDelayMs;
  e->blockedUntilMs = 0;
}
