// The companion radio's USB sample stream and the spectrum lines computed
// from it for the remote peer (ZELRead). The transfer completion (cb_in)
// and the transform (fftCalc, fftLine) are plain functions; the thread
// only sets the device up and runs libusb's events.
#pragma once
#include <atomic>
#include <functional>
#include <cstdint>
#include <vector>

#include "radio/radio_fields.h"

struct Works;

constexpr int kZelUsbTransferBytes = 32768;
constexpr int kZelUsbSamples = kZelUsbTransferBytes / 4;  // 8192 (4096 I/Q pairs)
constexpr uint8_t kZelUsbEndpoint = 0x86;
constexpr int kZelUsbTimeoutMs = 2000;


// One spectrum line from count floats (interleaved I, Q) for the
// "Enable1600: " byte m ('0' 2048 points, 854 bytes; else 4096, 1706).
// Returns the line's length (in st.fftoutdec), or -1 when count is short.
int fftLine(FftState& st, const float* x, int count, char m);
// fftLine on the reader's transform state (w->zelFft) and, while a peer is
// connected, the line to it as "SP".
void fftCalc(const float* x, int count, Works* w);

// Completion of transfer `index` (libusb's status numbers); resubmits it
// through resubmit while the stream goes on. An index that is none of the
// kZelUsbTransfers is logged and ignored.
void cb_in(Works* w, ZelUsbState& st, int index, int status, const uint8_t* data, int length,
           const std::function<int(int)>& resubmit);

void ZELRead(Works* w);
class UsbRadioPort;
// The reader's end: error 5, the spectrum off, the device (if any) closed.
void ExitZelread(Works* w, UsbRadioPort* dev);

// 1 while ZELRead runs (its starter never starts a second one).
extern std::atomic<int> zelReadRunning;
