#include "sim/radio_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

// ---------------------------------------------------------------------------
// Encoders

namespace {

char hexDigit(unsigned v) { return static_cast<char>(0x30 | (v & 0xF)); }

// n nibbles of v, most significant first, each as 0x30 + nibble.
void putNibbles(std::string& out, size_t at, int n, uint32_t v) {
  for (int i = 0; i < n; i++) out[at + static_cast<size_t>(i)] = hexDigit(v >> (4 * (n - 1 - i)));
}

uint8_t u8(int v) { return static_cast<uint8_t>(v & 0xFF); }

}  // namespace

std::string encodeParamBlock(const RadioDial& d, bool reportB, int volumeSel) {
  std::string b(31, '\0');
  int freq = reportB ? d.freqB : d.freqA;
  int mode = reportB ? d.modeB : d.modeA;
  // byte 0: bit 5 operating VFO is B, bit 4 this block reports B
  b[0] = static_cast<char>((d.vfoB ? 0x20 : 0) | (reportB ? 0x10 : 0));
  putNibbles(b, 1, 8, static_cast<uint32_t>(freq));
  // byte 9: marker, transmitting, mode
  b[9] = static_cast<char>(0x80 | (d.tx ? 0x40 : 0) | (mode & 0x0F));
  // byte 10: marker 01, volume selector, filter switches (bit set = off)
  b[10] = static_cast<char>(0x40 | ((volumeSel & 3) << 4) | 0x02 | 0x01);
  // byte 11: marker 01, AN, squelch
  b[11] = static_cast<char>(0x40 | (d.an ? 0x20 : 0) | (d.squelch & 0x0F));
  // bytes 12/13: marker bit, level fields
  b[12] = static_cast<char>(0x80 | (2 << 3) | 0x01);
  b[13] = static_cast<char>(0x40 | 0x03);
  // bytes 14/15: noise reduction and blanker levels
  b[14] = static_cast<char>(0x30 | (d.nr & 0x0F));
  b[15] = static_cast<char>(0x30 | (d.nb & 0x0F));
  // bytes 16..19: menu indexes
  b[16] = static_cast<char>(0x60 | 4);
  b[17] = static_cast<char>(0x60 | 9);
  b[18] = static_cast<char>(0x30 | 2);
  b[19] = static_cast<char>(0x60 | (1 << 2) | 1);
  // byte 20: marker 01, attenuator, low pass, antenna, bit 0
  b[20] = static_cast<char>(0x40 | (d.att ? 0x10 : 0) | (d.lp ? 0x08 : 0) | ((d.an & 3) << 1) | 0x01);
  b[21] = static_cast<char>(u8(211 + 12));
  int vol = volumeSel == 0 ? d.volume : volumeSel == 1 ? d.volumeAux : d.volumeSide;
  b[22] = static_cast<char>(vol & 0x7F);
  putNibbles(b, 23, 3, static_cast<uint32_t>(d.pitch) & 0xFFF);
  putNibbles(b, 26, 5, static_cast<uint32_t>(d.offset) & 0xFFFFF);
  return b;
}

std::string encodeSpectrumLine(int dialHz, unsigned seed) {
  static const int kSignals[] = {1840000, 3573000, 3580000, 5357000, 7074000, 7076500, 7047500,
                                 10136000, 14074000, 14076500, 14080000, 14230000, 18100000,
                                 21074000, 21080000, 24915000, 28074000, 28076000};
  std::mt19937 rng(seed);
  std::string line(1024, '\0');
  for (int i = 0; i < 1024; i++) line[static_cast<size_t>(i)] = static_cast<char>(u8(84 + static_cast<int>(rng() % 10)));
  // The dial sits at bin 512, 187.5 Hz per bin.
  for (int s : kSignals) {
    double bin = 512 + (s - dialHz) / 187.5;
    if (bin < 2 || bin > 1021) continue;
    int c = static_cast<int>(bin);
    const int shape[] = {110, 130, 150, 130, 110};
    for (int k = -2; k <= 2; k++) line[static_cast<size_t>(c + k)] = static_cast<char>(u8(shape[k + 2]));
  }
  return line;
}

