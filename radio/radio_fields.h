// Radio-link fields of the shared record.
#pragma once
#include <cstdint>

struct RadioFields {
  int serFD = -1;
  int catFD = -1;
  int catSerFD = -1;
};
