// The companion radio's CAT port: discovery by the "DT;" probe, the bridge
// to the remote peer, and the readiness check of remote operation.
#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "amp/errors.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/devices.h"
#include "platform/serial.h"
#include "platform/usb.h"
#include "radio/zel_link.h"
#include "radio/zel_usb_ids.h"
#include "core/station_hooks.h"

std::atomic<int> verifyCatReplyMs{1000};

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Held while the bridge reads from catFD and while ExitCAT closes it.
std::mutex g_catFdMut;

// One byte from the CAT port: 1 read, 0 nothing waiting, -1 closed or failed.
int catReadByte(int fd, uint8_t* b) {
  if (fd < 0) return -1;
  int avail = serialAvailable(fd);
  if (avail < 0) return -1;
  if (avail == 0) return 0;
  return serialRead(fd, b, 1) == 1 ? 1 : -1;
}

const char* catPortName(Works* w) { return w->setup != nullptr ? w->setup->CatPort : ""; }

// Waits up to ms for one byte. Returns 1, 0 on silence, -1 on a port error.
int readByteWithin(int fd, uint8_t* b, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int avail = serialAvailable(fd);
    if (avail < 0) return -1;
    if (avail > 0) {
      ssize_t n = serialRead(fd, b, 1);
      if (n == 1) return 1;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return 0;
    sleepMs(1);
  }
}

// Reads the answer to "DT;" one byte at a time until silence or the
// collector has the whole answer.
bool probeReply(int fd, const std::string& path) {
  CatProbe p;
  uint8_t b;
  while (readByteWithin(fd, &b, verifyCatReplyMs.load()) == 1) {
    const bool done = catProbeByte(p, b);
    zlogLimited(LOG_INFO, "Received %d \"%s\" %s", 1, p.buf, path.c_str());
    if (done) break;
  }
  zlogLimited(LOG_INFO, "Received \"%s\" %s", p.buf, path.c_str());
  return catProbeAnswerOk(p);
}

}  // namespace

bool catProbeByte(CatProbe& p, uint8_t b) {
  if (p.got >= 6) return true;
  p.buf[p.got++] = static_cast<char>(b);
  p.buf[p.got] = '\0';
  return b == ';' || p.got >= 6;
}

bool catProbeAnswerOk(const CatProbe& p) { return p.got >= 5 && memcmp(p.buf, "DT001", 5) == 0; }

int VerifyCAT(Works* w) {
  fprintf(stderr, "CAT serial search...\n");
  std::vector<std::string> ports = globDevices("/dev/MIRKCAT*");
  if (ports.empty()) {
    fprintf(stderr, "No CAT serial port found\n");
    return -1;
  }
  for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
    const char* path = it->c_str();
    PortOpenStage stage;
    int fd = serialOpenStaged(*it, 115200, false, &stage);
    if (fd < 0 && stage == PortOpenStage::Open) {
      int e = errno;
      zlog(LOG_INFO, "Cannot open %s, error %d -%s", path, e, strerror(e));
      sleepMs(2);
      continue;
    }
    // Opening and setting are one call here, so a port that opened but
    // refused its settings still shows as opened first.
    int e = errno;
    zlog(LOG_INFO, "Opened  %s", path);
    fprintf(stderr, "Opened %s---------------------------------------------\n", path);
    if (fd < 0) {
      zlog(LOG_INFO, "Cannot set %s, error %d -%s", path, e, strerror(e));
      sleepMs(2);
      continue;
    }
    zlog(LOG_INFO, "Set %s", path);
    fprintf(stderr, "set %s---------------------------------------------\n", path);
    zlog(LOG_INFO, "Send \"DT;\" %s", path);
    writeSerialPort(fd, "DT;", 3);
    zlog(LOG_INFO, "Sent \"DT;\" %s", path);
    fprintf(stderr, "sent %s---------------------------------------------\n", path);
    if (probeReply(fd, *it)) {
      fprintf(stderr, "received DT001; %s---------------------------------------------\n", path);
      w->catFD = fd;
      fprintf(stderr, "CAT serial found:  %s---------------------------------------------\n", path);
      return 0;
    }
    serialClose(fd);
    zlog(LOG_INFO, "Cannot connect ZEL using %s", path);
    sleepMs(2);
  }
  zlog(LOG_ERR, "Unable to open device %s", catPortName(w));
  fprintf(stderr, "CAT: Unable to open device %s\n", catPortName(w));
  return -1;
}

