// The amplifier link: command queue, command texts, retries and the
// Linear thread. Replies are decoded in linear_decode.cpp.
#include "platform/heartbeat.h"
#include "amp/linear.h"

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>
#include <thread>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "core/station_hooks.h"
#include "core/thresholds.h"
#include "core/works.h"
#include "menus/menu_fields.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/serial.h"

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A field printed with a fixed width must fit it: only the fixed length
// goes on the wire, so a wider value would be cut into a wrong command.
long clampField(long v, long lo, long hi) { return v < lo ? lo : (v > hi ? hi : v); }

const char* attText(int step) {
  static const char* t[4] = {"AT00;", "AT01;", "AT10;", "AT11;"};
  return t[clampField(step, 0, 3)];
}

}  // namespace

// ---------------------------------------------------------------- queue

void InitMicroCmd(Works* w) {
  fprintf(stderr, "Init CRT ... \n");
  IncPNTIn_CMDLinear(w, CMD_VSM);
  IncPNTIn_CMDLinear(w, CMD_ER0);
  IncPNTIn_CMDLinear(w, CMD_ER1);
  IncPNTIn_CMDLinear(w, CMD_ER2);
  IncPNTIn_CMDLinear(w, CMD_MP0);
  queueBandThresholds(w);
  IncPNTIn_CMDLinear(w, CMD_AN);
  IncPNTIn_CMDLinear(w, CMD_SA);
  IncPNTIn_CMDLinear(w, CMD_FS);
  IncPNTIn_CMDLinear(w, CMD_MT1);
  IncPNTIn_CMDLinear(w, CMD_PS);
  IncPNTIn_CMDLinear(w, CMD_GM);
  IncPNTIn_CMDLinear(w, CMD_GS_QUERY);
  IncPNTIn_CMDLinear(w, CMD_CP);
  IncPNTIn_CMDLinear(w, CMD_MR0);
}

// ---------------------------------------------------------------- port

std::string LinPortPath(Works* w) {
  if (w->setup != nullptr && w->setup->LinPort[0] != '\0')
    return std::string(w->setup->LinPort, strnlen(w->setup->LinPort, sizeof w->setup->LinPort));
  return "/dev/ttyAMA0";
}

void OpenLinear(Works* w, const LinearState* st) {
  std::string port = LinPortPath(w);
  zlog(LOG_INFO, "Init Linear Port %s", port.c_str());
  PortOpenStage stage;
  int fd = serialOpenStaged(port, 115200, false, &stage);
  if (fd < 0) {
    const bool setFailed = stage == PortOpenStage::Configure;
    const char* what = setFailed ? "Unable to set comm port %s" : "Unable to open device %s";
    zlog(LOG_ERR, what, port.c_str());
    fprintf(stderr, what, port.c_str());
    fprintf(stderr, "\n");
    snprintf(w->failText, sizeof w->failText,
             setFailed ? "Linear: Unable to set comm port %s" : "Linear: Unable to open device %s", port.c_str());
    w->failCode = 1;
    w->linFD = -1;
    return;
  }
  w->linFD = fd;
  fprintf(stderr, "OK works->linFD=%d (%s) stato:%d\n", fd, port.c_str(), st != nullptr ? st->status : CMD_ST);
  zlog(LOG_INFO, "OK works->linFD=%d (%s)", fd, port.c_str());
}

// ---------------------------------------------------------------- lost port

void LinPortLost(Works* w, LinearState* st, int64_t nowMs, const char* why) {
  LinPortWatch* pw = &st->port;
  if (w->linFD >= 0) serialClose(w->linFD);
  w->linFD = -1;
  if (!pw->lost) {
    zlog(LOG_ERR, "Linear port %s lost (%s): reopening every %d ms", pw->path.c_str(), why, kLinReopenMs);
    fprintf(stderr, "Linear port %s lost (%s): reopening every %d ms\n", pw->path.c_str(), why, kLinReopenMs);
  }
  pw->lost = true;
  pw->openFailLogged = false;
  pw->awaitStatus = false;
  pw->nextTryMs = nowMs + kLinReopenMs;
  // Nothing is in flight any more: the next port starts from a poll.
  st->status = CMD_ST;
  st->emptyPolls = 0;
  st->retryCount = 0;
  if (ExistError(w, 4) == 0) {
    AddErroreUnmuted(w, 4);
    pw->errRaised = true;
  }
}

bool LinPortReopenDue(const LinearState* st, int64_t nowMs) { return nowMs >= st->port.nextTryMs; }

