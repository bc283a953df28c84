// The simulated amplifier micro-controller: answers the controller's
// commands on the "LinPort" terminal with CRC-framed replies (upper-case
// check digits), keeps the relay state and streams status replies from a
// small power and heat model.
//
// Control lines (the "amp " prefix is optional):
//   swr X              hold the SWR the load presents (1..100)
//   load A KIND        put antenna output A (1..3) on a load and let the
//                      tuner model give the SWR: KIND is dipole, endfed,
//                      dummy, or "R X" in ohm; "swr" holds a value again
//   drive W            drive (input) power in W; 0 = receive
//   freq HZ            frequency the amplifier measures ("FM" reply)
//   noise P [SEED]     meter noise: |reflection| x (1 + u), u uniform in
//                      +-P %, drawn again for every status reply; 0 = off
//   temp B [H]         hold the board / heat-sink temperatures (deg C)
//   temp auto          let the heat model run again
//   fault N            status byte C fault bits (decimal or 0x..)
//   bbits N            extra status byte B bits
//   silent 1|0         stop / resume answering
//   garbage N          the next N replies are noise without ";"
//   badcrc N           the next N replies carry wrong check digits
//   lowercrc N         the next N replies carry lower-case check digits
//   reject XY|all [N]  answer "XY?;" to command XY, or to every command
//                      (N times, default always)
//   reject off         stop rejecting
//   delay MS           pause before each reply
//   hangup MS          hang up the port (as an unplugged adapter), remove
//                      its link, and link a new terminal there after MS
//   state              one line with the relay and model state
//   log                frames received so far, "|"-joined
//   clearlog           forget the frames received so far
// Replies start with "OK" or "ERR".
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim/physics.h"
#include <string>
#include <vector>

struct AmpSimConfig {
  std::string root;                  // the controller's ZELPYX_ROOT
  std::string port = "/dev/ttyAMA0"; // "LinPort"
};

class AmpSim {
 public:
  AmpSim();
  ~AmpSim();
  AmpSim(const AmpSim&) = delete;
  AmpSim& operator=(const AmpSim&) = delete;

  // Creates the terminal, links it at root + port and starts answering.
  // Adds one line per port to lines. False when the port failed.
  bool start(const AmpSimConfig& cfg, std::vector<std::string>* lines);
  // Handles one control line; returns the reply line.
  std::string control(const std::string& line);
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The check digits' CRC as the simulated amplifier makes them.
uint8_t ampSimCrc8(const void* bytes, size_t length);

// The reply the simulated amplifier gives to one command text (check
// characters already removed), without framing. "" = no reply. Exposed for
// tests of the simulator.
struct AmpSimState;
std::string ampSimReply(AmpSimState& s, const std::string& cmd);

// Relay state and model inputs of the simulated amplifier.
struct AmpSimState {
  // relays and settings
  int bypass = 1;          // "AB1": amplifier bypassed
  int att = 0;             // attenuator step 0..3
  int antenna = 1;         // 1..3
  unsigned tuneWord = 0x00800000;
  int protection = 0;      // "MP1" latch
  int fan = 0;             // percent
  int filter = 0;          // relay byte of "SF30000xx"
  int an = 0;
  int ts[4] = {4095, 4095, 1500, 3700};
  char gs[11] = "0000000000";
  int cfg = 0x01, model = '0';
  int tuState = 0;
  // model
  double swr = 1.0;
  double noisePct = 0;       // meter noise, percent of |reflection|
  double noiseNow = 1.0;     // the factor of the present status reply
  unsigned long long noiseSeed = 1;
  // Loads of the three antenna outputs, used instead of swr once a "load"
  // line was given: the SWR then follows the tune word and the frequency.
  bool loadsLive = false;
  PhysLoad loads[3] = {{PHYS_LOAD_DIPOLE, {}}, {PHYS_LOAD_ENDFED, {}}, {PHYS_LOAD_DUMMY, {}}};
  double drive = 0.0;      // W
  long freq = 14070000;
  double tempBoard = 25.0, tempHeatsink = 25.0;
  bool tempHeld = false;
  int cBits = 0;
  int bBits = 0;
  bool swrTrip = false;    // high SWR tripped, until "CP"
};

// Powers of the model for the present state.
struct AmpSimPowers {
  double in = 0, fwd = 0, refl = 0, amps = 0;
};
AmpSimPowers ampSimPowers(const AmpSimState& s);
// SWR seen at the amplifier's output. The one place the load's SWR comes
// from: swap it for a network model to simulate the tuner.
double simSwr(const AmpSimState& s);
// Raw 12-bit reading of the 10 kohm NTC divider at temperature t.
int ampSimNtcRaw(double t);
// The "ST" reply text for the present state.
std::string ampSimStatus(const AmpSimState& s);
