// Frames of the amplifier link as they look on the wire.
#pragma once
#include <string>

// Frame as the amplifier sends it: upper-case check digits, then text
// ("ST....;" -> "XXST....;").
std::string ampReply(const std::string& text);
// Frame as the controller sends it: lower-case check digits ("ST;" -> "4dST;").
std::string ampCommand(const std::string& text);

// A status reply text ("ST...;") from its parts: status bytes A, B (one
// hex digit each), raw readings, status byte C (sent low digit first) and
// the peak reading.
struct AmpStatus {
  int a = 0, b = 0;
  int in = 0, fwd = 0, refl = 0, current = 0;
  int tempBoard = 2048, tempHeatsink = 2048;  // raw 12-bit, 2048 = about 25 C
  int c = 0;
  int peak = 0;
};
std::string ampStatusText(const AmpStatus& s);