std::string encodeDataMessage(int type, char subtype, const std::string& body) {
  std::string m;
  m += static_cast<char>(type);
  m += subtype;
  unsigned n = static_cast<unsigned>(body.size());
  for (int i = 0; i < 4; i++) m += hexDigit(n >> (4 * i));
  return m + body;
}

std::string encodeFt817Answer(int hz, int mode) {
  int v = hz / 10;  // eight decimal digits of 10 Hz
  std::string a(5, '\0');
  for (int i = 3; i >= 0; i--) {
    int two = v % 100;
    v /= 100;
    a[static_cast<size_t>(i)] = static_cast<char>(((two / 10) << 4) | (two % 10));
  }
  a[4] = static_cast<char>(u8(mode));
  return a;
}

// ---------------------------------------------------------------------------
// Ports and the streaming loop

namespace {

struct SimPty {
  int master = -1;
  int slave = -1;
  std::string slavePath;
  bool open() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) return false;
    slavePath = name;
    // Held open so that the controller closing its end never hangs us up.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    for (int fd : {master, slave}) {
      struct termios t;
      if (fd < 0 || tcgetattr(fd, &t) != 0) return false;
      cfmakeraw(&t);
      t.c_cflag |= CLOCAL | CREAD;
      t.c_cc[VMIN] = 0;
      t.c_cc[VTIME] = 0;
      tcsetattr(fd, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  void close() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    slave = master = -1;
  }
  // Bytes written but not yet read by the controller.
  int pending() const {
    int n = 0;
    return ioctl(slave, FIONREAD, &n) == 0 ? n : 0;
  }
  void write(const std::string& s) {
    size_t done = 0;
    int stalls = 0;
    while (done < s.size() && stalls < 200) {
      ssize_t n = ::write(master, s.data() + done, s.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        stalls = 0;
      } else {
        stalls++;
        usleep(1000);
      }
    }
  }
};

bool linkPort(const std::string& root, const std::string& path, const std::string& target) {
  std::string link = root + path;
  std::string dir = link.substr(0, link.find_last_of('/'));
  std::string cur;
  std::stringstream ss(dir);
  std::string part;
  while (std::getline(ss, part, '/')) {
    cur += part.empty() ? "/" : part + "/";
    mkdir(cur.c_str(), 0755);
  }
  unlink(link.c_str());
  return symlink(target.c_str(), link.c_str()) == 0;
}

const int kBands[] = {1840000, 3573000, 5357000, 7074000, 10136000,
                      14074000, 18100000, 21074000, 24915000, 28074000};

}  // namespace

struct RadioSim::Impl {
  RadioSimConfig cfg;
  SimPty data, cat, ft;
  std::thread th;
  std::atomic<bool> stopFlag{false};

  std::mutex m;  // guards everything below
  RadioDial dial;
  int ftFreq = 14074000, ftMode = 1;
  bool dataSilent = false, ftSilent = false;
  bool sweeping = false;
  int sweepMs = 1000, sweepIdx = 0;
  std::vector<std::string> log;
  std::string dataIn, catIn, ftIn;

  void record(const std::string& s) {
    if (log.size() < 500) log.push_back(s);
  }

  int& opFreq() { return dial.vfoB ? dial.freqB : dial.freqA; }
  int& opMode() { return dial.vfoB ? dial.modeB : dial.modeA; }

