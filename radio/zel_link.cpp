#include "platform/heartbeat.h"
#include "radio/zel_link.h"

#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "amp/errors.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/serial.h"
#include "core/station_hooks.h"

std::atomic<int> status_cat{0};

namespace {

constexpr int kSilencePolls = 1499;  // empty 1 ms polls before a time-out
constexpr int kMaxBody = 2000;
constexpr int kSpectrumLine = 1024;

std::mutex g_tapMut;
RadioFrameTap g_tap;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool serialMayRun(Works* w) {
  return w->running.load() != 0 && w->setup != nullptr && runByte(w->setup->zelRun) == '1';
}

// Silence or a read error on the data port: reported at most once per
// hold-off period; error 8 only while the companion radio is the interface.
void reportTimeout(Works* w, int where) {
  if (w->commErrHoldMs.load() != 0) return;
  if (w->ModeWorkIdx.load() == 1) AddErrore(w, 8);
  w->commErrHoldMs = 2000;
  echoLimited("---------------------------------------TIMEOUT EXT IO %d", where);
}

// Level rule: non-zero = on at that level; zero = off, keeping the last
// level as a negative value; a field never set takes its initial value.
void level(int32_t& field, int v, int32_t initial = 0) {
  if (v != 0) {
    field = v;
    return;
  }
  field = -std::abs(field);
  if (field == 0) field = initial;
}

// Digits of bytes 1..8 and 23..30: the low 4 bits of each byte. Masked
// rather than taken as (byte | 0x30) - 0x30, which is the same for every
// digit the radio sends but lets a stray byte above 0x3F spill into the
// neighbouring digits.
uint32_t digits(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) v = (v << 4) | (static_cast<uint32_t>(p[i]) & 0x0Fu);
  return v;
}

int bit(uint8_t b, int n) { return (b >> n) & 1; }
int setNeg(uint8_t b, int n) { return bit(b, n) ? -1 : 1; }
int setPos(uint8_t b, int n) { return bit(b, n) ? 1 : -1; }