void LinPortReopened(Works* w, LinearState* st, int fd, int64_t nowMs) {
  LinPortWatch* pw = &st->port;
  if (fd < 0) {
    if (!pw->openFailLogged) {
      const int e = errno;
      zlog(LOG_ERR, "Linear port %s: can't reopen, error %d", pw->path.c_str(), e);
      fprintf(stderr, "Linear port %s: can't reopen, error %d\n", pw->path.c_str(), e);
      pw->openFailLogged = true;
    }
    pw->nextTryMs = nowMs + kLinReopenMs;
    return;
  }
  w->linFD = fd;
  zlog(LOG_INFO, "Linear port %s reopened (fd %d)", pw->path.c_str(), fd);
  fprintf(stderr, "Linear port %s reopened (fd %d)\n", pw->path.c_str(), fd);
  pw->lost = false;
  pw->nextCheckMs = nowMs + kLinReopenMs;
  // The amplifier may have been power-cycled with the adapter: it gets its
  // whole start-up set again, then the band's thresholds, before polling.
  InitMicroCmd(w);
  resendBandThresholds(w);
  w->cmdQ.urgent = 1;
  st->status = CMD_ST;
  pw->awaitStatus = true;
  pw->statusAtBack = w->statusReplies;
}

void LinPortStatusSeen(Works* w, LinearState* st) {
  LinPortWatch* pw = &st->port;
  if (!pw->awaitStatus || w->statusReplies == pw->statusAtBack) return;
  pw->awaitStatus = false;
  if (pw->errRaised) {
    // The link error was the lost port's: the amplifier answers again.
    DeleteErrore(w, 4);
    pw->errRaised = false;
  }
  zlog(LOG_INFO, "Linear port %s: amplifier answers again", pw->path.c_str());
}

int writeLinearPort(int fd, const char* text, int length, LinearState* st) {
  char chk[3];
  snprintf(chk, sizeof chk, "%02x", Sys_Crc8Calculation(text, static_cast<size_t>(length)));
  int rc = 0;
  if (serialWriteAll(fd, chk, 2) != 2) rc = -1;
  // Bounded: a dead port gives up instead of spinning.
  if (rc == 0 && serialWriteAll(fd, text, static_cast<size_t>(length)) != length) rc = -1;
  st->emptyPolls = 0;
  return rc;
}

void LastCmdSent(LinearState* st, char letter1, char letter2, int cmdNo) {
  st->lastCmdCode[0] = letter1;
  st->lastCmdCode[1] = letter2;
  st->lastCmdNo = cmdNo;
}

// ---------------------------------------------------------------- commands

