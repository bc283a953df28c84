// PLACEHOLDER until the amplifier link lands.
#include "amp/linear.h"
#include "core/works.h"
void Linear(Works*) {}
void IncPNTIn_CMDLinear(Works* w, int cmd) {
  std::lock_guard<std::mutex> lk(w->cmdQueueMut);
  w->cmdQueue[w->cmdQueueIn] = cmd;
  w->cmdQueueIn = (w->cmdQueueIn + 1) % 30;
}
void InitMicroCmd(Works*) {}
