// Menu fields of the shared record.
#pragma once
#include <cstdint>

struct MenuFields {
  int MenuIdx = 0;
  int ParIdx = 0;
  int ParSubIdx = 0;
  int NumPar = 0;
  uint8_t overlay = 0;
  uint8_t updateFlags = 0;
  uint8_t keyFlags = 0;
};
