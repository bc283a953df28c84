#include "platform/usb_stream.h"

#include <libusb-1.0/libusb.h>

#include <syslog.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/log.h"

namespace {

std::atomic<UsbRadioFactory> g_factory{nullptr};

class LibusbPort : public UsbRadioPort {
 public:
  ~LibusbPort() override {
    close();
    if (list_ != nullptr) libusb_free_device_list(list_, 1);
    // A context that still has transfers in flight stays: exiting it
    // would free what the library may yet complete.
    if (ctx_ != nullptr && !stuck_) libusb_exit(ctx_);
  }
  int init() override {
    int e = libusb_init(&ctx_);
    if (e != 0) {
      ctx_ = nullptr;
      return e;
    }
#if LIBUSB_API_VERSION >= 0x01000106
    libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, 3);
#else
    libusb_set_debug(ctx_, 3);
#endif
    return 0;
  }
  int listDevices(std::vector<UsbDevInfo>& out) override {
    out.clear();
    ssize_t n = libusb_get_device_list(ctx_, &list_);
    if (n < 0) {
      list_ = nullptr;
      return static_cast<int>(n);
    }
    for (ssize_t i = 0; i < n; i++) {
      libusb_device_descriptor d{};
      UsbDevInfo info;
      info.descErr = libusb_get_device_descriptor(list_[i], &d);
      info.vendor = d.idVendor;
      info.product = d.idProduct;
      out.push_back(info);
    }
    count_ = static_cast<int>(n);
    return 0;
  }
  void freeList() override {
    if (list_ != nullptr) libusb_free_device_list(list_, 1);
    list_ = nullptr;
  }
  int open(int index) override {
    if (list_ == nullptr || index < 0 || index >= count_) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_open(list_[index], &h_);
  }
  int kernelDriverActive(int iface) override { return h_ ? libusb_kernel_driver_active(h_, iface) : 0; }
  int detachKernelDriver(int iface) override { return h_ ? libusb_detach_kernel_driver(h_, iface) : -1; }
  int claimInterface(int iface) override {
    int e = h_ ? libusb_claim_interface(h_, iface) : -1;
    if (e == 0) claimed_ = true;
    return e;
  }
  int controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length) override {
    if (h_ == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    return libusb_control_transfer(h_, 0xC0, request, value, index, data, length, 0);
  }
  int allocTransfers(int count, int length, UsbBulkDone done) override {
    done_ = std::move(done);
    for (int i = 0; i < count; i++) {
      Slot s;
      s.t = libusb_alloc_transfer(0);
      if (s.t == nullptr) return LIBUSB_ERROR_NO_MEM;
      s.buf.assign(static_cast<size_t>(length), 0);
      s.owner = this;
      s.index = i;
      slots_.push_back(std::move(s));
    }
    return 0;
  }
  int submit(int i, uint8_t endpoint, int timeoutMs) override {
    Slot& s = slots_[static_cast<size_t>(i)];
    libusb_fill_bulk_transfer(s.t, h_, endpoint, s.buf.data(), static_cast<int>(s.buf.size()), &LibusbPort::cb, &s,
                              static_cast<unsigned>(timeoutMs));
    return resubmit(i);
  }
  int resubmit(int i) override {
    Slot& s = slots_[static_cast<size_t>(i)];
    int e = libusb_submit_transfer(s.t);
    if (e == 0) s.busy = true;
    return e;
  }
  int handleEvents(int timeoutMs) override {
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
  }
  void close() override {
    // Transfers still in flight are cancelled and their completions run
    // before they are freed; then the device goes.
    for (Slot& s : slots_)
      if (s.busy) libusb_cancel_transfer(s.t);
    done_ = nullptr;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (busyCount() > 0 && std::chrono::steady_clock::now() < end) handleEvents(100);
    if (busyCount() == 0) {
      for (Slot& s : slots_) libusb_free_transfer(s.t);
      slots_.clear();
    } else {
      // Cancelled transfers that never completed may still be completed
      // by the library: their buffers, slots and the device stay alive for
      // good (a few kilobytes once), never freed under it.
      keepForever(std::move(slots_));
      slots_.clear();
      stuck_ = true;
      h_ = nullptr;
      claimed_ = false;
      return;
    }
    if (h_ != nullptr) {
      if (claimed_) libusb_release_interface(h_, 0);
      libusb_close(h_);
    }
    h_ = nullptr;
    claimed_ = false;
  }

 private:
  struct Slot {
    libusb_transfer* t = nullptr;
    std::vector<uint8_t> buf;
    LibusbPort* owner = nullptr;
    int index = 0;
    bool busy = false;
  };
  static void LIBUSB_CALL cb(libusb_transfer* t) {
    Slot* s = static_cast<Slot*>(t->user_data);
    s->busy = false;
    if (s->owner != nullptr && s->owner->done_) s->owner->done_(s->index, t->status, t->buffer, t->actual_length);
  }
  // Moving the vector keeps its elements where they are, so the transfers'
  // user data stays valid.
  static void keepForever(std::vector<Slot>&& slots) {
    for (Slot& s : slots) s.owner = nullptr;
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
      zlog(LOG_ERR, "USB transfers did not complete after cancelling: their buffers are kept");
    static std::mutex mut;
    static std::vector<std::vector<Slot>> kept;  // never freed
    std::lock_guard<std::mutex> lk(mut);
    kept.push_back(std::move(slots));
  }
  int busyCount() const {
    int n = 0;
    for (const Slot& s : slots_) n += s.busy ? 1 : 0;
    return n;
  }

  libusb_context* ctx_ = nullptr;
  libusb_device** list_ = nullptr;
  int count_ = 0;
  libusb_device_handle* h_ = nullptr;
  bool claimed_ = false;
  bool stuck_ = false;
  std::vector<Slot> slots_;
  UsbBulkDone done_;
};

}  // namespace

std::unique_ptr<UsbRadioPort> usbRadioPortNew() { return std::unique_ptr<UsbRadioPort>(new LibusbPort()); }

void setUsbRadioFactory(UsbRadioFactory f) { g_factory = f; }

std::unique_ptr<UsbRadioPort> usbRadioPortMake() {
  UsbRadioFactory f = g_factory.load();
  return f != nullptr ? f() : usbRadioPortNew();
}