int LinearCmdText(Works* w, int cmdNo, char* out) {
  const size_t cap = 64;
  switch (cmdNo) {
    case CMD_VSM: snprintf(out, cap, "VSM;"); return 4;
    case CMD_ST: snprintf(out, cap, "ST;"); return 3;
    case CMD_TU1: snprintf(out, cap, "TU1;"); return 4;
    case CMD_TU0: snprintf(out, cap, "TU0;"); return 4;
    case CMD_TU: snprintf(out, cap, "TU;"); return 3;
    case CMD_SA: snprintf(out, cap, "SA%d;", static_cast<int>(clampField(w->AntennaIdx + 1, 0, 9))); return 4;
    case CMD_FM: snprintf(out, cap, "FM;"); return 3;
    case CMD_FA:
      // Eleven digits at most; on the board a long has only ten, and the
      // eleven-digit bound would wrap to 1215752191.
      snprintf(out, cap, "FA%011lu;",
               static_cast<unsigned long>(clampField(
                   w->freq.load(), 0,
                   LONG_MAX < 99999999999LL ? LONG_MAX : static_cast<long>(99999999999LL))));
      return 14;
    case CMD_MT: snprintf(out, cap, "MT;"); return 3;
    case CMD_MT1:
    case CMD_MT1_MEM:
    case CMD_MT1_BYPASS:
    case CMD_MT1_RESET: snprintf(out, cap, "MT1%08X;", static_cast<unsigned>(w->Tuneval)); return 12;
    case CMD_FS:
      snprintf(out, cap, "FS%01d%04d;", static_cast<int>(clampField(w->FreqSensIn, 0, 9)),
               static_cast<int>(clampField(w->FreqPeriodTime / 10, 0, 9999)));
      return 8;
    case CMD_CP: snprintf(out, cap, "CPFFFF;"); return 7;
    case CMD_AT: snprintf(out, cap, "%s", attText(w->Attenuator)); return 5;
    case CMD_AT_TUNE: snprintf(out, cap, "%s", attText(w->AttenuatorTune)); return 5;
    case CMD_AT11: snprintf(out, cap, "%s", attText(3)); return 5;
    case CMD_MP0: snprintf(out, cap, "MP0;"); return 4;
    case CMD_MP1: snprintf(out, cap, "MP1;"); return 4;
    case CMD_AB0: snprintf(out, cap, "AB0;"); return 4;
    case CMD_AB1: snprintf(out, cap, "AB1;"); return 4;
    case CMD_AN: snprintf(out, cap, "AN%d;", static_cast<int>(clampField(w->anState, 0, 9))); return 4;
    case CMD_TS: {
      // One load of the packed set: the four values always belong together.
      int v[4];
      UnpackSoglieTS(w->tsWire.load(), v);
      snprintf(out, cap, "TS%04d%04d%04d%04d;", static_cast<int>(clampField(v[0], 0, 9999)),
               static_cast<int>(clampField(v[1], 0, 9999)), static_cast<int>(clampField(v[2], 0, 9999)),
               static_cast<int>(clampField(v[3], 0, 9999)));
      return 19;
    }
    case CMD_FN: snprintf(out, cap, "FN1%03d;", static_cast<int>(clampField(w->fanStepSent, 0, 999))); return 7;
    case CMD_PS:
      snprintf(out, cap, "PS%04d%04d%04d%04d;", static_cast<int>(clampField(w->PSpar1, 0, 9999)),
               static_cast<int>(clampField(w->PSpar2, 0, 9999)), static_cast<int>(clampField(w->PSpar3, 0, 9999)),
               static_cast<int>(clampField(w->PSpar4, 0, 9999)));
      return 19;
    case CMD_SF: snprintf(out, cap, "SF;"); return 3;
    case CMD_SF_FILTER: snprintf(out, cap, "SF30000%02x;", static_cast<unsigned>(w->filterSel)); return 10;
    case CMD_MR1: snprintf(out, cap, "MR1;"); return 4;
    case CMD_MR0: snprintf(out, cap, "MR0;"); return 4;
    case CMD_GM:
      snprintf(out, cap, "GM%04d%04d;", static_cast<int>(clampField(w->GMpar1, 0, 9999)),
               static_cast<int>(clampField(w->GMpar2, 0, 9999)));
      return 11;
    case CMD_GS_QUERY: snprintf(out, cap, "GS;"); return 3;
    case CMD_GS_SET:
      // Only a complete set of ten characters is sent back; anything else
      // would put stray bytes on the wire.
      if (strnlen(w->gsSettings, sizeof w->gsSettings) != 10) return -1;
      snprintf(out, cap, "GS%.10s;", w->gsSettings);
      return 13;
    case CMD_ER0: snprintf(out, cap, "ER0000;"); return 7;
    case CMD_ER1: snprintf(out, cap, "ER0001;"); return 7;
    case CMD_ER2: snprintf(out, cap, "ER0002;"); return 7;
    default:
      // 2, 3, 31 are states, 25 is unused, 29 carries a firmware code this
      // system does not hold.
      return -1;
  }
}

void SetAttenuatorCMD(Works* w, LinearState* st, int step, int commandNo) {
  const char* t = attText(step);
  LastCmdSent(st, 'A', 'T', commandNo);
  writeLinearPort(w->linFD, t, 5, st);
  fprintf(stderr, ">> %s\n", t);
  st->status = LIN_WAIT_REPLY;
}

