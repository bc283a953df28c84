// zelsim: the simulated station around the controller.
//
//   zelsim --root DIR [--linport /dev/ttyAMA0] [--demo] [--station PORT]
//          [--hamlib PORT]
//   zelsim --root DIR --operator PORT
//   (either of the last two with [--key KEY] [--tls])
//
// prepares DIR as the controller's ZELPYX_ROOT (stub commands in DIR/bin,
// a setup.txt, fan and filter tables, the screen file DIR/dev/fb0), starts
// every peer module on pseudo-terminals linked at the port paths under
// DIR, prints one line per port, listens for control lines on stdin and on
// the unix socket DIR/sim.sock (one line in, one reply line out), and
// writes DIR/sim.ready when everything is up. SIGTERM / SIGINT / "quit"
// end it. --demo adds a bank for the companion radio with automatic
// tuning and an operator who works the bands (sim/demo.h). --station
// PORT makes the controller the station unit of a remote pair (bank 1
// follows the companion radio), listening on PORT (0: a free port, named
// in its "Listening on port" log line).
// --hamlib PORT puts bank 1 on the Hamlib interface, with automatic
// tuning, following the rigctld on 127.0.0.1:PORT (the caller runs it,
// e.g. "rigctld -m 1 -P RIG -t PORT", Hamlib's dummy rig).
// --operator PORT prepares the root of the operator unit instead: no
// amplifier, a quiet companion radio (a control head), the client role
// connecting to 127.0.0.1:PORT, bank 1 following the companion radio.
// --key KEY writes the unit's remote.txt with that access key (give both
// units of a pair the same one; `zelctl --new-key` makes one), the
// station listening on 127.0.0.1 only; --tls adds "tls on".
//
// Control lines go to the module whose prefix starts them ("radio freq
// 7100000"); the rest go to the amplifier ("swr 2.5", "amp log").
// "modules" lists the modules.
//
// How a peer module plugs in: give it a class with start(root, lines),
// control(line) and stop() (see sim/amp_sim.h), then add it in
// registerModules() below with a SimModule entry, e.g. for the radios:
//
//   static RadioSim radio;
//   mods.push_back({"radio", "radio ",
//       [](const std::string& root, std::vector<std::string>* lines) {
//         RadioSimConfig c; c.root = root; return radio.start(c, lines); },
//       [](const std::string& line) { return radio.control(line); },
//       [] { radio.stop(); },
//       {"SerPort: /dev/ttyUSB1", "CatSerialPort: /dev/ttyUSB2"}});
//
// The last field holds setup.txt lines the module needs (its port names).
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sim/amp_sim.h"
#include "sim/audio_sim.h"
#include "sim/demo.h"
#include "sim/panel_sim.h"
#include "sim/radio_sim.h"

