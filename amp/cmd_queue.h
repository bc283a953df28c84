// The amplifier command queue: a ring of command numbers that any thread
// fills and only the Linear thread empties. Every producer includes this,
// not the link: it knows nothing of the link, and of the shared record
// only where the queue sits in it.
#pragma once
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>

// Command numbers placed in the queue (and held as the link's state, LinearState::status).
enum LinearCmd {
  CMD_VSM = 0,
  CMD_ST = 1,
  LIN_WAIT_REPLY = 2,   // internal: waiting for the reply
  LIN_DECODE = 3,       // internal: decode the reply
  CMD_TU1 = 4,
  CMD_TU0 = 5,
  CMD_TU = 6,
  CMD_SA = 7,
  CMD_FM = 8,
  CMD_FA = 9,
  CMD_MT = 10,
  CMD_MT1 = 11,
  CMD_FS = 12,
  CMD_CP = 13,
  CMD_AT = 14,
  CMD_AT_TUNE = 15,
  CMD_AT11 = 16,
  CMD_MP0 = 17,
  CMD_MP1 = 18,
  CMD_AB0 = 19,
  CMD_AB1 = 20,
  CMD_AN = 21,
  CMD_TS = 22,
  CMD_FN = 23,
  CMD_PS = 24,
  CMD_SF = 26,
  CMD_MT1_MEM = 27,     // tune word recalled from the tune memory
  CMD_SF_FILTER = 28,
  CMD_SE = 29,
  CMD_MR1 = 30,
  LIN_IDLE = 31,        // internal: link idle after "MR1;"
  CMD_MR0 = 32,
  CMD_GM = 33,
  CMD_GS_QUERY = 34,
  CMD_GS_SET = 35,
  CMD_ER0 = 36,
  CMD_ER1 = 37,
  CMD_ER2 = 38,
  CMD_MT1_BYPASS = 39,  // tuner bypassed
  CMD_MT1_RESET = 40,   // tuner reset to CL, C = L = 0
};

constexpr int kCmdQueueSize = 30;  // ring slots; equal indexes mean empty

// True for the numbers that name a command the link sends.
bool IsLinearCmd(int cmd);

struct Works;

class CmdQueue {
 public:
  // Queues one command. A number that is no command, or a full ring (29
  // waiting), drops it with a log line: a state number would stall the
  // link, and a command not yet sent is never overwritten.
  bool push(int cmd);
  // Queues the commands one after the other with no other producer's
  // command between them, then raises urgent (the link drains the queue
  // before it polls again). All or nothing: a batch that does not fit, or
  // holds a number that is no command, queues nothing.
  bool pushUrgent(std::initializer_list<int> cmds);
  // The oldest command, or -1 when empty.
  int take();
  int count() const;
  void clear();

  // 1 = drain the queue before polling again (the Linear thread clears it
  // when the queue is empty).
  std::atomic<uint8_t> urgent{0};

 private:
  bool fits(size_t n) const;  // under mut_
  mutable std::mutex mut_;
  int ring_[kCmdQueueSize] = {};
  int in_ = 0, out_ = 0;
};

// Queue an amplifier command number (safe from any thread): the record's
// CmdQueue (amp/cmd_queue.h).
void IncPNTIn_CMDLinear(Works* w, int cmd);
// The commands as one urgent batch (CmdQueue::pushUrgent).
void IncPNTIn_CMDLinearUrgent(Works* w, std::initializer_list<int> cmds);
// Takes the oldest queued command; -1 when the queue is empty.
int TakeQueuedCmd(Works* w);
// Number of commands waiting.
int QueuedCmdCount(Works* w);
