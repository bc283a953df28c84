#include "radio/zel_usb.h"

#include <syslog.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "amp/error_list.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/usb_stream.h"
#include "radio/zel_link.h"
#include "radio/zel_usb_ids.h"
#include "core/station_hooks.h"

std::atomic<int> zelReadRunning{0};

namespace {

const char* baseName(const char* path) {
  const char* s = strrchr(path, '/');
  return s != nullptr ? s + 1 : path;
}

// A set-up failure: its line at error level, then the exit function.
void stopReader(Works* w, UsbRadioPort* dev, const char* text) {
  zlog(LOG_ERR, "%s", text);
  ExitZelread(w, dev);
}

void buildTables(FftState& st, int n) {
  st.n = n;
  const double pi = 3.14159265358979323846;
  st.coeff[0] = 0;
  for (int j = 1; j < n; j++) {
    const double a = 2 * pi * j / (n - 1);
    st.coeff[static_cast<size_t>(j)] =
        0.35875 - 0.48829 * cos(a) + 0.14128 * cos(2 * a) - 0.01168 * cos(3 * a);
  }
  const double c = cos(pi / (n / 2)), s = -sin(pi / (n / 2));
  st.co[0] = 1;
  st.si[0] = 0;
  for (int k = 1; k < n / 2; k++) {
    st.co[static_cast<size_t>(k)] = st.co[static_cast<size_t>(k - 1)] * c - st.si[static_cast<size_t>(k - 1)] * s;
    st.si[static_cast<size_t>(k)] = st.co[static_cast<size_t>(k - 1)] * s + st.si[static_cast<size_t>(k - 1)] * c;
  }
  st.rebuilds++;
}

}  // namespace

