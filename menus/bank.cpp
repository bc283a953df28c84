#include "menus/bank.h"

#include "core/setup.h"
#include "core/works.h"
#include "tuner/antenna.h"

void ChangeBanco(Works* w, bool save) {
  w->NumBanco++;
  if (w->NumBanco >= w->MAXbank) w->NumBanco = 0;
  if (save) writeSetup(w);
  LoadAllBankTable(w, w->NumBanco);
  w->AntennaRowIdx = -1;
}