int SendLinearCmd(Works* w, LinearState* st, int cmdNo) {
  switch (cmdNo) {
    case CMD_AT: SetAttenuatorCMD(w, st, w->Attenuator, cmdNo); return 0;
    case CMD_AT_TUNE: SetAttenuatorCMD(w, st, w->AttenuatorTune, cmdNo); return 0;
    case CMD_AT11: SetAttenuatorCMD(w, st, 3, cmdNo); return 0;
    default: break;
  }
  // The stored tuning, the bypass and the reset are tune words the tuner
  // sets; it holds the word's lock until the word is on the wire.
  const bool tuneLock = cmdNo == CMD_MT1_MEM || cmdNo == CMD_MT1_BYPASS || cmdNo == CMD_MT1_RESET;
  if (tuneLock) takeTuneWord(w, cmdNo);
  char text[64];
  int len = LinearCmdText(w, cmdNo, text);
  if (len < 0) {
    if (tuneLock) releaseTuneWord(w);
    zlogLimited(LOG_ERR, "Linear: command %d skipped", cmdNo);
    st->status = CMD_ST;
    return -1;
  }
  LastCmdSent(st, text[0], text[1], cmdNo);
  int rc = writeLinearPort(w->linFD, text, len, st);
  if (tuneLock) releaseTuneWord(w);

  switch (cmdNo) {
    case CMD_MT1: w->AtuBypassFlag = (w->Tuneval >> 16) & 1; break;
    case CMD_AB0:
      w->abState = 0;
      fprintf(stderr, ">> AB0;\n");
      break;
    case CMD_AB1:
      w->abState = 1;
      w->AttIdx = 4;  // standby
      fprintf(stderr, ">> AB1;\n");
      break;
    case CMD_AN:
    case CMD_FN:
    case CMD_PS:
    case CMD_SF_FILTER:
    case CMD_GM: fprintf(stderr, ">> %s\n", text); break;
    case CMD_GS_QUERY: fprintf(stderr, ">>r: %s\n", text); break;
    case CMD_MR1: {
      // The amplifier is in its loader: the panel shows the main page and
      // the loader's flag (the timer applies it, as every panel change).
      PanelEvent ev;
      ev.act = PanelAct::AmpLoader;
      w->panelQ.post(ev);
      st->status = LIN_IDLE;
      return rc;
    }
    default: break;
  }
  st->status = LIN_WAIT_REPLY;
  return rc;
}

// ---------------------------------------------------------------- flow

int NextCmdPriority(Works* w, LinearState* st, int defaultNext) {
  st->retryCount = 0;
  int next = defaultNext;
  if (w->cmdQ.urgent) {
    int cmd = TakeQueuedCmd(w);
    if (cmd >= 0) {
      next = cmd;
      fprintf(stderr, "cmd ext: %d\n", cmd);
    } else {
      w->cmdQ.urgent = 0;
      if (w->errResend == 1) {
        fprintf(stderr, ">>> ERRORI: Send All CMD for Error\n");
        w->errResend = 2;
      }
    }
  }
  st->status = next;
  return next;
}

void GestRetrayCMD(Works* w, LinearState* st) {
  w->retryTotal++;
  char c0 = st->lastCmdCode[0] ? st->lastCmdCode[0] : ' ';
  char c1 = st->lastCmdCode[1] ? st->lastCmdCode[1] : ' ';
  if (st->retryCount > 2) {
    char line[30];
    snprintf(line, sizeof line, "Err %c%c", c0, c1);
    SetErrorLine2(w, 4, line);
    if (w->commErrHoldMs == 0) {
      // A dead link is reported even before the amplifier first answered.
      AddErroreUnmuted(w, 4);
      w->commErrHoldMs = 2000;
    }
    fprintf(stderr,
            "---------------------------------------STOP RETRAY!! %c%c (%d, %d) Restart da ST (Timer: %i)\n",
            c0, c1, w->retryTotal.load(), st->retryCount, w->commErrHoldMs.load());
    w->retryStops++;
    st->status = CMD_ST;
    st->retryCount = 0;
  } else {
    st->retryCount++;
    st->status = st->lastCmdNo;
    fprintf(stderr, "--------------------------------------- ERROR LINEAR: RETRAY %c%c (%d , %d)\n", c0, c1,
            w->retryTotal.load(), st->retryCount);
  }
}

int LinRxByte(LinRx* rx, char c) {
  rx->buf[rx->count++] = c;
  rx->buf[rx->count] = '\0';
  if (c == ';') return 1;
  // The buffer holds 500 bytes: a reply may use all of them, ";" last.
  if (rx->count > kLinRxSize - 1) {
    fprintf(stderr, "<<<<<<<<<<<<<<<<<<<<ERROR COUNTER LINEAR (CounterLinear)\n");
    rx->count = 0;
    rx->buf[0] = '\0';
  }
  return 0;
}

bool LinFrameCheckOk(const char* frame, int count) {
  if (count < 3) return false;
  char chk[3];
  snprintf(chk, sizeof chk, "%02X", Sys_Crc8Calculation(frame + 2, static_cast<size_t>(count - 2)));
  return frame[0] == chk[0] && frame[1] == chk[1];
}

