// Bank switching, until the shared implementation lands in bank.cpp.
#include "core/setup.h"
#include "core/spine.h"
#include "core/works.h"
#include "menus/bank.h"
#include "tuner/antenna.h"

void ChangeBanco(Works* w) {
  int n = w->NumBanco + 1;
  if (n >= w->MAXbank) n = 0;
  w->NumBanco = n;
  writeSetup(w);
  LoadBankAndWorkMode(w, w->NumBanco);
  w->AntennaRowIdx = -1;
}
