// Display fields of the shared record.
#pragma once
#include <atomic>
#include <cstdint>

struct FbInfo;

// Slots of the front-panel controller's answers, by the two low bits of
// the command byte.
enum TinySlot { kTinyVersion = 0, kTinyV12 = 1, kTinyV15 = 2, kTinyVamp = 3 };

struct DisplayFields {
  FbInfo* fb = nullptr;   // the framebuffer record
  char imgName[20] = {};  // background picture name, without ".png"
  int imgX = 0;           // placement of the picture (always 0, 0)
  int imgY = 0;

  // Front-panel controller answers (firmware version, 12 V, 15 V and
  // amplifier supply readings); written by the GPIO thread only.
  std::atomic<uint8_t> tinyAnswer[4] = {};
};
