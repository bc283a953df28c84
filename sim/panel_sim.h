// Simulated front-panel buttons. The controller reads its six buttons from
// the GPIO block it maps through "/dev/mem"; under a root that device is
// the regular file ROOT/dev/mem, and this module keeps the pin-level
// register in it: buttons 1..6 on pins 22..27, active low. The layout is
// the controller's own (platform/gpio_block.h).
//
// Control lines (the "panel " prefix is optional here):
//   press N            button N (1..6) down for 150 ms
//   hold N [MS]        button N down for MS ms (default 1500: a long press)
//   state              the six levels, "1" = released
#pragma once
#include <memory>
#include <string>
#include <vector>

class PanelSim {
 public:
  PanelSim();
  ~PanelSim();
  PanelSim(const PanelSim&) = delete;
  PanelSim& operator=(const PanelSim&) = delete;

  bool start(const std::string& root, std::vector<std::string>* lines);
  std::string control(const std::string& line);
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
