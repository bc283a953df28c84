// The simulated amplifier micro-controller. Written from the wire format
// of the link, not from the controller's decoder.
#include "sim/amp_sim.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "platform/serial.h"

// The link's check digits, made here from the catalogue's definition
// (CRC-8/MAXIM: polynomial 0x31, bits in and out reflected, init 0) with
// a table rather than the controller's bit loop, so that a misreading the
// two shared would not pass every test.
uint8_t ampSimCrc8(const void* bytes, size_t length) {
  static const std::array<uint8_t, 256> table = [] {
    auto reflect = [](uint8_t v) {
      uint8_t r = 0;
      for (int i = 0; i < 8; i++)
        if (v & (1u << i)) r = static_cast<uint8_t>(r | (0x80u >> i));
      return r;
    };
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; i++) {
      uint8_t c = reflect(static_cast<uint8_t>(i));
      for (int k = 0; k < 8; k++) c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ 0x31 : c << 1);
      t[static_cast<size_t>(i)] = reflect(c);
    }
    return t;
  }();
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint8_t crc = 0;
  for (size_t i = 0; i < length; i++) crc = table[crc ^ p[i]];
  return crc;
}

namespace {

// Meter calibration of the amplifier (W = factor x reading^2) and the
// directivity correction the controller applies to the reflected reading.
const double kFwdK = 5.156579e-6, kReflK = 3.3262754e-6, kInK = 5.5078103e-6, kDirK = -0.007;
const double kGain = 10.0;      // 10 dB
const double kMaxOut = 1500.0;  // W
const double kEfficiency = 0.55;
const double kSupplyV = 48.0;

// 10 kohm NTC: (deg C, kohm).
const double kNtc[][2] = {
    {-40, 347.808}, {-35, 248.591}, {-30, 179.973}, {-25, 131.832}, {-20, 97.679}, {-15, 73.119},
    {-10, 55.301},  {-5, 42.257},   {0, 32.582},    {5, 25.324},    {10, 19.847},  {15, 15.679},
    {20, 12.478},   {25, 10.000},   {30, 8.068},    {35, 6.552},    {40, 5.353},   {45, 4.399},
    {50, 3.635},    {55, 3.020},    {60, 2.521},    {65, 2.115},    {70, 1.783},   {75, 1.510},
    {80, 1.284},    {85, 1.096},    {90, 0.939},    {95, 0.808},    {100, 0.698},  {105, 0.605},
    {110, 0.527},   {115, 0.460},   {120, 0.403},   {125, 0.354},
};
const int kNtcRows = sizeof kNtc / sizeof kNtc[0];

int clampRaw(double v) {
  if (!(v > 0)) return 0;
  return v > 9999 ? 9999 : static_cast<int>(v + 0.5);
}

bool tx(const AmpSimState& s) { return s.drive > 0; }

std::string hex2(int v) {
  char b[4];
  snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

long parseNumber(const std::string& t, bool* ok) {
  char* end = nullptr;
  long v = strtol(t.c_str(), &end, 0);
  *ok = !t.empty() && end != nullptr && *end == '\0';
  return v;
}

}  // namespace

double simSwr(const AmpSimState& s) {
  if (s.loadsLive) {
    const PhysLoad& load = s.loads[(s.antenna >= 1 && s.antenna <= 3) ? s.antenna - 1 : 0];
    double f = static_cast<double>(s.freq);
    return physSwrForWord(s.tuneWord, f, physLoadImpedance(load, f));
  }
  return s.swr < 1.0 ? 1.0 : s.swr;
}

AmpSimPowers ampSimPowers(const AmpSimState& s) {
  AmpSimPowers p;
  p.in = s.drive;
  static const double padDb[4] = {0, 2, 3, 5};
  double driven = s.drive * std::pow(10.0, -padDb[s.att & 3] / 10.0);
  if (s.bypass || s.protection || s.swrTrip) {
    // straight through: the final stage is out of the path
    p.fwd = s.bypass ? s.drive : driven;
  } else {
    p.fwd = std::min(driven * kGain, kMaxOut);
  }
  double swr = simSwr(s);
  double rho = std::min(0.9999, (swr - 1) / (swr + 1) * s.noiseNow);
  p.refl = p.fwd * rho * rho;
  p.amps = 0.4 + ((s.bypass || !tx(s)) ? 0 : p.fwd / kEfficiency / kSupplyV);
  return p;
}

int ampSimNtcRaw(double t) {
  double r;
  if (t <= kNtc[0][0]) {
    r = kNtc[0][1];
  } else if (t >= kNtc[kNtcRows - 1][0]) {
    r = kNtc[kNtcRows - 1][1];
  } else {
    int i = 1;
    while (kNtc[i][0] < t) i++;
    double t0 = kNtc[i - 1][0], r0 = kNtc[i - 1][1], t1 = kNtc[i][0], r1 = kNtc[i][1];
    r = r0 + (r1 - r0) * (t - t0) / (t1 - t0);
  }
  // divider: raw = 4095 x R / (R + 10k)
  return static_cast<int>(4095.0 * r / (r + 10.0) + 0.5);
}

std::string ampSimStatus(const AmpSimState& s) {
  AmpSimPowers p = ampSimPowers(s);
  int a = 0;
  if (s.att & 2) a |= 8;  // 3 dB pad
  if (s.att & 1) a |= 4;  // 2 dB pad
  int b = s.bBits;
  if (tx(s)) b |= 1;
  if (s.swrTrip) b |= 2;
  if (s.protection || s.swrTrip) b |= 4;
  if (s.bypass) b |= 8;
  int rawIn = clampRaw(std::sqrt(p.in / kInK));
  int rawFwd = clampRaw(std::sqrt(p.fwd / kFwdK));
  double reflSeen = p.refl - kDirK * p.fwd;  // the controller subtracts K3 x FWD again
  int rawRefl = clampRaw(std::sqrt(reflSeen / kReflK));
  int rawCur = clampRaw(p.amps * 4096.0 / 14.05);
  if (rawCur > 4095) rawCur = 4095;
  static const char* hx = "0123456789ABCDEF";
  char buf[64];
  snprintf(buf, sizeof buf, "ST%c%c%04d%04d%04d%04d%04d%04d%c%c00%04d;", hx[a & 15], hx[b & 15], rawIn, rawFwd,
           rawRefl, rawCur, ampSimNtcRaw(s.tempBoard), ampSimNtcRaw(s.tempHeatsink), hx[s.cBits & 15],
           hx[(s.cBits >> 4) & 15], rawFwd);
  return buf;
}

std::string ampSimReply(AmpSimState& s, const std::string& cmd) {
  if (cmd.size() < 3 || cmd.back() != ';') return "";
  const std::string code = cmd.substr(0, 2);
  const std::string arg = cmd.substr(2, cmd.size() - 3);
  char buf[128];
  if (code == "ST" && arg.empty()) {
    if (s.noisePct > 0) {
      // a small generator of its own, so that a seed gives one sequence
      s.noiseSeed = s.noiseSeed * 6364136223846793005ULL + 1442695040888963407ULL;
      double u = double(s.noiseSeed >> 11) / double(1ULL << 53) * 2 - 1;
      s.noiseNow = 1 + u * s.noisePct / 100;
    } else {
      s.noiseNow = 1.0;
    }
    if (tx(s) && !s.bypass && !s.protection && simSwr(s) > 3.0) s.swrTrip = true;
    return ampSimStatus(s);
  }
  if (code == "VS") return "VSM" "SIM1.00" ";";
  if (code == "FM") {
    snprintf(buf, sizeof buf, "FM%011ld;", s.freq);
    return buf;
  }
  if (code == "FA") {
    long f = atol(arg.c_str());
    if (f > 0) s.freq = f;
    return cmd;
  }
  if (code == "TU") {
    if (arg == "1" || arg == "0") s.tuState = arg[0] - '0';
    snprintf(buf, sizeof buf, "TU%d;", s.tuState);
    return buf;
  }
  if (code == "SA") {
    if (arg.size() == 1 && arg[0] >= '1' && arg[0] <= '3') s.antenna = arg[0] - '0';
    snprintf(buf, sizeof buf, "SA%d;", s.antenna);
    return buf;
  }
  if (code == "MT") {
    if (arg.size() == 9 && arg[0] == '1') s.tuneWord = static_cast<unsigned>(strtoul(arg.c_str() + 1, nullptr, 16));
    snprintf(buf, sizeof buf, "MT%08X;", s.tuneWord);
    return arg.empty() ? std::string(buf) : cmd;
  }
  if (code == "CP") {
    s.swrTrip = false;
    s.cBits &= 0x7F;  // the reset report is acknowledged
    return cmd;
  }
  if (code == "AT") {
    if (arg.size() == 2) s.att = ((arg[0] == '1') ? 2 : 0) | ((arg[1] == '1') ? 1 : 0);
    return cmd;
  }
  if (code == "MP") {
    if (arg == "0" || arg == "1") s.protection = arg[0] - '0';
    return cmd;
  }
  if (code == "AB") {
    if (arg == "0" || arg == "1") s.bypass = arg[0] - '0';
    snprintf(buf, sizeof buf, "AB%d;", s.bypass);
    return buf;
  }
  if (code == "AN") {
    if (arg.size() == 1 && arg[0] >= '0' && arg[0] <= '9') s.an = arg[0] - '0';
    snprintf(buf, sizeof buf, "AN%d;", s.an);
    return buf;
  }
  if (code == "TS") {
    if (arg.size() == 16)
      for (int i = 0; i < 4; i++) s.ts[i] = atoi(arg.substr(4 * static_cast<size_t>(i), 4).c_str());
    return cmd;
  }
  if (code == "FN") {
    if (arg.size() == 4 && arg[0] == '1') s.fan = atoi(arg.c_str() + 1);
    return cmd;
  }
  if (code == "SF") {
    if (arg.size() == 7) s.filter = static_cast<int>(strtol(arg.c_str() + 5, nullptr, 16));
    return cmd;
  }
  if (code == "FS" || code == "PS" || code == "GM" || code == "SE") return cmd;
  if (code == "MR") return cmd;
  if (code == "GS") {
    if (arg.size() == 10) memcpy(s.gs, arg.c_str(), 10);
    return "GS" + std::string(s.gs, 10) + ";";
  }
  if (code == "ER" && arg.size() == 4) {
    std::string out = "ER" + arg;
    if (arg == "0002") {
      out += hex2(s.cfg) + hex2(s.model);
    } else {
      for (int k = 0; k < 32; k++) out += hex2(arg == "0000" ? 'A' + (k % 26) : k);
    }
    return out + ";";
  }
  return code + "?;";
}

// ---------------------------------------------------------------- the port

struct AmpSim::Impl {
  AmpSimConfig cfg;
  int master = -1, slave = -1;
  std::string linkPath;
  std::thread th;
  std::atomic<bool> stop{false};
  std::mutex mut;  // guards everything below
  AmpSimState st;
  std::vector<std::string> frames;
  bool silent = false;
  int garbage = 0, badcrc = 0, lowercrc = 0;
  std::string rejectCode;
  int rejectCount = -1;  // -1 = always
  int delayMs = 0;
  int hangupMs = -1;  // >= 0: hang up the port, relink a new one after this long
  std::chrono::steady_clock::time_point lastModel = std::chrono::steady_clock::now();
  std::mt19937 rng{12345};