  // Text commands reach the radio on both ports: the controller sends
  // "RX;" and "TU120;TX2;" on the data port, the peer's CAT text arrives on
  // the CAT port. Returns the answer ("" for none).
  std::string textCommand(const std::string& cmd, const char* port) {
    record(std::string(port) + ":" + cmd);
    char buf[64];
    if (cmd == "DT;") return "DT001;";
    if (cmd == "RX;") {
      dial.tx = false;
      return "";
    }
    if (cmd.rfind("TX", 0) == 0) {
      dial.tx = true;
      return "";
    }
    if (cmd.rfind("TU", 0) == 0) return "";  // tune carrier power
    if (cmd == "FA;") {
      snprintf(buf, sizeof buf, "FA%011d;", dial.freqA);
      return buf;
    }
    if (cmd == "FB;") {
      snprintf(buf, sizeof buf, "FB%011d;", dial.freqB);
      return buf;
    }
    if ((cmd.rfind("FA", 0) == 0 || cmd.rfind("FB", 0) == 0) && cmd.size() > 3) {
      int hz = atoi(cmd.c_str() + 2);
      (cmd[1] == 'A' ? dial.freqA : dial.freqB) = hz;
      return "";
    }
    if (cmd == "MD;") {
      snprintf(buf, sizeof buf, "MD%d;", opMode());
      return buf;
    }
    if (cmd.rfind("MD", 0) == 0 && cmd.size() > 3) {
      opMode() = atoi(cmd.c_str() + 2) & 0x0F;
      return "";
    }
    return cmd;  // anything else is echoed
  }

