// Amplifier-control fields of the shared record: identity, link, command
// queue, decoded measurements, temperature and fan, error list.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "amp/amp_status.h"
#include "amp/cmd_queue.h"

// One entry of the error table: a flags byte and two key lines.
// Flag bits: 0 alarm colour (red key), 1 protection error, 2 temporary
// warning (removed by the reset key).
struct ErrDesc {
  uint8_t flags = 0;
  char line1[30] = {};
  char line2[30] = {};
};

constexpr int kErrCodes = 26;     // error codes 0..25

struct AmpFields {
  // Amplifier identity
  std::atomic<uint8_t> ampConfig{0};  // identity, from the decoder
  std::atomic<uint8_t> ampModel{0};
  char ampEeprom0[32] = {};
  char ampEeprom1[32] = {};
  char ampVersion[20] = {};

  // Link
  std::atomic<int> linFD{-1};

  // Command queue: filled by any thread, emptied by the Linear thread.
  CmdQueue cmdQ;
  std::atomic<uint8_t> errResend{0};  // 0 idle, 1 re-send under way, 2 re-check due
  std::atomic<uint8_t> linReopen{0};  // 1: the Linear thread opens its port again (retry key)

  // Resends and give-ups of the link, shown by the information screen
  std::atomic<int> retryTotal{0};
  std::atomic<int> retryStops{0};
  // Hold-off after a link time-out was reported, ms; the timer counts it down.
  std::atomic<int> commErrHoldMs{0};

  // Decoded status reply: the Linear thread's own fields (the operator
  // unit's link thread writes them instead when it runs no link). Other
  // threads read the published copy (ampSnap, GetAmpStatus).
  AmpSnapshot ampSnap;
  std::mutex ampSnapMut;
  uint8_t ampStatus[3] = {};  // status bytes A, B, C
  uint16_t rawIn = 0, rawFwd = 0, rawRefl = 0;
  float pwrIn = 0, FWD = 0, pwrRefl = 0, pwrPeak = 0;  // W
  float SWR = 0;           // 1..100, 0 with no power
  float paCurrentRaw = 0;  // 0..4095; A = value / 4096 * 14.05
  float tempBoard = 0, tempHeatsink = 0;  // smoothed, degrees C
  int freqMeasured = 0;    // Hz, from "FM"
  uint8_t tuState = 0;     // digit of the last "TU" reply
  std::atomic<uint8_t> abState{0};     // last "AB" command sent
  std::atomic<int> anState{0};  // digit of the last "AN" reply; sent by "AN" (timer, buttons, decoder)
  std::atomic<uint8_t> errorsMuted{0};  // bit 0: nothing recorded until "CP" answers
  char gsSettings[11] = {};  // general-settings characters of the "GS" reply
  uint8_t resetMicro = 0;    // 1 after an "MR" reply with '0'
  uint8_t logTempRestarted = 0;  // temperature log restarted since start / last alarm

  // Protection thresholds of the "TS" command: SoglieTS mirrors the set
  // queued last; tsWire holds the same set packed (16 bits each, input
  // power lowest) and is what the Linear thread formats, so one command
  // never carries the values of two bands. Written only through
  // QueueSoglieTS (tuner/recall.h).
  int SoglieTS[4] = {};
  std::atomic<uint64_t> tsWire{0x0E74'05DC'0FFF'0FFFull};  // 4095 4095 1500 3700
  std::mutex tsMut;  // leaf: SoglieTS, tsWire, SoglieRowIdx and tsBandSet together

  // Status replies decoded since start (Linear thread only).
  uint32_t statusReplies = 0;

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
