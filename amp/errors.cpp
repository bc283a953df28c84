// The reset procedure of the front panel's error key: what is re-sent to
// the amplifier, which warnings go, and the restart of the remote-side
// threads after a fault.
#include "amp/errors.h"

#include <cstdio>

#include "amp/amp_status.h"
#include "amp/cmd_queue.h"
#include "amp/linear.h"
#include "core/station_hooks.h"
#include "core/works.h"

int GPIO_Errori(Works* w) {
  if (w->errFlags != 0) {
    fprintf(stderr, "----------> 1- ERRORI!!\n");
    GestErrore(w);
    return 1;
  }
  int first = ExistAnError(w);
  if (first < 0) return 0;
  fprintf(stderr, "----------> 2- ERRORI!!\n");
  GestErroreRemote(w);
  if (first == 2) return 0;  // board over-temperature: nothing to reset
  VerificaEsistonoErrori(w);
  return 1;
}

void GestErrore(Works* w) {
  fprintf(stderr, ">>> ERRORI: GestErrore\n");
  if (w->errFlags & 1) {
    fprintf(stderr, ">>> ERRORI: ResetBiasCmd\n");
    ResetBiasCmd(w);
    w->errResend = 1;
    w->cmdQ.urgent = 1;
  } else if (w->errFlags & 4) {
    VerifyWarningTemporanei(w);
    w->errFlags &= static_cast<uint8_t>(~4u);
  } else if (ExistAnError(w) >= 0) {
    fprintf(stderr, ">>> ERRORI2: VerificaEsistonoErrori\n");
    VerificaEsistonoErrori(w);
  }
  GestErroreRemote(w);
}

void GestErroreRemote(Works* w) {
  SetupRec* s = w->setup;
  char ew = s ? runByte(s->EnableWrite) : '0', er = s ? runByte(s->EnableRead) : '0';
  fprintf(stderr, ">>> RESTART REMOTE: %i %i audio %x %x\n", w->remoteStarted, w->remoteFault.load(), ew, er);
  if (s == nullptr || w->remoteStarted != 1 || w->remoteFault != 1) return;
  fprintf(stderr, ">>> RESTART REMOTE!\n");
  restartRemoteGroup(w, true);
}

void ResetBiasCmd(Works* w) {
  const AmpSnapshot a = GetAmpStatus(w);
  uint8_t B = a.ampStatus[1], C = a.ampStatus[2];
  if (C != 0 || (B & 2)) {
    IncPNTIn_CMDLinear(w, CMD_CP);
    fprintf(stderr, ">>> ERRORI: RESET Protezione AMPL!\n");
  }
  if (C & 0x80) InitMicroCmd(w);
  IncPNTIn_CMDLinear(w, CMD_MP0);
  IncPNTIn_CMDLinear(w, w->AmpBypassFlag ? CMD_AB1 : CMD_AB0);
  IncPNTIn_CMDLinear(w, CMD_AT);
}

void ClearDisplayError(Works* w) {
  w->errFlags |= 2;
  DeleteErrore(w, 12);
  DeleteErrore(w, 13);
  DeleteErrore(w, 14);
  fprintf(stderr, " -->reset protezione %c\n", GetAmpStatus(w).ampStatus[1]);
}

void GestErroreSerial(Works* w) {
  ClearDisplayError(w);
  if (w->errFlags & 1) VerifyWarningTemporaneiDopoResetBias(w);
  if (w->errFlags & 4) {
    VerifyWarningTemporanei(w);
    w->errFlags &= static_cast<uint8_t>(~4u);
  }
  if (ExistAnError(w) >= 0) VerificaEsistonoErrori(w);
}

void VerificaEsistonoErrori(Works* w) {
  int first = ExistAnError(w);
  if (first < 0) return;
  fprintf(stderr, "FOUND ERR: %d \n", first);
  ResetBiasCmd(w);
  VerifyWarningTemporaneiDopoResetBias(w);
}