int LinHandleFrame(Works* w, LinearState* st, const char* frame, int count) {
  if (count < 5) {
    // Too short to hold a command (two check characters and "XY;"): stray
    // bytes; keep waiting for the real reply, the time-out still runs.
    st->status = LIN_WAIT_REPLY;
    return 0;
  }
  if (!LinFrameCheckOk(frame, count)) {
    char chk[3];
    snprintf(chk, sizeof chk, "%02X", Sys_Crc8Calculation(frame + 2, static_cast<size_t>(count - 2)));
    fprintf(stderr, "**** CHK ERROR!! %s %s\n", chk, frame);
    // A damaged reply is not decoded: it counts as a missing one.
    GestRetrayCMD(w, st);
    return 20;
  }
  st->status = LIN_DECODE;
  int pause = DecodeCatCmd(w, st, frame + 2, count - 2);
  // The decoder's fields are this thread's; the others read the copy.
  PublishAmpStatus(w);
  return pause;
}

int LinWaitStep(Works* w, LinearState* st, int avail, int readResult, char c) {
  LinRx* rx = &st->rx;
  if (avail <= 0) {
    st->emptyPolls++;
    if (st->emptyPolls > kLinTimeoutPolls - 1) {
      rx->count = 0;  // a broken reply must not poison the next one
      GestRetrayCMD(w, st);
    }
    return 1;
  }
  if (readResult != 1) {
    zlogLimited(LOG_ERR, "timeout %d\n", readResult);
    rx->count = 0;
    GestRetrayCMD(w, st);
    return 20;
  }
  if (!LinRxByte(rx, c)) return 0;
  int pause = LinHandleFrame(w, st, rx->buf, rx->count);
  rx->count = 0;
  return pause;
}

float AmpSupplyVolts(Works*) {
  // The front-panel controller's supply reading is not wired in yet.
  return 0.0f;
}

// ---------------------------------------------------------------- thread

namespace {

int64_t monoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void Linear(Works* w) {
  // The link's state lives here, for this run of the thread only.
  LinearState st;
  RunLinear(w, &st);
}

void RunLinear(Works* w, LinearState* state) {
  LinearState& st = *state;
  OpenLinear(w, &st);
  st.port.path = LinPortPath(w);
  if (w->linFD < 0) LinPortLost(w, &st, monoMs(), "not opened");
  st.port.nextCheckMs = monoMs() + kLinReopenMs;
  BeatScope watched(Beat::Linear);
  while (w->running) {
    beat(Beat::Linear);
    stallIfAsked(Beat::Linear, w->running);
    if (w->linReopen.exchange(0) != 0) {
      // The retry key of the failure page: open the port again now, so a
      // second failure shows on the panel again.
      serialClose(w->linFD);
      w->linFD = -1;
      st.rx.count = 0;
      const int64_t now = monoMs();
      OpenLinear(w, &st);
      if (w->linFD >= 0) LinPortReopened(w, &st, w->linFD, now);
      else LinPortLost(w, &st, now, "retry failed");
      continue;
    }
    if (w->linFD < 0) {
      const int64_t now = monoMs();
      if (LinPortReopenDue(&st, now)) {
        st.rx.count = 0;
        LinPortReopened(w, &st, serialOpen(st.port.path, 115200), now);
      }
      if (w->linFD < 0) sleepMs(10);
      continue;
    }
    const int state = st.status;
    if (state == LIN_WAIT_REPLY) {
      int avail = serialAvailable(w->linFD);
      if (avail < 0 && serialPortDead(w->linFD)) {
        LinPortLost(w, &st, monoMs(), "hang-up");
        continue;
      }
      char c = 0;
      int r = 0;
      if (avail > 0) r = serialReadByte(w->linFD, &c);
      int pause = LinWaitStep(w, &st, avail, r, c);
      LinPortStatusSeen(w, &st);
      if (pause > 0) sleepMs(pause);
    } else if (state == LIN_DECODE) {
      // Only reached if a decode left no next command: wait again.
      st.status = LIN_WAIT_REPLY;
    } else if (state == LIN_IDLE) {
      for (int i = 0; i < 100 && w->running; i++) sleepMs(10);
    } else {
      if (SendLinearCmd(w, &st, state) != 0 && serialPortDead(w->linFD)) {
        LinPortLost(w, &st, monoMs(), "write failed");
        continue;
      }
    }
    const int64_t now = monoMs();
    if (now >= st.port.nextCheckMs) {
      // An adapter re-plugged at the same path is another device: the old
      // descriptor may never report an error of its own.
      st.port.nextCheckMs = now + kLinReopenMs;
      if (!serialSameDevice(w->linFD, st.port.path)) LinPortLost(w, &st, now, "device replaced");
    }
  }
  serialClose(w->linFD);
  w->linFD = -1;
}