namespace {

struct SimModule {
  std::string name;
  std::string prefix;  // control lines starting with it go to this module
  std::function<bool(const std::string& root, std::vector<std::string>* lines)> start;
  std::function<std::string(const std::string& line)> control;
  std::function<void()> stop;
  std::vector<std::string> setupLines;
};

std::string g_linPort = "/dev/ttyAMA0";
AmpSim g_amp;
int g_stationPort = -1;   // --station
int g_operatorPort = -1;  // --operator
std::string g_key;        // --key
bool g_tls = false;       // --tls
int g_hamlibPort = -1;    // --hamlib

std::vector<SimModule> registerModules() {
  std::vector<SimModule> mods;
  if (g_operatorPort >= 0) {
    static RadioSim head;
    mods.push_back({"radio", "radio ",
                    [](const std::string& root, std::vector<std::string>* lines) {
                      RadioSimConfig c;
                      c.root = root;
                      c.controlHead = true;
                      return head.start(c, lines);
                    },
                    [](const std::string& line) { return head.control(line); }, [] { head.stop(); },
                    {"EnableLinear: 0", "WebSocket: 2", "Server: 127.0.0.1",
                     "TcpPort: " + std::to_string(g_operatorPort), "SerPort: /dev/ttyUSB1",
                     "CatSerialPort: /dev/ttyUSB2", "NumBanco: 1", "ViewTimeStr: 1"}});
    return mods;
  }
  mods.push_back({"amp", "amp ",
                  [](const std::string& root, std::vector<std::string>* lines) {
                    AmpSimConfig c;
                    c.root = root;
                    c.port = g_linPort;
                    return g_amp.start(c, lines);
                  },
                  [](const std::string& line) { return g_amp.control(line); }, [] { g_amp.stop(); },
                  {"EnableLinear: 1", "LinPort: " + g_linPort}});
  static RadioSim radio;
  mods.push_back({"radio", "radio ",
                  [](const std::string& root, std::vector<std::string>* lines) {
                    RadioSimConfig c;
                    c.root = root;
                    return radio.start(c, lines);
                  },
                  [](const std::string& line) { return radio.control(line); }, [] { radio.stop(); },
                  {"SerPort: /dev/ttyUSB1", "CatSerialPort: /dev/ttyUSB2"}});
  static PanelSim panel;
  mods.push_back({"panel", "panel ",
                  [](const std::string& root, std::vector<std::string>* lines) { return panel.start(root, lines); },
                  [](const std::string& line) { return panel.control(line); }, [] { panel.stop(); },
                  {}});
  return mods;
}

std::atomic<bool> g_quit{false};
bool g_demo = false;

void onSignal(int) { g_quit = true; }

void mkdirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

bool exists(const std::string& p) {
  struct stat sb;
  return stat(p.c_str(), &sb) == 0;
}

bool writeText(const std::string& p, const std::string& text, mode_t mode = 0644) {
  FILE* f = fopen(p.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  chmod(p.c_str(), mode);
  return ok;
}

// A stub command: logs its name and arguments to $ZELPYX_ROOT/stub.log.
void writeStub(const std::string& bin, const std::string& name, const std::string& body = "exit 0") {
  writeText(bin + "/" + name,
            "#!/bin/sh\necho \"" + name + " $*\" >> \"${ZELPYX_ROOT:-/tmp}/stub.log\"\n" + body + "\n", 0755);
}

bool prepareRoot(const std::string& root, const std::vector<SimModule>& mods) {
  mkdirs(root + "/dev");
  mkdirs(root + "/bin");
  mkdirs(root + "/opt/set");
  const std::string bin = root + "/bin";
  for (const char* n : {"mount", "reboot", "sudo", "ifup", "ifdown", "fbgrab"}) writeStub(bin, n);
  writeStub(bin, "my_temp", "echo 45.0\necho \"temp=47.2'C\"");
  writeStub(bin, "lsusb", "echo \"Bus 001 Device 005: ID 0d8c:01af C-Media Electronics, Inc.\"");

  // The link's client key comes from the rooted random source.
  if (!exists(root + "/dev/urandom")) symlink("/dev/urandom", (root + "/dev/urandom").c_str());
  const std::string set = root + "/opt/set";
  if (!exists(set + "/setup.txt")) {
    std::string s =
        "EnableKeyb: 0\nEnableGPIO: 1\nEnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\nEnableFFT: 0\n"
        "EnableTime: 1\nWebSocket: 0\n";
    for (const auto& m : mods)
      for (const auto& l : m.setupLines) s += l + "\n";
    if (g_demo)
      for (const auto& l : demoSetupLines()) s += l + "\n";
    if (g_stationPort >= 0) s += "WebSocket: 1\nTcpPort: " + std::to_string(g_stationPort) + "\n";
    if (g_hamlibPort > 0 && !g_demo) s += "NumBanco: 1\nAutoTuneMode: 1\nViewTimeStr: 1\n";
    // A remote pair carries audio both ways through file-backed devices:
    // each unit captures its own tone and plays the peer's into a file.
    if (g_stationPort >= 0 || g_operatorPort >= 0)
      s += "EnableRead: 1\nEnableWrite: 1\nAudioIn: zelcap\nAudioOut: zelplay\nInChannels: 1\n"
           "Multiplier: 2\nAudioCompress: 64000\n";
    if (!writeText(set + "/setup.txt", s)) return false;
  }
  if (!g_key.empty() && !exists(set + "/remote.txt")) {
    std::string r = "key " + g_key + "\n";
    if (g_stationPort >= 0) r += "listen 127.0.0.1\n";
    r += g_tls ? "tls on\n" : "tls off\n";
    if (!writeText(set + "/remote.txt", r)) return false;
  }
  if (g_hamlibPort > 0) {
    // Bank 1 follows the rig behind rigctld; the band rows are the demo's.
    if (!exists(set + "/hamlib.txt") &&
        !writeText(set + "/hamlib.txt", "rigctld 127.0.0.1:" + std::to_string(g_hamlibPort) + "\n"))
      return false;
    if (!exists(set + "/antenna_b1.txt")) {
      if (!demoPrepareRoot(root)) return false;
      std::string table;
      FILE* f = fopen((set + "/antenna_b1.txt").c_str(), "r");
      if (f == nullptr) return false;
      char buf[256];
      while (fgets(buf, sizeof buf, f) != nullptr) table += strncmp(buf, "!Zel", 4) == 0 ? std::string("!Ham\n") : buf;
      fclose(f);
      if (!writeText(set + "/antenna_b1.txt", table)) return false;
    }
  }
  if ((g_demo || g_operatorPort >= 0 || g_stationPort >= 0) && !demoPrepareRoot(root)) return false;
  if (g_stationPort >= 0 || g_operatorPort >= 0) {
    // The station's tone is 1 kHz, the operator's 700 Hz; each plays the
    // other's into ROOT/audio_out.raw.
    static SimToneFeeder feeder;
    SimAudioFiles files = simAudioPrepare(root, 0, 0, 0);
    feeder.start(files.captureFile, g_stationPort >= 0 ? 1000 : 700, 8000);
  }
  // rm must reach files inside the root, not the machine's own.
  writeStub(bin, "rm",
            "for a; do case \"$a\" in \"$ZELPYX_ROOT\"/*) set -- \"$@\" \"$a\";; /*) set -- \"$@\" \"$ZELPYX_ROOT$a\";; "
            "*) set -- \"$@\" \"$a\";; esac; shift; done; exec /bin/rm \"$@\"");
  if (!exists(set + "/ventola.txt"))
    writeText(set + "/ventola.txt", ";temperature  fan step\n30 0\n40 30\n50 60\n60 100\n");
  if (!exists(set + "/filter.txt"))
    writeText(set + "/filter.txt",
              ";Fstart(hz)\tFstop\tenabled\n1800000\t\t2000000\t\t1 \n3500000\t\t4000000\t\t1 \n"
              "5300000\t\t7300000\t\t1 \n10100000\t\t10150000\t\t1 \n14000000\t\t14350000\t\t1 \n"
              "18068000\t\t21450000\t\t1 \n24890000\t\t29700000\t\t1 \n0\t\t54000000\t\t1 \n");

  // The screen: a regular file the size of an 800 x 480, 32-bit panel.
  const std::string fb = root + "/dev/fb0";
  struct stat sb;
  if (stat(fb.c_str(), &sb) != 0 || sb.st_size != 800 * 480 * 4) {
    int fd = open(fb.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, 800 * 480 * 4) != 0) {
      if (fd >= 0) close(fd);
      return false;
    }
    close(fd);
  }
  return true;
}

std::string dispatch(std::vector<SimModule>& mods, const std::string& lineIn) {
  std::string line = lineIn;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
  if (line.empty()) return "ERR empty";
  if (line == "quit") {
    g_quit = true;
    return "OK";
  }
  if (line == "modules") {
    std::string out = "OK";
    for (const auto& m : mods) out += " " + m.name;
    return out;
  }
  for (auto& m : mods) {
    if (line.compare(0, m.prefix.size(), m.prefix) == 0) return m.control(line.substr(m.prefix.size()));
  }
  return mods.front().control(line);  // the amplifier takes unprefixed lines
}

// Control socket: one line in, one reply line out, any number of lines per
// connection; connections are served one after another.
void serveSocket(int lsock, std::vector<SimModule>* mods) {
  while (!g_quit) {
    struct pollfd p = {lsock, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int c = accept(lsock, nullptr, nullptr);
    if (c < 0) continue;
    struct timeval tv = {5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string cur;
    char ch;
    while (!g_quit && read(c, &ch, 1) == 1) {
      if (ch != '\n') {
        if (cur.size() < 4096) cur += ch;
        continue;
      }
      std::string reply = dispatch(*mods, cur) + "\n";
      cur.clear();
      if (write(c, reply.data(), reply.size()) < 0) break;
    }
    close(c);
  }
}

void serveStdin(std::vector<SimModule>* mods) {
  std::string cur;
  char ch;
  while (!g_quit) {
    struct pollfd p = {0, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r <= 0) continue;
    ssize_t n = read(0, &ch, 1);
    if (n <= 0) return;  // stdin closed: the socket still serves
    if (ch != '\n') {
      cur += ch;
      continue;
    }
    printf("%s\n", dispatch(*mods, cur).c_str());
    fflush(stdout);
    cur.clear();
  }
}

void usage() {
  fprintf(stderr, "usage: zelsim --root DIR [--linport PATH] [--demo] [--station PORT] [--hamlib PORT] [--key KEY] [--tls]\n"
                  "       zelsim --root DIR --operator PORT [--key KEY] [--tls]\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (a == "--demo") {
      g_demo = true;
    } else if (a == "--station" && i + 1 < argc) {
      g_stationPort = atoi(argv[++i]);
    } else if (a == "--operator" && i + 1 < argc) {
      g_operatorPort = atoi(argv[++i]);
    } else if (a == "--key" && i + 1 < argc) {
      g_key = argv[++i];
    } else if (a == "--tls") {
      g_tls = true;
    } else if (a == "--hamlib" && i + 1 < argc) {
      g_hamlibPort = atoi(argv[++i]);
    } else if (a == "--linport" && i + 1 < argc) {
      g_linPort = argv[++i];
    } else {
      usage();
      return 2;
    }
  }
  if (g_operatorPort >= 0) g_demo = false;  // the operator unit has no station to play
  if (root.empty()) {
    usage();
    return 2;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  signal(SIGPIPE, SIG_IGN);

  std::vector<SimModule> mods = registerModules();
  if (!prepareRoot(root, mods)) {
    fprintf(stderr, "zelsim: cannot prepare %s\n", root.c_str());
    return 1;
  }
  unlink((root + "/sim.ready").c_str());

  std::vector<std::string> lines;
  std::vector<SimModule*> started;
  bool ok = true;
  for (auto& m : mods) {
    if (!m.start(root, &lines)) {
      fprintf(stderr, "zelsim: module %s failed to start\n", m.name.c_str());
      ok = false;
      break;
    }
    started.push_back(&m);
  }

  int lsock = -1;
  const std::string sockPath = root + "/sim.sock";
  if (ok) {
    lsock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (sockPath.size() >= sizeof a.sun_path) {
      fprintf(stderr, "zelsim: socket path too long: %s\n", sockPath.c_str());
      ok = false;
    } else {
      strncpy(a.sun_path, sockPath.c_str(), sizeof a.sun_path - 1);
      unlink(sockPath.c_str());
      if (lsock < 0 || bind(lsock, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || listen(lsock, 8) != 0) {
        fprintf(stderr, "zelsim: control socket %s: %s\n", sockPath.c_str(), strerror(errno));
        ok = false;
      }
    }
  }

  std::thread sockThread, stdinThread;
  if (ok) {
    for (const auto& l : lines) printf("%s\n", l.c_str());
    printf("control: %s\n", sockPath.c_str());
    fflush(stdout);
    sockThread = std::thread(serveSocket, lsock, &mods);
    stdinThread = std::thread(serveStdin, &mods);
    std::string ready;
    for (const auto& l : lines) ready += l + "\n";
    // Whoever waits for the marker reads it at once: it appears whole.
    if (writeText(root + "/sim.ready.tmp", ready))
      rename((root + "/sim.ready.tmp").c_str(), (root + "/sim.ready").c_str());
    static std::atomic<bool> demoQuit{false};
    std::thread demoThread;
    if (g_demo)
      demoThread = std::thread([&mods] { demoRun([&mods](const std::string& l) { return dispatch(mods, l); }, &demoQuit); });
    while (!g_quit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    demoQuit = true;
    if (demoThread.joinable()) demoThread.join();
  }

  g_quit = true;
  if (sockThread.joinable()) sockThread.join();
  if (stdinThread.joinable()) stdinThread.join();
  if (lsock >= 0) close(lsock);
  unlink(sockPath.c_str());
  unlink((root + "/sim.ready").c_str());
  for (auto* m : started) m->stop();
  return ok ? 0 : 1;
}
