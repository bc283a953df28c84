#include "platform/heartbeat.h"
#include "radio/cat_serial.h"

#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/works.h"
#include "platform/log.h"
#include "platform/serial.h"

namespace {

constexpr uint8_t kReadFreqMode[5] = {0x00, 0x00, 0x00, 0x00, 0x03};

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool catSerMayRun(Works* w) {
  return w->running.load() != 0 && w->setup != nullptr && runByte(w->setup->catSerRun) == '1';
}

}  // namespace

int VerifyByteFreq(uint8_t b) { return ((b >> 4) > 9 || (b & 0x0F) > 9) ? 1 : 0; }

ssize_t writeSerialCatPort(int fd, const void* data, size_t length, CatSerialPoll& p) {
  ssize_t n = serialWriteAll(fd, data, length, 3000);
  p.emptyPolls = 0;
  return n;
}

void DecodeFt817Answer(Works* w, const uint8_t* a, int count) {
  if (count >= 5) {
    w->catSerMode = a[4];
    if (VerifyByteFreq(a[0]) || VerifyByteFreq(a[1]) || VerifyByteFreq(a[2]) || VerifyByteFreq(a[3])) {
      echoLimited("CAT FT817 freq not decoded :  %02x %02x %02x %02x %02x", a[0], a[1], a[2], a[3], a[4]);
    } else {
      int d[4];
      for (int i = 0; i < 4; i++) d[i] = (a[i] >> 4) * 10 + (a[i] & 0x0F);
      w->catSerFreq = d[0] * 10000000 + d[1] * 100000 + d[2] * 1000 + d[3] * 10;
    }
  }
}

void DecodeCatSerialCmd(Works* w, CatSerialPoll& p, const uint8_t* a, int count) {
  if (p.lastCommandSent == 3) DecodeFt817Answer(w, a, count);
  sleepMs(20);
  p.lastCommandSent = 0;
}

void catSerialStep(Works* w, CatSerialPoll& p) {
  int fd = w->catSerFD.load();
  switch (p.status.load()) {
    case 3:
      // Nothing is owed to us now: bytes still waiting belong to an answer
      // that came too late and would shift every later answer by their count.
      serialDrainInput(fd);
      p.n = 0;
      writeSerialCatPort(fd, kReadFreqMode, sizeof kReadFreqMode, p);
      p.lastCommandSent = 3;
      p.status = 2;
      break;
    case 2: {
      if (serialAvailable(fd) <= 0) {
        p.emptyPolls++;
        sleepMs(1);
        if (p.emptyPolls.load() > 1499) {
          echoLimited("<<<<<<<<<<<<<<<<<<<<TIMEOUT SERIAL CAT!!!!");
          p.n = 0;
          p.status = 3;
          for (int i = 0; i < 100 && catSerMayRun(w); i++) sleepMs(10);
        }
        break;
      }
      uint8_t b;
      ssize_t n = serialRead(fd, &b, 1);
      if (n != 1) {
        zlogLimited(LOG_ERR, "timeout %d\n", static_cast<int>(n));
        sleepMs(20);
        break;
      }
      p.buf[p.n++] = b;
      if (p.n == 5) {
        p.n = 0;
        p.status = 1;
      }
      break;
    }
    case 1:
      DecodeCatSerialCmd(w, p, p.buf, 5);
      p.status = 3;
      break;
    default:
      p.status = 3;
      break;
  }
}

void CatSerial(Works* w) {
  CatSerialPoll p;
  RunCatSerial(w, &p);
}

void RunCatSerial(Works* w, CatSerialPoll* poll) {
  if (w->setup == nullptr) return;
  const char* port = w->setup->CatSerialPort;
  zlog(LOG_INFO, "Init CATSerial Port %s", port);
  PortOpenStage stage;
  int fd = serialOpenStaged(port, 9600, true, &stage);
  if (fd < 0) {
    if (stage == PortOpenStage::Open) {
      zlog(LOG_ERR, "Unable to open device %s", port);
      snprintf(w->failText, sizeof w->failText, "CAT: Unable to open device %s", port);
    } else {
      zlog(LOG_ERR, "Unable to set comm port %s", port);
      snprintf(w->failText, sizeof w->failText, "CAT: Unable to set comm port %s", port);
    }
    w->failCode = 2;
    return;
  }
  w->catSerFD = fd;
  zlog(LOG_INFO, "OK works->catSerFD=%d (%s)", fd, port);
  fprintf(stderr, "---------------- OK works->catSerFD=%d (%s)\n", fd, port);
  CatSerialPoll& p = *poll;
  p.lastCommandSent = 0;
  p.status = 3;
  BeatScope watched(Beat::CatSerial);
  while (catSerMayRun(w)) {
    beat(Beat::CatSerial);
    catSerialStep(w, p);
  }
  // Released so that the next work-mode change can open it again.
  serialClose(w->catSerFD.exchange(-1));
}