ssize_t writeCatPort(Works* w, const void* data, size_t length) {
  std::lock_guard<std::mutex> lk(g_catFdMut);
  int fd = w->catFD.load();
  if (fd < 0) return -2;
  return writeSerialPort(fd, data, length);
}

void ExitCAT(Works* w) {
  // Either side may get here first (the bridge on a read error, the remote
  // link on a write error): the port is closed exactly once, and never
  // while the bridge is between taking the descriptor and reading from it
  // (the number could meanwhile belong to a new socket of the remote link).
  {
    std::lock_guard<std::mutex> lk(g_catFdMut);
    int fd = w->catFD.exchange(-1);
    status_cat = 0;
    serialClose(fd);
  }
  w->remoteFault = 1;
  if (w->setup != nullptr) setRunByte(w->setup->EnableCAT, '0');
  AddErrore(w, 20);
}

bool catCollectByte(CatCollector& c, uint8_t b, std::string& out) {
  c.buf[c.n++] = static_cast<char>(b);
  if (b == ';') {
    c.buf[c.n] = '\0';
    out.assign(c.buf, static_cast<size_t>(c.n));
    c.n = 0;
    return true;
  }
  if (c.n >= 200) c.n = 0;  // no ";" in 200 bytes: not a CAT text
  return false;
}

void Cat(Works* w) {
  if (w->setup == nullptr) return;
  status_cat = 0;
  for (int i = 0; i < 300 && w->running.load() != 0; i++) sleepMs(10);
  if (VerifyCAT(w) != 0) {
    zlog(LOG_ERR, "Unable to open device %s", catPortName(w));
    fprintf(stderr, "CAT: Unable to open device %s\n", catPortName(w));
    ExitCAT(w);
    return;
  }
  zlog(LOG_INFO, "OK works->catFD=%d (%s)", w->catFD.load(), catPortName(w));
  status_cat = 1;
  CatCollector c;
  std::string text;
  while (runByte(w->setup->EnableCAT) == '1' && w->running.load() != 0) {
    uint8_t b = 0;
    int got;
    {
      std::lock_guard<std::mutex> lk(g_catFdMut);
      got = catReadByte(w->catFD.load(), &b);
    }
    if (got < 0) break;  // closed by the remote link, or the port failed
    if (got == 0) {
      sleepMs(1);  // a short nap rather than spinning a core on FIONREAD
      continue;
    }
    if (catCollectByte(c, b, text)) {
      sendCatToPeer(w, text.c_str(), static_cast<int>(text.size()));
      radioTapFrame("CA", reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    }
  }
  ExitCAT(w);
}

// ---------------------------------------------------------------------------
// Readiness of remote operation

int VerifyAudioZEL(Works*) {
  std::vector<std::string> lines;
  if (usbListLines(std::string("lsusb|grep ") + kZelAudioCodecId + " |wc -l", lines) != 0 || lines.empty()) {
    fprintf(stderr, "Error opening pipe.\n");
    return 0;
  }
  return atoi(lines[0].c_str());
}

int Get_AudioZEL(Works*) {
  std::vector<std::string> lines;
  if (usbListLines("lsusb | grep 0d8c", lines) != 0) {
    fprintf(stderr, "Error opening pipe.\n");
    return 0;
  }
  int n = 0;
  for (const auto& l : lines) {
    if (l.empty()) continue;
    fprintf(stderr, "----------------- %s\n", l.c_str());
    n++;
  }
  return n;
}

int remoteSettingsAfterUsb(Works* w) {
  // While the bridge holds the port it is found; probing it again would
  // steal the radio's answers from the bridge.
  if (status_cat.load() == 0) {
    if (VerifyCAT(w) != 0) {
      fprintf(stderr, "---CAT: Unable to open device %s\n", catPortName(w));
      return 2;
    }
    // A check only: the bridge finds and opens the port itself when it starts.
    int fd = w->catFD.exchange(-1);
    serialClose(fd);
  }
  return VerifyAudioZEL(w) >= 1 ? 0 : 3;
}

int Find_Remote_Settings(Works* w) {
  if (usbDevicePresent(kZelUsbVendor, kZelUsbProductZel) != 1) return 1;
  return remoteSettingsAfterUsb(w);
}
