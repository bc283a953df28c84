#include "menus/dispatch.h"

#include <cstdio>
#include <ctime>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/cmd_queue.h"
#include "core/station_hooks.h"
#include "amp/band_filter.h"
#include "core/tables.h"
#include "core/works.h"
#include "platform/clock.h"
#include "menus/bank.h"
#include "screens/buttons.h"
#include "screens/labels.h"
#include "menus/params.h"
#include "screens/work_image.h"
#include "screens/meters.h"
#include "tuner/antenna.h"
#include "tuner/autotune.h"
#include "tuner/recall.h"
#include "tuner/tune_memory.h"

namespace {

constexpr uint8_t kOverlayStatus = 0x01;
constexpr uint8_t kOverlayUtility = 0x02;
constexpr uint8_t kOverlayFilter = 0x04;
constexpr uint8_t kKeyLongPending = 0x01;
constexpr uint8_t kKeySaveRefused = 0x02;

// Banks and antennas index the per-bank files and the three tune tables.
constexpr int kMaxBanks = 20;

bool longPress(int held, int key) { return (held & (1 << (key - 1))) != 0; }

int bankCount(Works* w) {
  int n = w->MAXbank;
  return n >= 1 && n <= kMaxBanks ? n : kMaxBanks;
}

// a + 1, back to 0 once it reaches limit; a value read out of range also
// comes back to 0.
int nextBelow(int a, int limit) {
  int n = a + 1;
  return n >= limit || n < 0 ? 0 : n;
}

int groupCount(Works* w) {
  int n = w->NumPar;
  return n >= 1 && n <= kParGroups ? n : kParGroups;
}

int antennaRows(Works* w) {
  int n = w->NumRowAntenna;
  if (n > kAntennaRows) n = kAntennaRows;
  return n < 1 ? 1 : n;
}

void interfaceLabelOfPage6(Works* w) { GetLblInterface(w->ModeWorkIdx.load(), Zarnmenu[6].button[1].line2); }

void goPage(Works* w, int page) { w->MenuIdx = page; }

// One step of the manual tuner: C or L under the tune-word lock, sent at once.
int manualStep(Works* w, bool isL, int delta, int held, int key) {
  std::atomic<int>& v = isL ? w->ValI : w->ValC;
  bool can = delta < 0 ? v > 0 : v <= 510;
  if (can) {
    WaitSemaforoTuneval(w);
    v += delta;
    if (isL) SetI(w, v);
    else SetC(w, v);
    StopSemaforoTuneval(w);
    IncPNTIn_CMDLinear(w, CMD_MT1);
    ImpostaLblManuale(w);
  }
  // The repeat follows the key, not the value: at the end stop it goes on
  // while the key is held.
  return longPress(held, key) ? 1 : 0;
}

void key1(Works* w, int held) {
  switch (w->MenuIdx) {
    case 0:
      if (EscFromStatus(w)) return;
      if (w->overlay & kOverlayUtility) {
        w->overlay &= uint8_t(~kOverlayUtility);
        SetWorkImg(w);
      } else if (longPress(held, 1)) {
        w->overlay |= kOverlayUtility;
        ShowBackground(w, "statusB");
        interfaceLabelOfPage6(w);
        goPage(w, 6);
      } else {
        ChangeBanco(w);
      }
      return;
    case 1:
    case 8:
      goPage(w, 0);
      return;
    case 3:
      w->keyFlags &= uint8_t(~kKeySaveRefused);
      if (w->TuneRunState.load() == 0) goPage(w, 0);
      return;
    case 4:
      if (longPress(held, 1)) {
        if (w->TuneRunState.load() != 0) return;
        WaitSemaforoTuneval(w);
        SetMode(w, w->ModoTune >= 3 ? 1 : w->ModoTune + 1);  // 1 -> 2 -> 3 -> 1
        StopSemaforoTuneval(w);
        IncPNTIn_CMDLinear(w, CMD_MT1);
        ImpostaLblManuale(w);
      } else {
        w->txReqFlags = uint8_t((w->txReqFlags.load() | 0x01) & ~0x02);
        w->SaveBank = w->NumBanco;
        w->SaveAnt = w->AntennaIdx;
        goPage(w, 8);
        LabelSAVEATU(w);
      }
      return;
    case 6:
      w->overlay &= uint8_t(~kOverlayUtility);
      SetWorkImg(w);
      goPage(w, 0);
      return;
    case 7:
      // Unsaved edits are dropped: the table on file is the bank's.
      LoadTabConfig(w, w->NumBanco);
      interfaceLabelOfPage6(w);
      w->tabColSel = -1;
      goPage(w, 6);
      return;
    case 9:
      interfaceLabelOfPage6(w);
      goPage(w, 6);
      return;
    case 10:
    case 11:
      goPage(w, 6);
      return;
    case 12:
      if (w->overlay & kOverlayFilter) {
        w->overlay &= uint8_t(~kOverlayFilter);
        SetWorkImg(w);
        goPage(w, 0);
      }
      return;
    default:
      return;
  }
}

void attenuatorKey(Works* w) {
  uint8_t sel = uint8_t(w->AttSel + 1);
  if ((GetAmpStatus(w).ampStatus[1] & 0x01) == 0) {  // receiving: standby may be chosen
    if (sel > 4) sel = 0;  // 0, 2, 3, 5 dB, standby
  } else if (w->AmpBypassFlag == 1) {
    AddErrore(w, 17);
  } else if (sel > 3) {
    sel = 0;
  }
  if (sel > 4) sel = 4;  // refused above: the index stays inside the labels
  w->AttSel = sel;
  if (sel <= 3) {
    // The attenuator command and the band row carry the setting itself;
    // the step shown alone would go back at the amplifier's next reply.
    w->AttIdx = sel;
    w->Attenuator = sel;
    IncPNTIn_CMDLinear(w, CMD_AT);
    if (w->AmpBypassFlag == 1) IncPNTIn_CMDLinear(w, CMD_AB0);
  } else if (w->AmpBypassFlag == 0) {
    IncPNTIn_CMDLinear(w, CMD_AB1);
  }
  SaveToBank(w, w->NumBanco, w->AntennaIdx);
}

int key2(Works* w, int held) {
  switch (w->MenuIdx) {
    case 0:
      if (longPress(held, 2) || EscFromStatus(w)) return 0;
      attenuatorKey(w);
      return 0;
    case 2:
      return ModifyParameter(w, kParLeft);
    case 3:
      w->keyFlags &= uint8_t(~kKeySaveRefused);
      return 0;
    case 4:
      return manualStep(w, true, -1, held, 2);
    case 6:
      ChangeInterfaceBanco(w);
      return 0;
    case 7:
      w->tabColSel = w->tabColSel - 1 < 0 || w->tabColSel > 4 ? 4 : w->tabColSel - 1;
      return 0;
    case 8:
      w->SaveBank = nextBelow(w->SaveBank, bankCount(w));
      LabelSAVEATU(w);
      return 0;
    case 9:
      w->CopyFrom = w->NumBanco;
      goPage(w, 10);
      LblCOPY(w);
      return 0;
    case 10:
      w->CopyFrom = nextBelow(w->CopyFrom, bankCount(w));
      LblCOPY(w);
      return 0;
    case 11:
      // One past the last bank means all of them.
      w->ResetBank = nextBelow(w->ResetBank, bankCount(w) + 1);
      LblRESET(w);
      return 0;
    case 12:
      w->filterEditIdx = w->filterEditIdx - 1 < 0 || w->filterEditIdx > 7 ? 7 : w->filterEditIdx - 1;
      return 0;
    default:
      return 0;
  }
}

int key3(Works* w, int held) {
  switch (w->MenuIdx) {
    case 0:
      if (EscFromStatus(w)) return 0;
      w->AntennaIdx = nextBelow(w->AntennaIdx, 3);
      w->antennaAuto = 0;  // picked by hand
      IncPNTIn_CMDLinear(w, CMD_SA);
      SaveToBank(w, w->NumBanco, w->AntennaIdx);
      return 0;
    case 1: {
      int n = groupCount(w);
      w->ParSubIdx = 0;
      w->ParIdx = w->ParIdx - 1 < 0 || w->ParIdx >= n ? n - 1 : w->ParIdx - 1;
      return 0;
    }
    case 2:
      return ModifyParameter(w, kParRight);
    case 3:
      w->keyFlags &= uint8_t(~kKeySaveRefused);
      return 0;
    case 4:
      return manualStep(w, true, +1, held, 3);
    case 6: {
      int n = antennaRows(w);
      w->tabRowSel = w->tabRowSel - 1 < 0 || w->tabRowSel >= n ? n - 1 : w->tabRowSel - 1;
      return 0;
    }
    case 7:
      w->tabColSel = nextBelow(w->tabColSel, 5);
      return 0;
    case 8:
      w->SaveAnt = nextBelow(w->SaveAnt, 3);
      LabelSAVEATU(w);
      return 0;
    case 9:
      w->ResetBank = w->NumBanco;
      goPage(w, 11);
      LblRESET(w);
      return 0;
    case 10:
      w->CopyTo = nextBelow(w->CopyTo, bankCount(w));
      LblCOPY(w);
      return 0;
    case 12:
      w->filterEditIdx = nextBelow(w->filterEditIdx, 8);
      return 0;
    default:
      return 0;
  }
}

int key4(Works* w, int held) {
  switch (w->MenuIdx) {
    case 0:
      if (EscFromStatus(w)) return 0;
      goPage(w, 3);
      LabelByPassATU(w);
      return 0;
    case 1:
      w->ParIdx = nextBelow(w->ParIdx, groupCount(w));
      w->ParSubIdx = 0;
      return 0;
    case 2:
      return ModifyParameter(w, kParMinus);
    case 3:
      fprintf(stderr, "xxxxx AUTO TUNE_ByPass %x\n", w->AtuBypassFlag.load());
      if (w->AtuBypassFlag == 0) {
        w->keyFlags &= uint8_t(~kKeySaveRefused);
        GoTune(w);
      }
      return 0;
    case 4:
      return manualStep(w, false, -1, held, 4);
    case 6:
      w->tabRowSel = nextBelow(w->tabRowSel, antennaRows(w));
      return 0;
    case 7:
      ModifytabAntenna(w, 0);
      return 0;
    default:
      return 0;
  }
}

void retryLink(Works* w) {
  int code = w->failCode;
  // Cleared first: a port that fails again reports itself anew.
  w->failCode = -1;
  switch (code) {
    case 1:
      startAmpLink(w);
      break;
    case 2:
      // Set by the FT-817 poll when its port fails.
      startFt817Link(w);
      break;
    case 3:
      startDataPort(w);
      break;
    case 5:
      startSpectrumReader(w);
      break;
    default:
      break;
  }
}

int key5(Works* w, int held) {
  switch (w->MenuIdx) {
    case 0:
      if (EscFromStatus(w)) return 0;
      goPage(w, 1);
      return 0;
    case 2:
      return ModifyParameter(w, kParPlus);
    case 3:
      w->keyFlags &= uint8_t(~kKeySaveRefused);
      fprintf(stderr, "xxxxx TUNE_ByPass %x\n", w->AtuBypassFlag.load());
      if (w->AtuBypassFlag == 1) {
        w->AtuBypassFlag = 0;
        GestioneLoadTuneVal(w);
      } else {
        w->AtuBypassFlag = 1;
        IncPNTIn_CMDLinear(w, CMD_MT1_BYPASS);
      }
      SaveToBank(w, w->NumBanco, w->AntennaIdx);
      LabelByPassATU(w);
      return 0;
    case 4:
      return manualStep(w, false, +1, held, 5);
    case 5:
      retryLink(w);
      return 0;
    case 6:
      goPage(w, 9);
      return 0;
    case 7:
      ModifytabAntenna(w, 1);
      return 0;
    case 12:
      EnDisFilter(w, 1);
      return 0;
    default:
      return 0;
  }
}

void transmitRequest(Works* w) {
  uint8_t f = w->txReqFlags.load();
  if (f & 0x02) {
    f = uint8_t((f | 0x01) & ~(0x02 | 0x10 | 0x20));
    w->txReqFlags = f;
    snprintf(Zarnmenu[4].button[5].line1, sizeof Zarnmenu[4].button[5].line1, "%s", "StartTX");
    return;
  }
  if (GetAmpStatus(w).ampStatus[0] & 0x01) {
    w->anState = 0;
    IncPNTIn_CMDLinear(w, CMD_AN);
    f |= 0x10;
  }
  w->txReqFlags = uint8_t(f | 0x01 | 0x02);
  snprintf(Zarnmenu[4].button[5].line1, sizeof Zarnmenu[4].button[5].line1, "%s", "StopTX");
}

void cancelLink(Works* w) {
  SetupRec* s = w->setup;
  switch (w->failCode) {
    case 1:
      w->failCode = -1;
      startAmpLink(w);
      return;
    case 2:
      setRunByte(s->catSerRun, '0');
      break;
    case 3:
      setRunByte(s->zelRun, '0');
      break;
    case 5:
      setRunByte(s->EnableFFT, '0');
      break;
    default:
      return;
  }
  w->failCode = -1;
}

void saveTuneMemory(Works* w) {
  if (DecodeModoFromTuneval(w->Tuneval) == 3) {
    w->keyFlags |= kKeySaveRefused;  // a bypassed tuner has nothing to remember
  } else {
    int bank = w->SaveBank >= 0 && w->SaveBank < kMaxBanks ? w->SaveBank : w->NumBanco.load();
    int ant = w->SaveAnt >= 0 && w->SaveAnt < kTuneAntennas ? w->SaveAnt : 0;
    LoadTabAtu(w, bank, ant);
    if (InsertTuneToMem(w, bank, ant) != 0) w->keyFlags |= kKeySaveRefused;
    loadBankAndWorkMode(w, w->NumBanco);
  }
  goPage(w, 3);
  LabelByPassATU(w);
}

void copyBank(Works* w) {
  int from = w->CopyFrom, to = w->CopyTo;
  if (from < 0 || from >= kMaxBanks || to < 0 || to >= kMaxBanks) return;
  for (int ant = 0; ant < kTuneAntennas; ant++) LoadTabAtu(w, from, ant);
  LoadTabConfig(w, from);
  for (int ant = 0; ant < kTuneAntennas; ant++) SaveTabAtu(w, to, ant);
  SaveTabConfig(w, to);
  // The copy went through the tables in memory: the active bank's come
  // back, or its next save would store the origin's settings under it.
  loadBankAndWorkMode(w, w->NumBanco);
  w->AntennaRowIdx = -1;
}

void eraseBanks(Works* w) {
  int n = bankCount(w);
  int first = w->ResetBank, last = w->ResetBank;
  if (w->ResetBank == w->MAXbank) {
    first = 0;
    last = n - 1;
  } else if (w->ResetBank < 0 || w->ResetBank >= kMaxBanks) {
    return;  // no such bank: nothing is erased
  }
  for (int bank = first; bank <= last; bank++)
    for (int kind = 0; kind < 4; kind++) DeleteFileConf(w, bank, kind);
  loadBankAndWorkMode(w, w->NumBanco);
  w->AntennaRowIdx = -1;
}

int key6(Works* w, int held) {
  switch (w->MenuIdx) {
    case 0:
      if (longPress(held, 6)) {
        w->overlay |= kOverlayStatus;
        ShowBackground(w, "status");
        return 0;
      }
      if (EscFromStatus(w)) return 0;
      {
        const int v = w->ViewIdx;
        w->ViewIdx = v + 1 > 5 || v < 1 ? 1 : v + 1;
      }
      w->overlay = 0;
      // The right meter changes its quantity: its held peak goes.
      anglePeakRight = 0;
      peakRight = PeakHold();
      SetWorkImg(w);
      fprintf(stderr, "type to %d\n", w->ViewIdx.load());
      return 0;
    case 1:
      if (menuPar[w->ParIdx].item[w->ParSubIdx].noEdit == 0) goPage(w, 2);
      return 0;
    case 2:
      ModifyParameter(w, kParConfirm);
      if (w->overlay & kOverlayUtility) goPage(w, 6);
      else if (w->overlay & kOverlayFilter) goPage(w, 12);
      else goPage(w, 1);
      return 0;
    case 3:
      w->keyFlags &= uint8_t(~kKeySaveRefused);
      if (longPress(held, 6)) {
        IncPNTIn_CMDLinear(w, CMD_MP0);
        IncPNTIn_CMDLinear(w, CMD_CP);
        if (w->ModeWorkIdx.load() != 0) IncPNTIn_CMDLinear(w, CMD_FA);
        IncPNTIn_CMDLinear(w, CMD_TS);
        IncPNTIn_CMDLinear(w, CMD_AB0);
        IncPNTIn_CMDLinear(w, CMD_AN);
        IncPNTIn_CMDLinear(w, CMD_SA);
        IncPNTIn_CMDLinear(w, CMD_AT);
      } else if (w->ManualTune == 1) {
        w->ManualTune = 0;
      } else {
        w->ManualTune = 1;
        IncPNTIn_CMDLinear(w, CMD_MT);
        goPage(w, 4);
        ImpostaLblManuale(w);
      }
      return 0;
    case 4:
      transmitRequest(w);
      return 0;
    case 5:
      cancelLink(w);
      return 0;
    case 6:
      w->tabColSel = 0;
      goPage(w, 7);
      return 0;
    case 7:
      SaveTabConfig(w, w->NumBanco);
      return 0;
    case 8:
      saveTuneMemory(w);
      return 0;
    case 10:
      copyBank(w);
      goPage(w, 6);
      return 0;
    case 11:
      eraseBanks(w);
      goPage(w, 6);
      return 0;
    case 12:
      EnDisFilter(w, 0);
      return 0;
    default:
      return 0;
  }
}

}  // namespace

int DecodeTasto(Works* w, int key, int held) {
  w->LastActivity = monoSeconds();
  if (w->ScreenSaverOn.load() != 0) {
    // The first key after the saver only wakes the screen.
    SetWorkImg(w);
    w->ScreenSaverOn = 0;
    fprintf(stderr, "----------> DISATTIVO SAVE SCREEN\n");
    return 0;
  }
  // Indexes that come from files or older states stay inside the tables.
  if (w->ParIdx < 0 || w->ParIdx >= kParGroups) w->ParIdx = 0;
  if (w->ParSubIdx < 0 || w->ParSubIdx >= kParItems) w->ParSubIdx = 0;
  int r = 0;
  switch (key) {
    case 1:
      if (GPIO_Errori(w) == 1) break;
      key1(w, held);
      break;
    case 2:
      r = key2(w, held);
      break;
    case 3:
      r = key3(w, held);
      break;
    case 4:
      r = key4(w, held);
      break;
    case 5:
      r = key5(w, held);
      break;
    case 6:
      r = key6(w, held);
      break;
    default:
      break;
  }
  w->keyFlags &= uint8_t(~kKeyLongPending);
  return r;
}
