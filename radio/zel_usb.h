// The companion radio's USB sample stream and the spectrum lines computed
// from it for the remote peer (ZELRead). The transfer completion (cb_in)
// and the transform (fftCalc, fftLine) are plain functions; the thread
// only sets the device up and runs libusb's events.
#pragma once
#include <atomic>
#include <functional>
#include <cstdint>
#include <vector>

struct Works;

constexpr int kZelUsbTransfers = 4;
constexpr int kZelUsbTransferBytes = 32768;
constexpr int kZelUsbSamples = kZelUsbTransferBytes / 4;  // 8192 (4096 I/Q pairs)
constexpr uint8_t kZelUsbEndpoint = 0x86;
constexpr int kZelUsbTimeoutMs = 2000;

// Transform state, kept for the life of the process: the window and the
// twiddles are rebuilt only when "Enable1600: " changes.
struct FftState {
  std::vector<double> re, im, coeff, co, si;
  std::vector<uint8_t> fftout;     // shifted level line (N bytes)
  std::vector<uint8_t> fftoutdec;  // decimated line
  int oldEnable1600 = 256;  // no byte: the first line always builds the tables
  int n = 0;
  int rebuilds = 0;  // how often the tables were built
};

// The reader's state; the countdown and the offsets survive a restart.
struct ZelUsbState {
  int status_usb_open = 0;
  int err_counter = 0;
  float globalOffset = 0, lpOffset = 0, attOffset = 0;
  float recalc = 1;
  int divide = 1;
  bool stop = false;
  std::vector<float> fbuf[kZelUsbTransfers];
};
extern ZelUsbState zelUsb;
extern FftState zelFft;

// One spectrum line from count floats (interleaved I, Q) for the
// "Enable1600: " byte m ('0' 2048 points, 854 bytes; else 4096, 1706).
// Returns the line's length (in st.fftoutdec), or -1 when count is short.
int fftLine(FftState& st, const float* x, int count, char m);
// fftLine on the process's state and, while a peer is connected, the
// line to it as "SP".
void fftCalc(const float* x, int count, Works* w);

// Completion of transfer `index` (libusb's status numbers); resubmits it
// through resubmit while the stream goes on. An index that is none of the
// kZelUsbTransfers is logged and ignored.
void cb_in(Works* w, ZelUsbState& st, int index, int status, const uint8_t* data, int length,
           const std::function<int(int)>& resubmit);

void ZELRead(Works* w);
void ExitZelread(Works* w);

// 1 while ZELRead runs (its starter never starts a second one).
extern std::atomic<int> zelReadRunning;
