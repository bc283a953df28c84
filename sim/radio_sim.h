// Simulated radios of the station simulator: the companion radio (its
// binary data port and its text CAT port) and an FT-817 on a terminal of
// its own. Each port is a pseudo-terminal whose slave is linked at the
// path the controller opens under its root.
//
// The encoders here are written from the wire layout, not from the
// controller's decoders, so a test compares two implementations.
//
// Control lines (the "radio " prefix is optional here):
//   freq HZ            operating VFO of the companion radio
//   vfo a|b            operating VFO
//   mode N             mode of the operating VFO (4 and 6 shift the scope)
//   tx 1|0             key / unkey the transmitter
//   pitch HZ, offset HZ
//   sweep on [MS] | sweep off   step both radios through the bands
//   silent 1|0         data port stops / resumes streaming
//   ft817 freq HZ | ft817 mode N | ft817 silent 1|0
//   state              one line with the dial state
//   log                commands received from the controller, "|"-joined
// Replies start with "OK" or "ERR".
#pragma once
#include <memory>
#include <string>
#include <vector>

struct RadioSimConfig {
  std::string root;                        // the controller's ZELPYX_ROOT
  std::string dataPort = "/dev/ttyUSB1";   // "SerPort"
  std::string catPort = "/dev/MIRKCAT0";   // found by the "DT;" probe
  std::string ft817Port = "/dev/ttyUSB2";  // "CatSerialPort"
  int blockMs = 100;                       // parameter block period
  int spectrumMs = 200;                    // spectrum line period
  // The operator unit's radio: its data port sends no blocks or lines of
  // its own (the station's arrive over the link), only an empty message
  // now and then, so the controller sees a live port.
  bool controlHead = false;
};

class RadioSim {
 public:
  RadioSim();
  ~RadioSim();
  RadioSim(const RadioSim&) = delete;
  RadioSim& operator=(const RadioSim&) = delete;

  // Creates and links the three ports and starts streaming. Adds one
  // human-readable line per port to lines. False when a port failed.
  bool start(const RadioSimConfig& cfg, std::vector<std::string>* lines);
  // Handles one control line; returns the reply line.
  std::string control(const std::string& line);
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Encoders, exposed for the simulator's own use and for tests of it.
struct RadioDial {
  int freqA = 14074000, freqB = 7074000;
  bool vfoB = false;      // B is the operating VFO
  int modeA = 2, modeB = 2;
  bool tx = false;
  int pitch = 600;
  int offset = 0;
  int volume = 40, volumeAux = 30, volumeSide = 8;
  int squelch = 0, nr = 3, nb = 0;
  bool att = false, lp = true;
  int an = 1;
};
// A 31-byte parameter block. reportB: the block carries VFO B's frequency
// and mode; volumeSel: which volume byte 22 carries (0, 1, 2).
std::string encodeParamBlock(const RadioDial& d, bool reportB, int volumeSel);
// A 1024-byte spectrum line for the dial frequency: a noise floor and a
// few carriers at fixed band frequencies.
std::string encodeSpectrumLine(int dialHz, unsigned seed);
// Type, subtype, four length digits (least significant first), body.
std::string encodeDataMessage(int type, char subtype, const std::string& body);
// FT-817 answer to the read command: BCD frequency in 10 Hz, mode byte.
std::string encodeFt817Answer(int hz, int mode);
