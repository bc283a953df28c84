#include "tests/support/amp_frames.h"

#include <cstdio>

#include "amp/crc8.h"

static std::string withCheck(const std::string& text, const char* fmt) {
  char chk[3];
  snprintf(chk, sizeof chk, fmt, Sys_Crc8Calculation(text.data(), text.size()));
  return std::string(chk) + text;
}

std::string ampReply(const std::string& text) { return withCheck(text, "%02X"); }
std::string ampCommand(const std::string& text) { return withCheck(text, "%02x"); }

std::string ampStatusText(const AmpStatus& s) {
  static const char* hex = "0123456789ABCDEF";
  char buf[64];
  snprintf(buf, sizeof buf, "ST%c%c%04d%04d%04d%04d%04d%04d%c%c00%04d;", hex[s.a & 15], hex[s.b & 15],
           s.in % 10000, s.fwd % 10000, s.refl % 10000, s.current % 10000, s.tempBoard % 10000,
           s.tempHeatsink % 10000, hex[s.c & 15], hex[(s.c >> 4) & 15], s.peak % 10000);
  return buf;
}
