#include "sim/panel_sim.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "platform/gpio_block.h"

struct PanelSim::Impl {
  int fd = -1;
  std::mutex m;
  // Release time of each button; zero time = released.
  std::chrono::steady_clock::time_point until[6];
  std::atomic<bool> quit{false};
  std::thread th;


  void writeLevels() {
    uint32_t level = 0xFFFFFFFFu;  // pull-ups: everything reads high
    auto now = std::chrono::steady_clock::now();
    for (int b = 0; b < 6; b++)
      if (until[b] > now) level &= ~gpio::buttonBit(b + 1);
    if (pwrite(fd, &level, sizeof level, gpio::kBase + gpio::kLev0) != sizeof level) return;
  }

  void run() {
    while (!quit) {
      {
        std::lock_guard<std::mutex> lk(m);
        writeLevels();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

PanelSim::PanelSim() : impl_(new Impl()) {}
PanelSim::~PanelSim() { stop(); }

bool PanelSim::start(const std::string& root, std::vector<std::string>* lines) {
  Impl& s = *impl_;
  const std::string path = root + "/dev/mem";
  s.fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  // A sparse file: only the GPIO page at its physical address holds data.
  if (s.fd < 0 || ftruncate(s.fd, gpio::kBase + gpio::kSize) != 0) return false;
  {
    std::lock_guard<std::mutex> lk(s.m);
    s.writeLevels();
  }
  s.th = std::thread([&s] { s.run(); });
  lines->push_back("front-panel buttons: " + path + " (GPIO levels at 0x3F200034, pins 22-27)");
  return true;
}

std::string PanelSim::control(const std::string& lineIn) {
  Impl& s = *impl_;
  std::string line = lineIn;
  if (line.rfind("panel ", 0) == 0) line = line.substr(6);
  std::istringstream in(line);
  std::string cmd;
  int button = 0, ms = 0;
  in >> cmd >> button >> ms;
  std::lock_guard<std::mutex> lk(s.m);
  if (cmd == "state") {
    std::string r = "OK";
    auto now = std::chrono::steady_clock::now();
    for (int b = 0; b < 6; b++) r += s.until[b] > now ? " 0" : " 1";
    return r;
  }
  if ((cmd != "press" && cmd != "hold") || button < 1 || button > 6) return "ERR unknown panel command: " + line;
  if (ms <= 0) ms = cmd == "press" ? 150 : 1500;
  s.until[button - 1] = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  s.writeLevels();
  return "OK";
}

void PanelSim::stop() {
  Impl& s = *impl_;
  s.quit = true;
  if (s.th.joinable()) s.th.join();
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
}