  void advanceModel();
  bool openPort(std::vector<std::string>* lines);
  void closePort();
  void hangUp(int ms);
  std::string frameFor(const std::string& frame);
  void run();
  void sendBytes(const std::string& bytes);
};

void AmpSim::Impl::advanceModel() {
  auto now = std::chrono::steady_clock::now();
  double dt = std::chrono::duration<double>(now - lastModel).count();
  lastModel = now;
  if (dt > 1.0) dt = 1.0;
  if (st.tempHeld) return;
  AmpSimPowers p = ampSimPowers(st);
  double heat = (tx(st) && !st.bypass) ? p.fwd * (1.0 / kEfficiency - 1.0) : 0.0;
  double cool = 0.01 + st.fan * 0.0004;
  st.tempHeatsink += dt * (heat * 0.01 - cool * (st.tempHeatsink - 25.0));
  st.tempBoard += dt * 0.2 * (st.tempHeatsink - st.tempBoard);
}

// The whole reply for one received frame, framed; "" for none.
std::string AmpSim::Impl::frameFor(const std::string& frame) {
  std::string text = frame.size() >= 2 ? frame.substr(2) : frame;
  if (silent) return "";
  if (text.size() >= 2 && !rejectCode.empty() && (rejectCode == "**" || text.compare(0, 2, rejectCode) == 0) &&
      rejectCount != 0) {
    if (rejectCount > 0) rejectCount--;
    text = text.substr(0, 2) + "?;";
  } else {
    advanceModel();
    text = ampSimReply(st, text);
  }
  if (text.empty()) return "";
  if (garbage > 0) {
    garbage--;
    std::string noise;
    for (int i = 0; i < 12; i++) noise += static_cast<char>('A' + rng() % 26);
    return noise;
  }
  char chk[3];
  uint8_t v = ampSimCrc8(text.data(), text.size());
  if (badcrc > 0) {
    badcrc--;
    v = static_cast<uint8_t>(v ^ 0x5A);
  }
  bool lower = lowercrc > 0;
  if (lower) lowercrc--;
  snprintf(chk, sizeof chk, lower ? "%02x" : "%02X", v);
  return std::string(chk) + text;
}

void AmpSim::Impl::sendBytes(const std::string& bytes) {
  // Cut into a few pieces so the controller's framing sees split replies.
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t n = 1 + rng() % (bytes.size() - pos);
    serialWriteAll(master, bytes.data() + pos, n, 1000);
    pos += n;
    if (pos < bytes.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

bool AmpSim::Impl::openPort(std::vector<std::string>* lines) {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) return false;
  // Keep the slave open so the controller may close and reopen its end.
  slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave >= 0) serialMakeRaw(slave);
  serialMakeRaw(master);
  linkPath = cfg.root + cfg.port;
  unlink(linkPath.c_str());
  if (symlink(name, linkPath.c_str()) != 0) return false;
  if (lines) lines->push_back("amp: LinPort " + cfg.port + " -> " + name);
  return true;
}

void AmpSim::Impl::closePort() {
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
  slave = master = -1;
}

// Like an adapter pulled out and plugged in again: the controller's end
// hangs up, the path disappears, and later a new terminal is linked there.
void AmpSim::Impl::hangUp(int ms) {
  closePort();
  unlink(linkPath.c_str());
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!stop) openPort(nullptr);
}