int fftLine(FftState& st, const float* x, int count, char m) {
  const int n = m == '0' ? 2048 : 4096;
  if (x == nullptr || count < 2 * n) return -1;
  if (st.re.empty()) {
    st.re.assign(4096, 0);
    st.im.assign(4096, 0);
    st.coeff.assign(4096, 0);
    st.co.assign(2048, 0);
    st.si.assign(2048, 0);
    st.fftout.assign(4096, 0);
    st.fftoutdec.assign(4096, 0);
  }
  if (st.oldEnable1600 != m) {
    st.oldEnable1600 = m;
    buildTables(st, n);
  }
  double* re = st.re.data();
  double* im = st.im.data();
  for (int j = 0; j < n; j++) {
    re[j] = x[2 * j] * st.coeff[static_cast<size_t>(j)];
    im[j] = x[2 * j + 1] * st.coeff[static_cast<size_t>(j)];
  }
  // Radix-2 decimation in frequency, natural order in, bit-reversed out.
  for (int e = n / 2, d = 1; e >= 1; e /= 2, d *= 2) {
    for (int blk = 0; blk < n; blk += 2 * e) {
      for (int j = 0, i = 0; j < e; j++, i += d) {
        const int a = blk + j, b = a + e;
        const double tr = re[a] - re[b], ti = im[a] - im[b];
        re[a] += re[b];
        im[a] += im[b];
        const double c = st.co[static_cast<size_t>(i)], s = st.si[static_cast<size_t>(i)];
        re[b] = tr * c - ti * s;
        im[b] = tr * s + ti * c;
      }
    }
  }
  for (int i = 1, j = 0; i < n; i++) {
    int bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  const double half = n / 2;
  uint8_t* line = st.fftout.data();
  for (int j = 0; j < n; j++) {
    const double r = re[j] / half, q = im[j] / half;
    const double db = 20 * log10(sqrt(r * r + q * q));
    int level;
    if (!(db > -192)) level = -192;  // silence (log of 0) included
    else if (db > 50) level = 50;
    else level = static_cast<int>(db);
    line[j < n / 2 ? j + n / 2 : j - n / 2] = static_cast<uint8_t>(level + 192);
  }
  const int len = m == '0' ? 854 : 1706;
  const int first = m == '0' ? 170 : 341;
  for (int i = 0; i < len; i++) st.fftoutdec[static_cast<size_t>(i)] = line[first + 2 * i];
  return len;
}

void fftCalc(const float* x, int count, Works* w) {
  const char m = w->setup != nullptr ? w->setup->Enable1600 : '1';
  int len = fftLine(w->zelFft, x, count, m);
  if (len <= 0 || w->remoteConnected.load() != 1) return;
  sendSpectrumToPeer(w, w->zelFft.fftoutdec.data(), len);
  radioTapFrame("SP", w->zelFft.fftoutdec.data(), len);
}

void cb_in(Works* w, ZelUsbState& st, int index, int status, const uint8_t* data, int length,
           const std::function<int(int)>& resubmit) {
  // Only the reader's own transfers complete here: any other index has no
  // buffer to fill and no transfer to resubmit.
  if (index < 0 || index >= kZelUsbTransfers) {
    zlogLimited(LOG_ERR, "CB result: unknown transfer %d\n", index);
    return;
  }
  if (status == 0) {
    st.err_counter = 0;
    if (runByte(w->setup->spectrumSource) != '0') {
      ZelParam zp{};
      if (w->zelParam != nullptr && w->serMut != nullptr) getParameters(w, &zp);
      const float lp = zp.Lp >= 1 ? st.lpOffset : 0.0f;
      st.recalc = powf(10.0f, (21.4f - st.globalOffset + lp) / 20.0f);
      std::vector<float>& f = st.fbuf[index];
      f.assign(kZelUsbSamples, 0.0f);
      int n = data != nullptr ? length / 4 : 0;
      if (n > kZelUsbSamples) n = kZelUsbSamples;
      for (int i = 0; i < n; i++) {
        int32_t s;
        memcpy(&s, data + 4 * i, 4);
        f[static_cast<size_t>(i)] = static_cast<float>(s) * st.recalc / 2 / 1024 / 1024 / 1024;
      }
      // A Divide of 0 or less never brings the countdown back to 0.
      if (st.divide > 0) st.divide--;
      if (st.divide == 0) {
        const int divide = w->Divide.load();
        st.divide = divide > 0 ? divide : -1;
        if (w->remoteConnected.load() == 1) fftCalc(f.data(), kZelUsbSamples, w);
      }
    }
  } else {
    static const char* const texts[] = {"",
                                        "CB result: Error %d\n",
                                        "CB result: Timedout %d\n",
                                        "CB result: Cancelled %d\n",
                                        "CB result: Stalled %d\n",
                                        "CB result: Nodevice %d\n",
                                        "CB result: Overflowed %d\n"};
    if (status >= 1 && status <= 6) zlogLimited(LOG_INFO, texts[status], index);
    st.err_counter++;
  }
  if (st.err_counter < 11 && !st.stop) {
    int e = resubmit(index);
    if (e != 0) {
      zlogLimited(LOG_ERR, "libusb_submit_transfer failed (%d)  %s:%d\n", e, baseName(__FILE__), __LINE__);
      // The device is closed by the thread once the event loop ends,
      // never from inside a completion.
      st.stop = true;
    }
  } else if (st.err_counter >= 11) {
    zlogLimited(LOG_ERR, "libusb_err_counter (%d), %s:%d\n", st.err_counter, baseName(__FILE__), __LINE__);
  }
}

void ExitZelread(Works* w, UsbRadioPort* dev) {
  AddErrore(w, 5);
  setRunByte(w->setup->EnableFFT, '0');
  w->remoteFault = 1;
  if (w->zelUsb.status_usb_open != 0 && dev != nullptr) dev->close();
  w->zelUsb.status_usb_open = 0;
}

namespace {

// Device search, versions, serial, offsets and FIFO set-up; false after
// the exit function ran.
bool setUp(Works* w, UsbRadioPort& u) {
  ZelUsbState& st = w->zelUsb;
  int e = u.init();
  if (e != 0) {
    char t[64];
    snprintf(t, sizeof t, "Init Error %d\n", e);
    stopReader(w, &u, t);
    return false;
  }
  std::vector<UsbDevInfo> devs;
  if (u.listDevices(devs) < 0) {
    stopReader(w, &u, "Get Device Error\n");
    return false;
  }
  int skipped = 0;
  int found = -1;
  for (size_t i = 0; i < devs.size(); i++) {
    if (devs[i].descErr != 0) {
      char t[64];
      snprintf(t, sizeof t, "Get Device Descriptor %d %d\n", static_cast<int>(i), devs[i].descErr);
      u.freeList();
      stopReader(w, &u, t);
      return false;
    }
    zlog(LOG_INFO, "%d vid %04x pid %04x %d\n", static_cast<int>(i), devs[i].vendor, devs[i].product, skipped);
    if (devs[i].vendor != kZelUsbVendor) {
      skipped++;
      continue;
    }
    found = static_cast<int>(i);
    break;
  }
  if (found < 0) {
    u.freeList();
    stopReader(w, &u, "Cannot find QVR Device\n");
    return false;
  }
  if (u.open(found) != 0) {
    u.freeList();
    stopReader(w, &u, "Cannot open QVR Device\n");
    return false;
  }
  zlog(LOG_INFO, "QVR Device Opened\n");
  st.status_usb_open = 1;
  if (u.kernelDriverActive(0) == 1) {
    zlog(LOG_INFO, "Kernel Driver Active\n");
    if (u.detachKernelDriver(0) == 0) zlog(LOG_INFO, "Kernel Driver Detached\n");
  }
  if (u.claimInterface(0) < 0) {
    u.freeList();
    stopReader(w, &u, "Cannot claim Interface\n");
    return false;
  }
  zlog(LOG_INFO, "Interface claimed\n");
  uint8_t b[33] = {};
  if (u.controlIn(0xFF, 0, 0, b, 2) != 0)
    zlog(LOG_INFO, "USB Driver Version: %d.%d\n", b[0], b[1]);
  else
    zlog(LOG_INFO, "USB Driver Version read failed\n");
  memset(b, 0, sizeof b);
  if (u.controlIn(0xA2, 0x404C, 0x0151, b, 2) == 2)
    zlog(LOG_INFO, "HW Version: %d.%d\n", b[0], b[1]);
  else
    zlog(LOG_INFO, "HW Version read failed\n");
  char serial[33] = {};
  memset(b, 0, sizeof b);
  e = u.controlIn(0xA2, 0x4000, 0x0151, b, 32);
  if (e != 32) {
    char t[64];
    snprintf(t, sizeof t, "Serial read failed (%d)\n", e);
    u.freeList();
    stopReader(w, &u, t);
    return false;
  }
  memcpy(serial, b, 32);
  const uint16_t pid = devs[static_cast<size_t>(found)].product;
  if (pid == kZelUsbProductK2 || pid == kZelUsbProductK1) {
    u.freeList();
    stopReader(w, &u, pid == kZelUsbProductK2 ? "QVR K2 " : "QVR K1 ");
    return false;
  }
  if (pid == kZelUsbProductZel) zlog(LOG_INFO, "QVR ZEL ");
  zlog(LOG_INFO, "Serial: %-s\n", serial);
  zlog(LOG_INFO, "Device caught\n");
  u.freeList();
  zlog(LOG_INFO, "libusb devices list freed\n");

  struct Off {
    uint16_t value;
    float* dst;
    const char* ok;
    const char* bad;
  } offs[3] = {{0x4028, &st.globalOffset, "Global Offset: %f\n", "Global Offset failed (%d)\n"},
               {0x402C, &st.lpOffset, "LP Offset: %f\n", "LP Offset failed (%d)\n"},
               {0x4030, &st.attOffset, "ATT Offset: %f\n", "ATT Offset failed (%d)\n"}};
  for (const Off& o : offs) {
    uint8_t v[4] = {};
    e = u.controlIn(0xA2, o.value, 0x0151, v, 4);
    if (e != 4) {
      char t[64];
      snprintf(t, sizeof t, o.bad, e);
      stopReader(w, &u, t);
      return false;
    }
    float f;
    memcpy(&f, v, 4);
    // A value that is not a number would poison every level.
    if (!std::isfinite(f)) f = 0;
    *o.dst = f;
    zlog(LOG_INFO, o.ok, static_cast<double>(f));
  }
  uint8_t one[1] = {};
  e = u.controlIn(0xE1, 0, 0xE900, one, 1);
  if (e == 1) zlog(LOG_INFO, "Stop FIFO\n");
  else zlog(LOG_ERR, "Stop FIFO failed (%d)\n", e);
  e = u.controlIn(0xE1, 0, 0xE800, one, 1);
  if (e == 1) zlog(LOG_INFO, "Init FIFO\n");
  else zlog(LOG_ERR, "Init FIFO failed (%d)\n", e);
  one[0] = 0;
  e = u.controlIn(0xE1, 1, 0xE900, one, 1);
  if (e != 1 || one[0] != 0xE9) zlog(LOG_ERR, "Enable SYN failed (%d %02X)\n", e, one[0]);
  zlog(LOG_INFO, "SYN Enabled\n");
  return true;
}

}  // namespace

void ZELRead(Works* w) {
  zelReadRunning = 1;
  zlog(LOG_INFO, "Operations init mirk-comms version 1.0\n");
  fprintf(stderr, "Operations init mirk-comms version 1.0\n");
  ZelUsbState& st = w->zelUsb;
  st.status_usb_open = 0;
  st.err_counter = 0;
  st.stop = false;
  // The opened radio: the thread's own, closed by the exit function.
  std::unique_ptr<UsbRadioPort> dev = usbRadioPortMake();
  UsbRadioPort& u = *dev;
  if (!setUp(w, u)) {
    zelReadRunning = 0;
    return;
  }
  auto resubmit = [&u](int i) { return u.resubmit(i); };
  int e = u.allocTransfers(kZelUsbTransfers, kZelUsbTransferBytes,
                           [w, &st, &resubmit](int index, int status, const uint8_t* data, int length) {
                             cb_in(w, st, index, status, data, length, resubmit);
                           });
  if (e != 0) {
    stopReader(w, &u, "libusb_alloc_transfer failed\n");
    zelReadRunning = 0;
    return;
  }
  zlog(LOG_INFO, "libusb_alloc_transfer succedeed\n");
  for (int i = 0; i < kZelUsbTransfers; i++) {
    e = u.submit(i, kZelUsbEndpoint, kZelUsbTimeoutMs);
    if (e != 0) {
      char t[96];
      if (i == kZelUsbTransfers - 1)
        snprintf(t, sizeof t, "libusb_submit_transfer failed (%d), %s:%d\n", e, baseName(__FILE__), __LINE__);
      else
        snprintf(t, sizeof t, "libusb_submit_transfer failed (%d)\n", e);
      stopReader(w, &u, t);
      zelReadRunning = 0;
      return;
    }
  }
  zlog(LOG_INFO, "libusb_submit_transfer succedeed\n");
  zlog(LOG_INFO, "SYN transfer starting\n");
  int r = 0;
  // Events in short rounds, so a cleared flag is seen even when no
  // transfer completes.
  while (runByte(w->setup->EnableFFT) == '1' && w->running.load() != 0 && st.err_counter <= 10 && !st.stop) {
    r = u.handleEvents(100);
    if (r != 0) printf("%d\n", r);
  }
  st.stop = true;
  zlog(LOG_INFO, "libusb_handle events completed (%d)\n", r);
  zlog(LOG_INFO, "%s Operations end\n", baseName(__FILE__));
  ExitZelread(w, &u);
  zelReadRunning = 0;
}
