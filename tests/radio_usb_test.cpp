// The USB spectrum reader: fftCalc's line against FFTW computing the same
// windowed transform, the transfer completion cb_in on synthetic
// transfers, and ZELRead's set-up and stream against a stand-in device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "amp/error_list.h"
#include "platform/log.h"
#include "platform/usb_stream.h"
#include "radio/zel_link.h"
#include "radio/zel_usb.h"
#include "radio/zel_usb_ids.h"
#include "tests/support/test_works.h"

#ifdef ZELPYX_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

// Interleaved I/Q of a complex tone at `bin` (of n) with amplitude a, plus dc.
std::vector<float> tone(int n, double bin, double a, double dc = 0) {
  std::vector<float> x(8192, 0.0f);
  for (int j = 0; j < 4096; j++) {
    const double ph = 2 * M_PI * bin * j / n;
    x[2 * j] = static_cast<float>(a * cos(ph) + dc);
    x[2 * j + 1] = static_cast<float>(a * sin(ph));
  }
  return x;
}

#ifdef ZELPYX_HAVE_FFTW
// The same line computed independently: window by its formula, FFTW's
// forward transform, the level rule and the half shift.
std::vector<uint8_t> reference(const std::vector<float>& x, int n) {
  fftw_complex* in = fftw_alloc_complex(static_cast<size_t>(n));
  fftw_complex* out = fftw_alloc_complex(static_cast<size_t>(n));
  fftw_plan p = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  for (int j = 0; j < n; j++) {
    const double a = 2 * M_PI * j / (n - 1);
    const double w = j == 0 ? 0 : 0.35875 - 0.48829 * cos(a) + 0.14128 * cos(2 * a) - 0.01168 * cos(3 * a);
    in[j][0] = x[static_cast<size_t>(2 * j)] * w;
    in[j][1] = x[static_cast<size_t>(2 * j + 1)] * w;
  }
  fftw_execute(p);
  std::vector<uint8_t> line(static_cast<size_t>(n));
  for (int j = 0; j < n; j++) {
    const double m = std::hypot(out[j][0], out[j][1]) / (n / 2);
    double db = m > 0 ? 20 * log10(m) : -1000;
    int l = db <= -192 ? -192 : db > 50 ? 50 : static_cast<int>(db);
    line[static_cast<size_t>(j < n / 2 ? j + n / 2 : j - n / 2)] = static_cast<uint8_t>(l + 192);
  }
  fftw_destroy_plan(p);
  fftw_free(in);
  fftw_free(out);
  return line;
}

// Bytes that differ, and by at most one level (truncation right at a
// whole dB may fall either way between two correct transforms).
void expectSameLine(const FftState& st, const std::vector<uint8_t>& ref, int n) {
  int differ = 0;
  for (int j = 0; j < n; j++) {
    const int d = std::abs(st.fftout[static_cast<size_t>(j)] - ref[static_cast<size_t>(j)]);
    ASSERT_LE(d, 1) << "bin " << j;
    differ += d != 0;
  }
  EXPECT_LT(differ, n / 100);
}
#endif

int argmax(const std::vector<uint8_t>& v, int n) {
  int k = 0;
  for (int j = 1; j < n; j++)
    if (v[static_cast<size_t>(j)] > v[static_cast<size_t>(k)]) k = j;
  return k;
}

}  // namespace