void AmpSim::Impl::run() {
  std::string cur;
  char buf[256];
  while (!stop) {
    int hang;
    {
      std::lock_guard<std::mutex> lk(mut);
      hang = hangupMs;
      hangupMs = -1;
    }
    if (hang >= 0) {
      cur.clear();
      hangUp(hang);
      continue;
    }
    if (master < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    for (ssize_t i = 0; i < n; i++) {
      cur += buf[i];
      if (cur.size() > 600) cur.erase(0, cur.size() - 600);
      if (buf[i] != ';') continue;
      std::string reply;
      int delay;
      {
        std::lock_guard<std::mutex> lk(mut);
        frames.push_back(cur);
        reply = frameFor(cur);
        delay = delayMs;
      }
      cur.clear();
      if (reply.empty()) continue;
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      sendBytes(reply);
    }
  }
}

AmpSim::AmpSim() : impl_(new Impl) {}
AmpSim::~AmpSim() { stop(); }

bool AmpSim::start(const AmpSimConfig& cfg, std::vector<std::string>* lines) {
  Impl& m = *impl_;
  m.cfg = cfg;
  if (!m.openPort(lines)) return false;
  m.th = std::thread(&Impl::run, &m);
  return true;
}

void AmpSim::stop() {
  Impl& m = *impl_;
  m.stop = true;
  if (m.th.joinable()) m.th.join();
  m.closePort();
}

std::string AmpSim::control(const std::string& lineIn) {
  Impl& m = *impl_;
  std::istringstream in(lineIn);
  std::vector<std::string> w;
  for (std::string t; in >> t;) w.push_back(t);
  if (!w.empty() && w[0] == "amp") w.erase(w.begin());
  if (w.empty()) return "ERR empty";
  std::lock_guard<std::mutex> lk(m.mut);
  const std::string& c = w[0];
  bool ok = true;
  auto num = [&](size_t i) -> double { return i < w.size() ? strtod(w[i].c_str(), nullptr) : 0.0; };
  auto integer = [&](size_t i) -> long {
    if (i >= w.size()) {
      ok = false;
      return 0;
    }
    return parseNumber(w[i], &ok);
  };
  if (c == "swr" && w.size() == 2) {
    m.st.swr = num(1);
    m.st.loadsLive = false;
  } else if (c == "load" && (w.size() == 3 || w.size() == 4)) {
    long a = integer(1);
    PhysLoad l;
    if (w[2] == "dipole") l.kind = PHYS_LOAD_DIPOLE;
    else if (w[2] == "endfed") l.kind = PHYS_LOAD_ENDFED;
    else if (w[2] == "dummy") l.kind = PHYS_LOAD_DUMMY;
    else if (w.size() == 4) l = PhysLoad{PHYS_LOAD_FIXED, Cplx(num(2), num(3))};
    else ok = false;
    if (a < 1 || a > 3) ok = false;
    if (ok) {
      m.st.loads[a - 1] = l;
      m.st.loadsLive = true;
    }
  } else if (c == "drive" && w.size() == 2) {
    m.st.drive = num(1);
  } else if (c == "noise" && (w.size() == 2 || w.size() == 3)) {
    m.st.noisePct = std::max(0.0, std::min(20.0, num(1)));
    if (w.size() == 3) m.st.noiseSeed = static_cast<unsigned long long>(integer(2));
  } else if (c == "freq" && w.size() == 2) {
    m.st.freq = integer(1);
  } else if (c == "temp" && w.size() >= 2) {
    if (w[1] == "auto") {
      m.st.tempHeld = false;
      m.lastModel = std::chrono::steady_clock::now();
    } else {
      m.st.tempBoard = num(1);
      m.st.tempHeatsink = w.size() >= 3 ? num(2) : num(1);
      m.st.tempHeld = true;
    }
  } else if (c == "fault" && w.size() == 2) {
    m.st.cBits = static_cast<int>(integer(1)) & 0xFF;
  } else if (c == "bbits" && w.size() == 2) {
    m.st.bBits = static_cast<int>(integer(1)) & 0xF;
  } else if (c == "silent" && w.size() == 2) {
    m.silent = w[1] == "1";
  } else if (c == "garbage" && w.size() == 2) {
    m.garbage = static_cast<int>(integer(1));
  } else if (c == "badcrc" && w.size() == 2) {
    m.badcrc = static_cast<int>(integer(1));
  } else if (c == "lowercrc" && w.size() == 2) {
    m.lowercrc = static_cast<int>(integer(1));
  } else if (c == "reject" && w.size() >= 2) {
    if (w[1] == "off") {
      m.rejectCode.clear();
    } else if (w[1].size() == 2 || w[1] == "all") {
      m.rejectCode = w[1] == "all" ? "**" : w[1];
      m.rejectCount = w.size() >= 3 ? static_cast<int>(integer(2)) : -1;
    } else {
      ok = false;
    }
  } else if (c == "hangup" && w.size() == 2) {
    m.hangupMs = static_cast<int>(integer(1));
    if (m.hangupMs < 0) ok = false;
  } else if (c == "delay" && w.size() == 2) {
    m.delayMs = static_cast<int>(integer(1));
  } else if (c == "state") {
    char b[256];
    snprintf(b, sizeof b,
             "OK ab=%d att=%d ant=%d tune=%08X mp=%d fan=%d filter=%02x an=%d swr=%.2f drive=%.1f freq=%ld "
             "temp=%.1f/%.1f c=%02X trip=%d",
             m.st.bypass, m.st.att, m.st.antenna, m.st.tuneWord, m.st.protection, m.st.fan, m.st.filter, m.st.an,
             m.st.loadsLive ? simSwr(m.st) : m.st.swr, m.st.drive, m.st.freq, m.st.tempBoard, m.st.tempHeatsink, m.st.cBits, m.st.swrTrip ? 1 : 0);
    return b;
  } else if (c == "log") {
    std::string out = "OK ";
    for (size_t i = 0; i < m.frames.size(); i++) out += (i ? "|" : "") + m.frames[i];
    return out;
  } else if (c == "clearlog") {
    m.frames.clear();
  } else {
    return "ERR unknown: " + lineIn;
  }
  return ok ? "OK" : "ERR bad value: " + lineIn;
}