  void takeText(SimPty& p, std::string& acc, const char* port) {
    char buf[256];
    ssize_t n;
    while ((n = ::read(p.master, buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < n; i++) {
        acc += buf[i];
        if (buf[i] == ';') {
          std::string reply;
          {
            std::lock_guard<std::mutex> lk(m);
            reply = textCommand(acc, port);
          }
          acc.clear();
          if (!reply.empty() && &p == &cat) p.write(reply);
        } else if (acc.size() > 200) {
          acc.clear();
        }
      }
    }
  }

  void takeFt817() {
    char buf[64];
    ssize_t n;
    while ((n = ::read(ft.master, buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < n; i++) {
        ftIn += buf[i];
        if (ftIn.size() < 5) continue;
        std::string reply;
        {
          std::lock_guard<std::mutex> lk(m);
          uint8_t op = static_cast<uint8_t>(ftIn[4]);
          char hex[32];
          snprintf(hex, sizeof hex, "ft817:%02x%02x%02x%02x%02x", u8(ftIn[0]), u8(ftIn[1]), u8(ftIn[2]),
                   u8(ftIn[3]), op);
          record(hex);
          if (op == 0x03 && !ftSilent) reply = encodeFt817Answer(ftFreq, ftMode);
          if (op == 0x01) {  // set frequency, BCD
            int v = 0;
            for (int k = 0; k < 4; k++) v = v * 100 + (u8(ftIn[k]) >> 4) * 10 + (u8(ftIn[k]) & 0xF);
            ftFreq = v * 10;
          }
          if (op == 0x07) ftMode = u8(ftIn[0]);
        }
        ftIn.clear();
        if (!reply.empty()) ft.write(reply);
      }
    }
  }

  void run() {
    using clock = std::chrono::steady_clock;
    auto nextBlock = clock::now(), nextLine = clock::now(), nextSweep = clock::now();
    unsigned blockNo = 0, seed = 1;
    while (!stopFlag) {
      struct pollfd p[3] = {{data.master, POLLIN, 0}, {cat.master, POLLIN, 0}, {ft.master, POLLIN, 0}};
      poll(p, 3, 5);
      takeText(data, dataIn, "data");
      takeText(cat, catIn, "cat");
      takeFt817();
      auto now = clock::now();
      std::string out;
      {
        std::lock_guard<std::mutex> lk(m);
        if (sweeping && now >= nextSweep) {
          sweepIdx = (sweepIdx + 1) % static_cast<int>(sizeof kBands / sizeof kBands[0]);
          opFreq() = kBands[sweepIdx];
          ftFreq = kBands[sweepIdx];
          nextSweep = now + std::chrono::milliseconds(sweepMs);
        }
        if (cfg.controlHead) {
          if (now >= nextBlock) {
            nextBlock = now + std::chrono::milliseconds(500);
            if (!dataSilent) out += encodeDataMessage(1, '0', "");
          }
        } else if (now >= nextBlock) {
          nextBlock = now + std::chrono::milliseconds(cfg.blockMs);
          // Mostly the operating VFO; now and then the other one, and the
          // three volumes in turn, as the radio's front panel refreshes.
          bool other = blockNo % 5 == 4;
          bool reportB = other ? !dial.vfoB : dial.vfoB;
          if (!dataSilent) out += encodeDataMessage(1, '1', encodeParamBlock(dial, reportB, blockNo % 3));
          blockNo++;
        }
        if (!cfg.controlHead && now >= nextLine) {
          nextLine = now + std::chrono::milliseconds(cfg.spectrumMs);
          if (!dataSilent) out += encodeDataMessage(0, '0', encodeSpectrumLine(opFreq(), seed++));
        }
      }
      // A controller that is not reading would only fill the terminal:
      // whole messages or nothing, so the stream stays framed.
      if (!out.empty() && data.pending() < 4096) data.write(out);
    }
  }

  std::string control(const std::string& lineIn) {
    std::string line = lineIn;
    if (line.rfind("radio ", 0) == 0) line = line.substr(6);
    std::istringstream in(line);
    std::string cmd, a, b;
    in >> cmd >> a >> b;
    std::lock_guard<std::mutex> lk(m);
    char buf[256];
    if (cmd == "freq" && !a.empty()) {
      opFreq() = atoi(a.c_str());
    } else if (cmd == "vfo" && (a == "a" || a == "b")) {
      dial.vfoB = a == "b";
    } else if (cmd == "mode" && !a.empty()) {
      opMode() = atoi(a.c_str()) & 0x0F;
    } else if (cmd == "tx" && !a.empty()) {
      dial.tx = a == "1";
    } else if (cmd == "pitch" && !a.empty()) {
      dial.pitch = atoi(a.c_str());
    } else if (cmd == "offset" && !a.empty()) {
      dial.offset = atoi(a.c_str());
    } else if (cmd == "sweep" && a == "on") {
      sweeping = true;
      sweepMs = b.empty() ? 1000 : std::max(20, atoi(b.c_str()));
    } else if (cmd == "sweep" && a == "off") {
      sweeping = false;
    } else if (cmd == "silent" && !a.empty()) {
      dataSilent = a == "1";
    } else if (cmd == "ft817" && a == "freq" && !b.empty()) {
      ftFreq = atoi(b.c_str());
    } else if (cmd == "ft817" && a == "mode" && !b.empty()) {
      ftMode = atoi(b.c_str());
    } else if (cmd == "ft817" && a == "silent" && !b.empty()) {
      ftSilent = b == "1";
    } else if (cmd == "state") {
      snprintf(buf, sizeof buf, "OK freq=%d vfo=%c mode=%d tx=%d pitch=%d offset=%d ft817=%d silent=%d",
               opFreq(), dial.vfoB ? 'b' : 'a', opMode(), dial.tx ? 1 : 0, dial.pitch, dial.offset, ftFreq,
               dataSilent ? 1 : 0);
      return buf;
    } else if (cmd == "log") {
      std::string r = "OK ";
      for (size_t i = 0; i < log.size(); i++) r += (i ? "|" : "") + log[i];
      return r;
    } else {
      return "ERR unknown radio command: " + line;
    }
    return "OK";
  }
};

RadioSim::RadioSim() : impl_(new Impl()) {}
RadioSim::~RadioSim() { stop(); }

bool RadioSim::start(const RadioSimConfig& cfg, std::vector<std::string>* lines) {
  Impl& s = *impl_;
  s.cfg = cfg;
  struct Port {
    SimPty* pty;
    const std::string* path;
    const char* what;
  } ports[] = {{&s.data, &cfg.dataPort, "companion radio data port"},
               {&s.cat, &cfg.catPort, "companion radio CAT port"},
               {&s.ft, &cfg.ft817Port, "FT-817 CAT port"}};
  for (auto& p : ports) {
    if (!p.pty->open() || !linkPort(cfg.root, *p.path, p.pty->slavePath)) return false;
    if (lines) lines->push_back(std::string(p.what) + " " + *p.path + " -> " + p.pty->slavePath);
  }
  s.th = std::thread(&Impl::run, &s);
  return true;
}

std::string RadioSim::control(const std::string& line) { return impl_->control(line); }

void RadioSim::stop() {
  if (!impl_) return;
  impl_->stopFlag = true;
  if (impl_->th.joinable()) impl_->th.join();
  impl_->data.close();
  impl_->cat.close();
  impl_->ft.close();
}
