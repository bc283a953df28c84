// Spectrum and audio benchmark (a report, not a test):
//  - one fftCalc line (2048 and 4096 points) against FFTW computing the
//    same windowed forward transform on the same input, as a ratio;
//  - the processor cost of the audio path for one packet of audioFrame
//    frames (capture read and widening, Opus encode, "SO" send, frame
//    read, Opus decode and play) as a share of one core, raw and Opus.
//
//   audio_bench [--lines N] [--packets N]
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/setup_record.h"
#include "app/spine.h"
#include "core/works.h"
#include "radio/zel_usb.h"
#include "remote/audio.h"
#include "remote/remote_dispatch.h"
#include "remote/ws_proto.h"
#include "tests/support/null_pcm.h"

#ifdef ZELPYX_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Unit {
  std::unique_ptr<Works> own{new Works()};
  Works* w = own.get();
  SetupRec setup{};
  std::mutex connMut, sendMut, serMut;
  Unit() {
    w->setup = &setup;
    w->connMut = &connMut;
    w->sendMut = &sendMut;
    w->serMut = &serMut;
    w->running = 1;
    w->audioFrame = 480;
    w->audioRate = 48000;
    w->audioFormat = 2;
    w->inChannels = 1;
  }
};

// A microphone of a 1 kHz tone and a speaker that only counts.
struct BenchPcm : NullPcm {
  long n = 0;
  long readFrames(void* buf, long frames) override {
    int16_t* s = static_cast<int16_t*>(buf);
    for (long i = 0; i < frames; i++, n++) s[i] = static_cast<int16_t>(8000 * sin(2 * M_PI * 1000 * n / 48000.0));
    return frames;
  }
};

void fftReport(int lines) {
  std::vector<float> x(8192);
  for (int j = 0; j < 4096; j++) {
    x[2 * j] = static_cast<float>(0.01 * cos(0.3 * j) + 1e-4 * sin(1.7 * j));
    x[2 * j + 1] = static_cast<float>(0.01 * sin(0.3 * j));
  }
  for (char m : {'0', '1'}) {
    const int n = m == '0' ? 2048 : 4096;
    FftState st;
    fftLine(st, x.data(), 8192, m);  // tables built outside the timing
    double t0 = cpuNow();
    for (int i = 0; i < lines; i++) fftLine(st, x.data(), 8192, m);
    const double ours = (cpuNow() - t0) / lines;
#ifdef ZELPYX_HAVE_FFTW
    fftw_complex* in = fftw_alloc_complex(static_cast<size_t>(n));
    fftw_complex* out = fftw_alloc_complex(static_cast<size_t>(n));
    fftw_plan p = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    std::vector<double> win(static_cast<size_t>(n));
    for (int j = 1; j < n; j++) {
      const double a = 2 * M_PI * j / (n - 1);
      win[static_cast<size_t>(j)] = 0.35875 - 0.48829 * cos(a) + 0.14128 * cos(2 * a) - 0.01168 * cos(3 * a);
    }
    std::vector<uint8_t> line(static_cast<size_t>(n)), dec(static_cast<size_t>(n));
    volatile int sink = 0;
    t0 = cpuNow();
    for (int i = 0; i < lines; i++) {
      // The same line: window, transform, levels, shift, decimation.
      for (int j = 0; j < n; j++) {
        in[j][0] = x[static_cast<size_t>(2 * j)] * win[static_cast<size_t>(j)];
        in[j][1] = x[static_cast<size_t>(2 * j + 1)] * win[static_cast<size_t>(j)];
      }
      fftw_execute(p);
      for (int j = 0; j < n; j++) {
        const double r = out[j][0] / (n / 2), q = out[j][1] / (n / 2);
        const double db = 20 * log10(sqrt(r * r + q * q));
        int l = !(db > -192) ? -192 : db > 50 ? 50 : static_cast<int>(db);
        line[static_cast<size_t>(j < n / 2 ? j + n / 2 : j - n / 2)] = static_cast<uint8_t>(l + 192);
      }
      const int len = m == '0' ? 854 : 1706, first = m == '0' ? 170 : 341;
      for (int k = 0; k < len; k++) dec[static_cast<size_t>(k)] = line[static_cast<size_t>(first + 2 * k)];
      sink = sink + dec[0];
    }
    const double theirs = (cpuNow() - t0) / lines;
    fftw_destroy_plan(p);
    fftw_free(in);
    fftw_free(out);
    printf("fftCalc %d points: %.1f us per line, FFTW the same line %.1f us: ratio %.2f\n", n, ours * 1e6,
           theirs * 1e6, ours / theirs);
#else
    printf("fftCalc %d points: %.1f us per line (FFTW not found: no ratio)\n", n, ours * 1e6);
#endif
  }
}

void audioReport(int packets, int compress) {
  Unit a, b;
  a.w->AudioCompress = compress;
  b.w->AudioCompress = compress;
  createCodecs(a.w);
  createCodecs(b.w);
  int sp[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sp);
  a.w->remoteSock = sp[0];
  a.w->remoteConnected = 1;
  setRunByte(b.setup.EnableWrite, '1');
  auto out = std::make_shared<AudioOutput>();
  out->pcm.reset(new BenchPcm());
  out->playBuf.assign(480 * 4, 0);
  b.w->pcmOut = out;
  b.w->audioPlayReady = 1;
  BenchPcm mic;
  std::vector<uint8_t> buf(kAudioCaptureBytes);
  LinkState st('c');
  WsFrame f;
  WsRead src = [&](uint8_t* p, int n) { return static_cast<int>(read(sp[1], p, static_cast<size_t>(n))); };
  double t0 = cpuNow();
  for (int i = 0; i < packets; i++) {
    MyCallback(a.w, &mic, buf.data());  // capture, widen, encode, send
    if (wsReadFrame(src, f) != 0) break;  // the peer's frame reader
    dispatchFrame(b.w, st, f);            // decode and play
  }
  const double per = (cpuNow() - t0) / packets;
  printf("audio path %s: %.1f us of processor per 10 ms packet = %.2f %% of one core\n",
         compress ? "Opus 64 kbit/s" : "raw", per * 1e6, per / 0.010 * 100);
  close(sp[0]);
  close(sp[1]);
  destroyCodecs(a.w);
  destroyCodecs(b.w);
}

}  // namespace

int main(int argc, char** argv) {
  int lines = 200, packets = 1000;
  for (int i = 1; i + 1 < argc; i++) {
    if (strcmp(argv[i], "--lines") == 0) lines = atoi(argv[++i]);
    else if (strcmp(argv[i], "--packets") == 0) packets = atoi(argv[++i]);
  }
  if (lines < 1) lines = 1;
  if (packets < 1) packets = 1;
  fftReport(lines);
  audioReport(packets, 0);
  audioReport(packets, 64000);
  return 0;
}
