#include "core/panel_events.h"

#include <chrono>
#include <syslog.h>

#include "core/works.h"
#include "platform/log.h"

bool PanelQueue::enqueue(const PanelEvent& ev, uint64_t* ticket) {
  if (items_.size() >= kMaxWaiting) return false;
  *ticket = next_++;
  items_.push_back({ev, *ticket});
  posted_.notify_all();
  return true;
}

bool PanelQueue::post(const PanelEvent& ev) {
  uint64_t t = 0;
  bool ok;
  {
    std::lock_guard<std::mutex> lk(mut_);
    ok = enqueue(ev, &t);
  }
  if (!ok) zlogLimited(LOG_ERR, "panel: %zu events waiting, one dropped", kMaxWaiting);
  return ok;
}

bool PanelQueue::call(const PanelEvent& ev, PanelReply* reply, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mut_);
  uint64_t t = 0;
  if (!enqueue(ev, &t)) {
    lk.unlock();
    zlogLimited(LOG_ERR, "panel: %zu events waiting, one dropped", kMaxWaiting);
    return false;
  }
  answers_.push_back({t, false, {}});
  auto find = [this, t]() {
    for (auto it = answers_.begin(); it != answers_.end(); ++it)
      if (it->ticket == t) return it;
    return answers_.end();
  };
  bool got = answered_.wait_for(lk, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                [&] { return find()->done; });
  auto it = find();
  if (got && reply != nullptr) *reply = it->reply;
  answers_.erase(it);
  return got;
}

bool PanelQueue::take(PanelEvent* ev, uint64_t* ticket) {
  std::lock_guard<std::mutex> lk(mut_);
  if (items_.empty()) return false;
  *ev = items_.front().ev;
  *ticket = items_.front().ticket;
  items_.pop_front();
  return true;
}

void PanelQueue::answer(uint64_t ticket, const PanelReply& r) {
  std::lock_guard<std::mutex> lk(mut_);
  for (auto& a : answers_) {
    if (a.ticket == ticket) {
      a.reply = r;
      a.done = true;
      answered_.notify_all();
      return;
    }
  }
}

void PanelQueue::waitForEvent(int64_t us) {
  std::unique_lock<std::mutex> lk(mut_);
  if (us <= 0) return;
  posted_.wait_for(lk, std::chrono::microseconds(us), [this] { return !items_.empty(); });
}

size_t PanelQueue::waiting() const {
  std::lock_guard<std::mutex> lk(mut_);
  return items_.size();
}

void PanelQueue::clear() {
  std::lock_guard<std::mutex> lk(mut_);
  items_.clear();
}

int PanelKeyPost(Works* w, int key, int held, bool report) {
  PanelEvent ev;
  ev.act = PanelAct::Key;
  ev.a = key;
  ev.b = held;
  ev.report = report;
  PanelReply r;
  if (!w->panelQ.call(ev, &r, 1000)) return 0;
  return r.result;
}
