#include "amp/cmd_queue.h"

#include "core/works.h"

#include <syslog.h>

#include "platform/log.h"

bool IsLinearCmd(int cmd) {
  return cmd >= 0 && cmd <= CMD_MT1_RESET && cmd != LIN_WAIT_REPLY && cmd != LIN_DECODE && cmd != 25 &&
         cmd != CMD_SE && cmd != LIN_IDLE;
}

bool CmdQueue::fits(size_t n) const {
  const int used = (in_ - out_ + kCmdQueueSize) % kCmdQueueSize;
  return used + int(n) <= kCmdQueueSize - 1;
}

bool CmdQueue::push(int cmd) {
  if (!IsLinearCmd(cmd)) {
    zlog(LOG_ERR, "Linear: %d is no command, not queued", cmd);
    return false;
  }
  std::lock_guard<std::mutex> lk(mut_);
  if (!fits(1)) {
    zlog(LOG_ERR, "Linear queue full: command %d dropped", cmd);
    return false;
  }
  ring_[in_] = cmd;
  in_ = (in_ + 1) % kCmdQueueSize;
  return true;
}

bool CmdQueue::pushUrgent(std::initializer_list<int> cmds) {
  for (int c : cmds) {
    if (!IsLinearCmd(c)) {
      zlog(LOG_ERR, "Linear: %d is no command, batch not queued", c);
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lk(mut_);
    if (!fits(cmds.size())) {
      zlog(LOG_ERR, "Linear queue full: batch of %d dropped", int(cmds.size()));
      return false;
    }
    for (int c : cmds) {
      ring_[in_] = c;
      in_ = (in_ + 1) % kCmdQueueSize;
    }
  }
  urgent = 1;
  return true;
}

int CmdQueue::take() {
  std::lock_guard<std::mutex> lk(mut_);
  if (out_ == in_) return -1;
  int cmd = ring_[out_];
  ring_[out_] = 0;
  out_ = (out_ + 1) % kCmdQueueSize;
  return cmd;
}

int CmdQueue::count() const {
  std::lock_guard<std::mutex> lk(mut_);
  return (in_ - out_ + kCmdQueueSize) % kCmdQueueSize;
}

void CmdQueue::clear() {
  std::lock_guard<std::mutex> lk(mut_);
  in_ = out_ = 0;
}

void IncPNTIn_CMDLinear(Works* w, int cmd) { w->cmdQ.push(cmd); }

void IncPNTIn_CMDLinearUrgent(Works* w, std::initializer_list<int> cmds) { w->cmdQ.pushUrgent(cmds); }

int TakeQueuedCmd(Works* w) { return w->cmdQ.take(); }

int QueuedCmdCount(Works* w) { return w->cmdQ.count(); }

