// Radio-link fields of the shared record: the companion radio's data and
// CAT ports, the FT-817 poll. The flag bytes tuneFlags and txReqFlags, the
// operating frequency and the ZelParam pointer with its serMut live in the
// core fields; commErrHoldMs is shared with the amplifier link.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

constexpr int kSpectrumPoints = 854;  // levels drawn by the spectrum plot

constexpr int kZelUsbTransfers = 4;  // USB transfers the spectrum reader keeps in flight

// The USB spectrum reader's transform state, kept for the life of the
// process: the window and the twiddles are rebuilt only when
// "Enable1600: " changes.
struct FftState {
  std::vector<double> re, im, coeff, co, si;
  std::vector<uint8_t> fftout;     // shifted level line (N bytes)
  std::vector<uint8_t> fftoutdec;  // decimated line
  int oldEnable1600 = 256;  // no byte: the first line always builds the tables
  int n = 0;
  int rebuilds = 0;  // how often the tables were built
};

// The USB spectrum reader's own state (ZELRead and its completions); the
// countdown and the offsets survive a restart of the thread.
struct ZelUsbState {
  int status_usb_open = 0;
  int err_counter = 0;
  float globalOffset = 0, lpOffset = 0, attOffset = 0;
  float recalc = 1;
  int divide = 1;
  bool stop = false;
  std::vector<float> fbuf[kZelUsbTransfers];
};

struct RadioFields {
  // Descriptors; -1 while closed. catFD is read by the remote link, which
  // writes the peer's CAT text to it, and closed by whichever side fails.
  std::atomic<int> serFD{-1};
  std::atomic<int> catFD{-1};
  std::atomic<int> catSerFD{-1};

  // Timer cycles during which no automatic tune starts after "RX;" went out.
  std::atomic<int> txHoldoff{0};

  // FT-817 poll: last decoded frequency (Hz) and last mode byte.
  std::atomic<int> catSerFreq{0};
  std::atomic<uint8_t> catSerMode{0};

  // Hamlib link: run byte ('1' while the bank is on the Hamlib interface;
  // the setup record has no room for it), last frequency (Hz, 0 until
  // rigctld gave one) and PTT state of the rig.
  char hamRun = '0';
  std::atomic<long> hamFreq{0};
  std::atomic<int> hamPtt{0};

  // Spectrum levels in dB (byte - 192) for the plot, guarded by serMut.
  float spectrumLevels[kSpectrumPoints] = {};

  // Set once the ZelParam record has been zeroed by the first decode;
  // guarded by serMut.
  uint8_t zelParamReady = 0;

  // The USB spectrum reader's state (ZELRead's).
  ZelUsbState zelUsb;
  FftState zelFft;
};