void decodeBlock(ZelParam& p, int length, const uint8_t* b) {
  p.b0Bit6 = bit(b[0], 6);
  p.vfoBActive = bit(b[0], 5);
  p.vfoBReported = bit(b[0], 4);
  p.altFreqFlag = bit(b[0], 0);
  p.b0Bits23 = (b[0] >> 2) & 3;

  p.freqReported = static_cast<int32_t>(digits(b + 1, 8));
  if (p.altFreqFlag == 1) {
    p.freqAlt = p.freqReported;
    p.freq = p.freqAlt;
  } else {
    if (p.vfoBReported == 1)
      p.freqB = p.freqReported;
    else
      p.freqA = p.freqReported;
    p.freq = p.vfoBActive == 1 ? p.freqB : p.freqA;
  }
  p.freqPrev = p.freqLast;
  p.freqLast = p.freq;

  if (length > 9 && (b[9] & 0x80)) {
    p.txState = bit(b[9], 6);
    p.b9Bit5 = bit(b[9], 5);
    p.b9Bit4 = bit(b[9], 4);
    p.modeReported = b[9] & 0x0F;
    if (p.vfoBReported == 1)
      p.modeB = p.modeReported;
    else
      p.modeA = p.modeReported;
    p.mode = p.vfoBActive == 1 ? p.modeB : p.modeA;
  }
  if (length > 10 && (b[10] & 0xC0) == 0x40) {
    p.volumeSel = (b[10] >> 4) & 3;
    p.b10Bit3 = setNeg(b[10], 3);
    p.b10Bit2 = setNeg(b[10], 2);
    p.b10Bit1 = setNeg(b[10], 1);
    p.b10Bit0 = setPos(b[10], 0);
  }
  if (length > 11 && (b[11] & 0xC0) == 0x40) {
    p.radioAn = bit(b[11], 5);
    p.b11Bit4 = bit(b[11], 4);
    level(p.Squelch, b[11] & 0x0F, -1);
  }
  if (length > 13 && (b[12] & 0x80) && (b[13] & 0xC0) == 0x40) {
    p.b12Bit2 = bit(b[12], 2);
    level(p.b12Level2, b[12] & 3);
    level(p.b12Level4, (b[12] >> 3) & 0x0F);
    p.b13Bit5 = bit(b[13], 5);
    p.b13Bit4 = bit(b[13], 4);
    level(p.b13Level, b[13] & 0x0F);
    p.comboIndex = p.b12Bit2 == 1 ? (b[13] & 0x0F) + 5 : ((b[12] >> 3) & 0x0F) + 1;
  }
  if (length > 14 && (b[14] & 0xF0) == 0x30) level(p.Nr, b[14] & 0x0F, -1);
  if (length > 15 && (b[15] & 0xF0) == 0x30) level(p.Nb, b[15] & 0x0F, -1);
  if (length > 19 && (b[16] & 0xE0) == 0x60 && (b[17] & 0xE0) == 0x60 && (b[19] & 0xE0) == 0x60 &&
      (b[18] & 0xF0) == 0x30) {
    p.index16 = (b[16] & 0x1F) + 1;
    p.index17 = (b[17] & 0x1F) + 1;
    p.index18 = (b[18] & 0x0F) + 1;
    p.index19a = ((b[19] >> 2) & 7) + 1;
    p.index19b = (b[19] & 3) + 1;
  }
  if (length > 20 && (b[20] & 0xC0) == 0x40) {
    level(p.Att, bit(b[20], 4), -1);
    level(p.Lp, bit(b[20], 3), -1);
    level(p.An, (b[20] >> 1) & 3, -1);
    p.b20Bit0 = setPos(b[20], 0);
  }
  if (length > 21) p.level21 = static_cast<int>(b[21]) - 211;
  if (length > 22) {
    int v = b[22] & 0x7F;
    if (p.volumeSel == 0)
      level(p.Volume, v, 50);
    else if (p.volumeSel == 1)
      level(p.VolumeAux, v, 50);
    else
      level(p.VolumeSide, v, 5);
  }
  if (length > 25) p.pitch = static_cast<int32_t>(digits(b + 23, 3));
  if (length > 30) {
    // 20-bit two's complement: a first digit above 7 is negative.
    int32_t v = static_cast<int32_t>(digits(b + 26, 5));
    if (v & 0x80000) v -= 0x100000;
    p.offset = v;
  }
}

}  // namespace

void radioTapFrame(const char* type, const uint8_t* data, int length) {
  std::lock_guard<std::mutex> lk(g_tapMut);
  if (g_tap) g_tap(type, data, length);
}

void setRadioFrameTap(RadioFrameTap tap) {
  std::lock_guard<std::mutex> lk(g_tapMut);
  g_tap = std::move(tap);
}

// ---------------------------------------------------------------------------
// Parameter record and spectrum levels

void storeParameters(Works* w, int length, const uint8_t* block) {
  if (w->serMut == nullptr || w->zelParam == nullptr) {
    zlogLimited(LOG_ERR, "serMut mutex cannot be locked");
    return;
  }
  std::lock_guard<std::mutex> lk(*w->serMut);
  if (!w->zelParamReady) {
    memset(w->zelParam, 0, sizeof(ZelParam));
    w->zelParamReady = 1;
  }
  // The frequency digits are always read: a shorter block carries no
  // frequency and is not decoded at all.
  if (block == nullptr || length < 9) {
    zlogLimited(LOG_ERR, "parameter block too short (%d)", length);
    return;
  }
  decodeBlock(*w->zelParam, length, block);
}

void getParameters(Works* w, ZelParam* out) {
  if (w->serMut == nullptr || w->zelParam == nullptr) {
    memset(out, 0, sizeof *out);
    return;
  }
  std::lock_guard<std::mutex> lk(*w->serMut);
  *out = *w->zelParam;
}

void storeFFT(Works* w, int length, const uint8_t* line) {
  float lv[kSpectrumPoints];
  // Points the line does not reach sit on the floor.
  for (float& f : lv) f = -192.0f;
  for (int i = 85; i < 85 + kSpectrumPoints && i < length; i++) lv[i - 85] = line[i] - 192.0f;
  if (w->serMut == nullptr) {
    zlogLimited(LOG_ERR, "serMut mutex cannot be locked");
    return;
  }
  std::lock_guard<std::mutex> lk(*w->serMut);
  memcpy(w->spectrumLevels, lv, sizeof lv);
}