TEST(UsbSpectrum, LinesMatchAnIndependentTransformAndTheTablesFollowEnable1600) {
  FftState st;
  std::vector<float> x = tone(2048, 100, 0.01, 0.0);
  for (size_t i = 0; i < x.size(); i++) x[i] += static_cast<float>(1e-4 * sin(0.37 * static_cast<double>(i)));
  ASSERT_EQ(fftLine(st, x.data(), 8192, '0'), 854);
  EXPECT_EQ(st.rebuilds, 1);
  EXPECT_EQ(argmax(st.fftout, 2048), 100 + 1024);  // the tone's bin, shifted by N/2
  for (int i = 0; i < 854; i++) ASSERT_EQ(st.fftoutdec[static_cast<size_t>(i)], st.fftout[static_cast<size_t>(170 + 2 * i)]);
#ifdef ZELPYX_HAVE_FFTW
  expectSameLine(st, reference(x, 2048), 2048);
#endif
  // "Enable1600: " changes between lines: the tables are rebuilt first.
  x = tone(4096, -300, 0.01);
  ASSERT_EQ(fftLine(st, x.data(), 8192, '1'), 1706);
  EXPECT_EQ(st.rebuilds, 2);
  EXPECT_EQ(argmax(st.fftout, 4096), 4096 - 300 - 2048);
  for (int i = 0; i < 1706; i++) ASSERT_EQ(st.fftoutdec[static_cast<size_t>(i)], st.fftout[static_cast<size_t>(341 + 2 * i)]);
#ifdef ZELPYX_HAVE_FFTW
  expectSameLine(st, reference(x, 4096), 4096);
#endif
  ASSERT_EQ(fftLine(st, x.data(), 8192, '1'), 1706);
  EXPECT_EQ(st.rebuilds, 2);  // same size: kept

  // DC at position N/2; full scale saturates at 242; silence at 0.
  x = tone(2048, 0, 0, 0.01);
  fftLine(st, x.data(), 8192, '0');
  EXPECT_EQ(argmax(st.fftout, 2048), 1024);
  EXPECT_LT(st.fftout[1024], 242);
  x = tone(2048, 0, 0, 1000.0);
  fftLine(st, x.data(), 8192, '0');
  EXPECT_EQ(st.fftout[1024], 242);
  std::vector<float> zero(8192, 0.0f);
  fftLine(st, zero.data(), 8192, '0');
  for (int j = 0; j < 2048; j++) ASSERT_EQ(st.fftout[static_cast<size_t>(j)], 0) << j;
  EXPECT_EQ(fftLine(st, zero.data(), 100, '0'), -1);  // too few samples: no line
}

// Any "Enable1600: " byte other than '0' means 4096 points, and the first
// line builds its tables whatever the byte (a fuzz finding: a first line
// for 'x' ran with no window and no twiddles and came out as silence).
TEST(UsbSpectrum, TheFirstLineBuildsTheTablesForAnyEnable1600Byte) {
  const std::vector<float> x = tone(4096, 500, 0.01);
  FftState one;
  ASSERT_EQ(fftLine(one, x.data(), 8192, '1'), 1706);
  for (char m : {'x', '\0', static_cast<char>(0xFF)}) {
    FftState st;
    ASSERT_EQ(fftLine(st, x.data(), 8192, m), 1706);
    EXPECT_EQ(st.rebuilds, 1);
    EXPECT_EQ(argmax(st.fftout, 4096), 500 + 2048);
    EXPECT_EQ(st.fftout, one.fftout) << static_cast<int>(m);
  }
}

namespace {

struct Completions {
  TestWorks t;
  ZelParam zp{};
  ZelUsbState st;
  std::vector<int> resubmitted;
  int lines = 0;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kZelUsbTransferBytes, 0);
  Completions() {
    t->zelParam = &zp;
    setRunByte(t.setup.spectrumSource, '1');
    t.setup.Enable1600 = '0';
    t->remoteConnected = 1;
    for (auto& f : st.fbuf) f.assign(kZelUsbSamples, 0.0f);
    setRadioFrameTap([this](const char* type, const uint8_t*, int) { lines += strcmp(type, "SP") == 0; });
  }
  ~Completions() { setRadioFrameTap(nullptr); }
  void complete(int index, int status = 0) {
    cb_in(t.get(), st, index, status, buf.data(), kZelUsbTransferBytes, [this](int i) {
      resubmitted.push_back(i);
      return 0;
    });
  }
  void putSample(int i, int32_t v) { memcpy(buf.data() + 4 * i, &v, 4); }
};

}  // namespace

