// Amplifier-control fields of the shared record: identity, link, command
// queue, decoded measurements, temperature and fan, error list.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

// One entry of the error table: a flags byte and two key lines.
// Flag bits: 0 alarm colour (red key), 1 protection error, 2 temporary
// warning (removed by the reset key).
struct ErrDesc {
  uint8_t flags = 0;
  char line1[30] = {};
  char line2[30] = {};
};

constexpr int kErrCodes = 25;     // error codes 0..24
constexpr int kCmdQueueSize = 30; // ring slots; equal indexes mean empty

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
  int cmdQueue[kCmdQueueSize] = {};
  int cmdQueueOut = 0;
  int cmdQueueIn = 0;
  std::atomic<uint8_t> cmdUrgent{0};  // 1 = drain the queue before polling again
  std::mutex cmdQueueMut;             // producers come from several threads
  std::atomic<uint8_t> errResend{0};  // 0 idle, 1 re-send under way, 2 re-check due
  std::atomic<uint8_t> linReopen{0};  // 1: the Linear thread opens its port again (retry key)

  // Last command and retries (Linear thread only)
  char lastCmdCode[2] = {};
  int lastCmdNo = 0;
  int retryTotal = 0;
  int retryCount = 0;
  int retryStops = 0;
  // Hold-off after a link time-out was reported, ms; the timer counts it down.
  std::atomic<int> commErrHoldMs{0};

  // Decoded status reply
  uint8_t ampStatus[3] = {};  // status bytes A, B, C
  uint16_t rawIn = 0, rawFwd = 0, rawRefl = 0;
  float pwrIn = 0, FWD = 0, pwrRefl = 0, pwrPeak = 0;  // W
  float SWR = 0;           // 1..100, 0 with no power
  float paCurrentRaw = 0;  // 0..4095; A = value / 4096 * 14.05
  float tempBoard = 0, tempHeatsink = 0;  // smoothed, degrees C
  int freqMeasured = 0;    // Hz, from "FM"
  uint8_t tuState = 0;     // digit of the last "TU" reply
  uint8_t abState = 0;     // last "AB" command sent
  int anState = 0;         // digit of the last "AN" reply; sent by "AN"
  std::atomic<uint8_t> errorsMuted{0};  // bit 0: nothing recorded until "CP" answers
  char gsSettings[11] = {};  // general-settings characters of the "GS" reply
  uint8_t resetMicro = 0;    // 1 after an "MR" reply with '0'
  uint8_t logTempRestarted = 0;  // temperature log restarted since start / last alarm

  // Protection thresholds sent with "TS"
  int SoglieTS[4] = {};

  // Fan
  int fanStep = 0;      // step chosen by the last evaluation, percent
  int fanStepSent = 0;  // step last sent; -1 at start

  // Errors: any thread records and removes codes under errMut.
  ErrDesc errTable[kErrCodes];
  int32_t errList[kErrCodes] = {};
  int32_t errCount = 0;
  // bit 0 protection latched, bit 1 reset waiting for the amplifier,
  // bit 2 temporary warnings present
  std::atomic<uint8_t> errFlags{0};
  std::recursive_mutex errMut;
};