void getSpectrumLevels(Works* w, float* out) {
  if (w->serMut == nullptr) return;
  std::lock_guard<std::mutex> lk(*w->serMut);
  memcpy(out, w->spectrumLevels, sizeof w->spectrumLevels);
}

// ---------------------------------------------------------------------------
// Spectrum rotation

int spectrumStartIndex(int mode, int pitch, int offset) {
  const double bin = 0.005333;  // 1 / 187.5 Hz
  double m = 0;
  if (mode == 4) m = pitch * -bin;
  if (mode == 6) m = pitch * bin;
  double s = m + offset * bin + 85;
  long k = s >= 0 ? static_cast<long>(s) : static_cast<long>(s + kSpectrumLine);
  // Shifts beyond one line (very large offsets) wrap around.
  k %= kSpectrumLine;
  if (k < 0) k += kSpectrumLine;
  return static_cast<int>(k);
}

void rotateSpectrum(const uint8_t* body, int k, uint8_t* out) {
  for (int i = 0; i < kSpectrumLine; i++) out[i] = body[(k + i) % kSpectrumLine];
}

// ---------------------------------------------------------------------------
// Data port

ssize_t writeSerialPort(int fd, const void* data, size_t length) {
  return serialWriteAll(fd, data, length, 3000);
}

int readSerialPort(Works* w, uint8_t* buf, int count) {
  int got = 0;
  int empty = 0;
  while (got < count) {
    if (!serialMayRun(w)) return -1;
    int fd = w->serFD.load();
    int avail = serialAvailable(fd);
    if (avail > 0) {
      ssize_t n = serialRead(fd, buf + got, static_cast<size_t>(count - got));
      if (n > 0) {
        got += static_cast<int>(n);
        continue;
      }
    }
    empty++;
    sleepMs(1);
    if (empty > kSilencePolls) reportTimeout(w, 3);
  }
  return got;
}

int decodeLengthDigits(const uint8_t d[4]) {
  int v = 0;
  char text[5];
  for (int i = 3; i >= 0; i--) {
    int digit = (d[i] - 0x30) & 0x0F;
    v = (v << 4) | digit;
    text[3 - i] = static_cast<char>(0x30 + digit);
  }
  text[4] = '\0';
  if (v >= kMaxBody) {
    fprintf(stderr, "----------> 3SERIAL : ERROR dataLength %d   %s!!!!!!\n", v, text);
    v = kMaxBody - 1;
  }
  return v;
}

int decodeCmdParameters(Works* w, uint8_t* lenBuf, uint8_t* subBuf, int* length) {
  if (readSerialPort(w, subBuf, 1) != 1) return -1;
  if (readSerialPort(w, lenBuf, 4) != 4) return -1;
  *length = decodeLengthDigits(lenBuf);
  return 0;
}

void zelCommandStep(Works* w) {
  int fd = w->serFD.load();
  uint8_t tf = w->tuneFlags.load();
  if (tf & 0x04) {
    writeSerialPort(fd, "RX;", 3);
    fprintf(stderr, "SENT ZEL RX;! (0x%x)\n", tf);
    w->tuneFlags.fetch_and(static_cast<uint8_t>(~0x04));
    w->tuneFlags.fetch_or(0x08);
  }
  tf = w->tuneFlags.load();
  if (tf & 0x20) {
    writeSerialPort(fd, "TU120;TX2;", 10);
    fprintf(stderr, "SENT ZEL TX2;! (0x%x)\n", tf);
    w->tuneFlags.fetch_and(static_cast<uint8_t>(~0x20));
    w->tuneFlags.fetch_or(0x40);
  }
  uint8_t tx = w->txReqFlags.load();
  if (tx & 0x01) {
    if (!(tx & 0x02)) {
      writeSerialPort(fd, "RX;", 3);
      fprintf(stderr, "SENT ZEL RX...\n");
      w->txHoldoff = 30;
      w->txReqFlags.fetch_and(static_cast<uint8_t>(~0x01));
    } else if (((tx >> 4) & 1) == ((tx >> 5) & 1)) {
      writeSerialPort(fd, "TU120;TX2;", 10);
      fprintf(stderr, "SENT ZEL TX2...\n");
      w->txReqFlags.fetch_and(static_cast<uint8_t>(~0x01));
    }
    // Otherwise the amplifier has not confirmed the antenna yet.
  }
}

