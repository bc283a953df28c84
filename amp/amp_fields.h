// Amplifier-control fields of the shared record (identity, link, queue,
// measurements, errors).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

struct AmpFields {
  // Amplifier identity
  uint8_t ampConfig = 0;
  uint8_t ampModel = 0;
  char ampEeprom0[32] = {};
  char ampEeprom1[32] = {};
  char ampVersion[20] = {};

  // Link
  int linFD = -1;

  // Command queue: filled by any thread, emptied by the Linear thread.
  int cmdQueue[30] = {};
  int cmdQueueOut = 0;
  int cmdQueueIn = 0;
  std::atomic<uint8_t> cmdUrgent{0};
  std::mutex cmdQueueMut;  // producers come from several threads

  // Protection thresholds sent with "TS"
  int SoglieTS[4] = {};
  int fanStepSent = 0;

  // Errors
  uint8_t errorsMuted = 0;
};