TEST(UsbTransfers, ScalingLinesEveryDivideBuffersAndElevenFailuresEndTheStream) {
  Completions c;
  c.st.globalOffset = 1.4f;  // recalc = 10^(20/20) = 10
  c.st.lpOffset = 6.0f;
  c.putSample(0, 1 << 30);
  c.putSample(1, -(1 << 29));
  c.t->Divide = 3;
  c.complete(0);
  EXPECT_NEAR(c.st.recalc, 10.0, 1e-4);
  EXPECT_NEAR(c.st.fbuf[0][0], 5.0, 1e-4);  // 2^30 x 10 / 2^31
  EXPECT_NEAR(c.st.fbuf[0][1], -2.5, 1e-4);
  EXPECT_EQ(c.lines, 1);  // the first buffer gives a line at once
  // With the radio's LP on, its offset joins in.
  c.zp.Lp = 1;
  c.complete(1);
  EXPECT_NEAR(c.st.recalc, pow(10.0, 26.0 / 20), 1e-3);
  EXPECT_NEAR(c.st.fbuf[1][0], 0.5 * pow(10.0, 26.0 / 20), 1e-3);
  c.complete(2);
  EXPECT_EQ(c.lines, 1);
  c.complete(3);
  EXPECT_EQ(c.lines, 2);  // every third buffer
  // The data port as spectrum source: nothing scaled, no countdown, still cycling.
  setRunByte(c.t.setup.spectrumSource, '0');
  const int before = c.st.divide;
  c.st.fbuf[0][0] = 123;
  c.complete(0);
  EXPECT_EQ(c.st.divide, before);
  EXPECT_EQ(c.st.fbuf[0][0], 123);
  setRunByte(c.t.setup.spectrumSource, '1');
  // Divide 0: no further lines.
  c.complete(1);
  c.complete(2);
  c.complete(3);
  EXPECT_EQ(c.lines, 3);
  c.t->Divide = 0;
  for (int i = 0; i < 20; i++) c.complete(i % 4);
  EXPECT_EQ(c.lines, 4);  // the countdown under way ends once, then reloads to never
  EXPECT_EQ(c.resubmitted.size(), 28u);

  // Ten failures in a row are retried, the eleventh leaves its transfer idle;
  // a completed one in between starts the count again.
  c.resubmitted.clear();
  for (int i = 0; i < 10; i++) c.complete(i % 4, 2);
  c.complete(0);
  EXPECT_EQ(c.st.err_counter, 0);
  for (int i = 0; i < 11; i++) c.complete(i % 4, 1 + i % 6);
  EXPECT_EQ(c.st.err_counter, 11);
  EXPECT_EQ(c.resubmitted.size(), 21u);
}

// An index that is none of the four transfers (a fuzz finding: it wrote
// past the buffers and resubmitted a transfer that does not exist) is
// logged and ignored: no buffer, no count, no resubmit, no line.
TEST(UsbTransfers, AnUnknownTransferIndexIsIgnored) {
  Completions c;
  c.t->Divide = 1;
  c.st.divide = 1;
  c.putSample(0, 1 << 30);
  c.complete(2, 2);
  ASSERT_EQ(c.st.err_counter, 1);
  for (int index : {4, -1, 127}) {
    c.complete(index);
    c.complete(index, 5);
  }
  EXPECT_TRUE(c.resubmitted == std::vector<int>{2});
  EXPECT_EQ(c.st.err_counter, 1);
  EXPECT_EQ(c.st.divide, 1);
  EXPECT_EQ(c.lines, 0);
  for (auto& f : c.st.fbuf) EXPECT_EQ(f[0], 0.0f);
  // A real completion still counts.
  c.complete(0);
  EXPECT_EQ(c.st.err_counter, 0);
  EXPECT_EQ(c.lines, 1);
}