static void handleBody(Works* w, ZelReader& r) {
  uint8_t body[kMaxBody];
  memset(body, 0, sizeof body);
  if (r.type == 0 && r.subtype == '0') {
    if (readSerialPort(w, body, r.length) != r.length) return;
    if (runByte(w->setup->spectrumSource) == '0') {
      ZelParam p;
      getParameters(w, &p);
      uint8_t line[kSpectrumLine];
      rotateSpectrum(body, spectrumStartIndex(p.mode, p.pitch, p.offset), line);
      // Only the rotated line exists: a longer body sends at most its 1024 bytes.
      int n = r.length - 170;
      if (n > kSpectrumLine) n = kSpectrumLine;
      if (n > 0) {
        sendSpectrumToPeer(w, line, n);
        radioTapFrame("SP", line, n);
      }
    }
  } else if (r.type == 1 && r.subtype == '1') {
    if (readSerialPort(w, body, r.length) != r.length) return;
    storeParameters(w, r.length, body);
    sendRadioParamsToPeer(w, body, r.length);
    radioTapFrame("PA", body, r.length);
  } else if (r.type >= 2) {
    zlogLimited(LOG_ERR, "Error3");
  }
  zelCommandStep(w);
}

void zelReaderStep(Works* w, ZelReader& r) {
  if (r.state == 1) {
    handleBody(w, r);
    r.state = 0;
    return;
  }
  int fd = w->serFD.load();
  int avail = serialAvailable(fd);
  if (avail <= 0) {
    if (++r.silence > kSilencePolls) {
      reportTimeout(w, 1);
      r.silence = 0;
    }
    sleepMs(1);
    return;
  }
  r.silence = 0;
  uint8_t b = 0;
  ssize_t n = serialRead(fd, &b, 1);
  if (n != 1) {
    zlogLimited(LOG_ERR, "error %d", errno);
    reportTimeout(w, 2);
    return;
  }
  if (b > 14) return;  // not a header: try the next byte
  r.type = b;
  uint8_t sub = 0;
  if (decodeCmdParameters(w, r.lenDigits, &sub, &r.length) != 0) return;
  r.subtype = sub;
  r.state = 1;
}

static int setupSerialPort(Works* w) {
  const char* port = w->setup->SerPort;
  zlog(LOG_INFO, "Init Serial Port %s", port);
  int fd = serialOpen(port, 115200, false);
  // A port that cannot be opened or set up is shown on the failure page
  // (Retry, Cancel) like the other links; the amplifier goes on being
  // protected whatever the radio does.
  if (fd < 0) {
    zlog(LOG_ERR, "Unable to open device %s", port);
    fprintf(stderr, "Serial: Unable to open device %s\n", port);
    snprintf(w->failText, sizeof w->failText, "Serial: Unable to open device %s\n", port);
    w->failCode = 3;
    return -1;
  }
  w->serFD = fd;
  zlog(LOG_INFO, "OK works->serFD=%d (%s)", fd, port);
  fprintf(stderr, "------------------ OK works->serFD=%d (%s)\n", fd, port);
  return 0;
}

void Serial(Works* w) {
  if (w->setup == nullptr || setupSerialPort(w) != 0) return;
  ZelReader r;
  BeatScope watched(Beat::Serial);
  while (serialMayRun(w)) {
    beat(Beat::Serial);
    zelReaderStep(w, r);
  }
  fprintf(stderr, "---------------------------------------Serial EXIT %x\n",
          static_cast<unsigned>(static_cast<uint8_t>(runByte(w->setup->zelRun))));
  // Released so that the next work-mode change can open it again.
  int fd = w->serFD.exchange(-1);
  serialClose(fd);
}