namespace {

// A stand-in radio on the bus.
struct FakeBus {
  std::vector<UsbDevInfo> devs;
  uint8_t synReply = 0xE9;
  int goodBuffers = 2;  // completed transfers before the failures
  // Records.
  std::vector<int> submitted;
  int lengthSeen = 0, timeoutSeen = 0, resubmits = 0;
  uint8_t endpointSeen = 0;
  bool detached = false, claimed = false, closed = false;
};
FakeBus g_bus;

struct FakePort : UsbRadioPort {
  UsbBulkDone done;
  std::vector<uint8_t> data = std::vector<uint8_t>(kZelUsbTransferBytes, 0);
  std::vector<int> pending;
  int delivered = 0;
  int init() override { return 0; }
  int listDevices(std::vector<UsbDevInfo>& out) override {
    out = g_bus.devs;
    return 0;
  }
  void freeList() override {}
  int open(int) override { return 0; }
  int kernelDriverActive(int) override { return 1; }
  int detachKernelDriver(int) override { return g_bus.detached = true, 0; }
  int claimInterface(int) override { return g_bus.claimed = true, 0; }
  int controlIn(uint8_t req, uint16_t value, uint16_t, uint8_t* d, uint16_t len) override {
    if (req == 0xA2 && value == 0x4028) {
      float f = 1.4f;
      memcpy(d, &f, 4);
      return 4;
    }
    if (req == 0xA2 && value == 0x4000) {
      memcpy(d, "SN-0042-ZEL-RADIO-0000000000000X", 32);
      return 32;
    }
    if (req == 0xE1 && value == 1) {
      d[0] = g_bus.synReply;
      return 1;
    }
    memset(d, 0, len);
    return len;
  }
  int allocTransfers(int count, int length, UsbBulkDone cb) override {
    done = std::move(cb);
    g_bus.lengthSeen = length;
    return count == 4 ? 0 : -1;
  }
  int submit(int i, uint8_t ep, int timeoutMs) override {
    g_bus.endpointSeen = ep;
    g_bus.timeoutSeen = timeoutMs;
    g_bus.submitted.push_back(i);
    pending.push_back(i);
    return 0;
  }
  int resubmit(int i) override {
    g_bus.resubmits++;
    pending.push_back(i);
    return 0;
  }
  int handleEvents(int) override {
    std::vector<int> now;
    now.swap(pending);
    for (int i : now) {
      const int status = delivered++ < g_bus.goodBuffers ? 0 : 2;
      done(i, status, data.data(), kZelUsbTransferBytes);
    }
    return 0;
  }
  void close() override { g_bus.closed = true; }
};

std::unique_ptr<UsbRadioPort> fakeFactory() { return std::unique_ptr<UsbRadioPort>(new FakePort()); }

}  // namespace

TEST(UsbReader, SetUpStreamAndEndAgainstAStandInRadio) {
  TestWorks t;
  ZelParam zp{};
  t->zelParam = &zp;
  setRunByte(t.setup.EnableFFT, '1');
  setRunByte(t.setup.spectrumSource, '1');
  t.setup.Enable1600 = '0';
  t->Divide = 1;
  setUsbRadioFactory(fakeFactory);
  g_bus = FakeBus();
  g_bus.devs = {{0, 0x1d6b, 0x0002}, {0, kZelUsbVendor, kZelUsbProductZel}};
  g_bus.synReply = 0x00;
  logCaptureStart();
  ZELRead(t.get());
  EXPECT_TRUE(logContains("1 vid fffe pid 5a01 1"));
  EXPECT_TRUE(logContains("Kernel Driver Detached"));
  EXPECT_TRUE(logContains("Global Offset: 1.400000"));
  EXPECT_TRUE(logContains("Serial: SN-0042-ZEL-RADIO-0000000000000X"));
  EXPECT_TRUE(logContains("Enable SYN failed (1 00)"));
  EXPECT_TRUE(logContains("SYN Enabled"));
  EXPECT_TRUE(logContains("libusb_err_counter (11)"));
  EXPECT_EQ(g_bus.submitted, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(g_bus.lengthSeen, 32768);
  EXPECT_EQ(g_bus.endpointSeen, 0x86);
  EXPECT_EQ(g_bus.timeoutSeen, 2000);
  EXPECT_TRUE(g_bus.closed);
  EXPECT_EQ(runByte(t.setup.EnableFFT), '0');
  EXPECT_EQ(ExistError(t.get(), 5), 1);

  // A sibling receiver is refused.
  DeleteErrore(t.get(), 5);
  setRunByte(t.setup.EnableFFT, '1');
  g_bus = FakeBus();
  g_bus.devs = {{0, kZelUsbVendor, kZelUsbProductK2}};
  ZELRead(t.get());
  EXPECT_TRUE(logContains("QVR K2 "));
  EXPECT_TRUE(g_bus.submitted.empty());
  EXPECT_EQ(runByte(t.setup.EnableFFT), '0');
  EXPECT_EQ(ExistError(t.get(), 5), 1);

  // This machine's own bus: no radio, error 5, nothing else stops.
  setUsbRadioFactory(nullptr);
  DeleteErrore(t.get(), 5);
  setRunByte(t.setup.EnableFFT, '1');
  ZELRead(t.get());
  EXPECT_TRUE(logContains("Cannot find QVR Device") || logContains("Init Error"));
  EXPECT_EQ(runByte(t.setup.EnableFFT), '0');
  EXPECT_EQ(ExistError(t.get(), 5), 1);
  EXPECT_EQ(t->running.load(), 1u);
  logCaptureStop();
}
