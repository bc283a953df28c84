#include "platform/pcm.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>

#include "platform/paths.h"

namespace {

std::atomic<PcmOpener> g_opener{nullptr};

class AlsaPcm : public AudioPcm {
 public:
  explicit AlsaPcm(snd_pcm_t* h) : h_(h) {}
  ~AlsaPcm() override {
    hwFree();
    snd_pcm_close(h_);
  }
  int hwAlloc() override {
    hwFree();
    return snd_pcm_hw_params_malloc(&hw_);
  }
  int hwAny() override { return hw_ ? snd_pcm_hw_params_any(h_, hw_) : -EINVAL; }
  int hwAccessInterleaved() override {
    return hw_ ? snd_pcm_hw_params_set_access(h_, hw_, SND_PCM_ACCESS_RW_INTERLEAVED) : -EINVAL;
  }
  int hwFormat(int f) override {
    return hw_ ? snd_pcm_hw_params_set_format(h_, hw_, static_cast<snd_pcm_format_t>(f)) : -EINVAL;
  }
  int hwResample(int on) override { return hw_ ? snd_pcm_hw_params_set_rate_resample(h_, hw_, on) : -EINVAL; }
  int hwRateNear(unsigned* rate) override {
    return hw_ ? snd_pcm_hw_params_set_rate_near(h_, hw_, rate, nullptr) : -EINVAL;
  }
  int hwChannels(int n) override {
    return hw_ ? snd_pcm_hw_params_set_channels(h_, hw_, static_cast<unsigned>(n)) : -EINVAL;
  }
  int hwPeriods(int n) override {
    return hw_ ? snd_pcm_hw_params_set_periods(h_, hw_, static_cast<unsigned>(n), 0) : -EINVAL;
  }
  int hwBufferSize(long frames) override {
    return hw_ ? snd_pcm_hw_params_set_buffer_size(h_, hw_, static_cast<snd_pcm_uframes_t>(frames)) : -EINVAL;
  }
  int hwBufferSizeMax(long frames) override {
    snd_pcm_uframes_t f = static_cast<snd_pcm_uframes_t>(frames);
    return hw_ ? snd_pcm_hw_params_set_buffer_size_max(h_, hw_, &f) : -EINVAL;
  }
  int hwApply() override { return hw_ ? snd_pcm_hw_params(h_, hw_) : -EINVAL; }
  void hwFree() override {
    if (hw_ != nullptr) snd_pcm_hw_params_free(hw_);
    hw_ = nullptr;
  }
  int prepare() override { return snd_pcm_prepare(h_); }
  int start() override { return snd_pcm_start(h_); }
  int drop() override { return snd_pcm_drop(h_); }
  int drain() override { return snd_pcm_drain(h_); }
  int reset() override {
    int e = snd_pcm_drop(h_);
    if (e < 0) return e;
    return snd_pcm_prepare(h_);
  }
  int wait(int ms) override { return snd_pcm_wait(h_, ms); }
  long readFrames(void* buf, long frames) override {
    return snd_pcm_readi(h_, buf, static_cast<snd_pcm_uframes_t>(frames));
  }
  long writeFrames(const void* buf, long frames) override {
    return snd_pcm_writei(h_, buf, static_cast<snd_pcm_uframes_t>(frames));
  }
  long avail() override { return snd_pcm_avail(h_); }

 private:
  snd_pcm_t* h_;
  snd_pcm_hw_params_t* hw_ = nullptr;
};

}  // namespace

std::unique_ptr<AudioPcm> pcmOpen(const std::string& name, bool capture, int* err) {
  const snd_pcm_stream_t stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
  snd_pcm_t* h = nullptr;
  int e = 0;
  const std::string local = zelRoot().empty() ? std::string() : rootPath("/etc/asound.conf");
  if (!local.empty() && pathExists("/etc/asound.conf")) {
    snd_config_t* top = nullptr;
    e = snd_config_update_ref(&top);
    snd_config_t* cfg = nullptr;
    if (e >= 0) {
      e = snd_config_copy(&cfg, top);
      snd_config_unref(top);
    }
    snd_input_t* in = nullptr;
    if (e >= 0) e = snd_input_stdio_open(&in, local.c_str(), "r");
    if (e >= 0) {
      e = snd_config_load(cfg, in);
      snd_input_close(in);
    }
    if (e >= 0) e = snd_pcm_open_lconf(&h, name.c_str(), stream, 0, cfg);
    if (cfg != nullptr) snd_config_delete(cfg);
  } else {
    e = snd_pcm_open(&h, name.c_str(), stream, 0);
  }
  if (e < 0) {
    if (err != nullptr) *err = e;
    return nullptr;
  }
  if (err != nullptr) *err = 0;
  return std::unique_ptr<AudioPcm>(new AlsaPcm(h));
}

std::string pcmStrerror(int err) { return snd_strerror(err); }

void setPcmOpener(PcmOpener opener) { g_opener = opener; }

std::unique_ptr<AudioPcm> pcmOpenDevice(const std::string& name, bool capture, int* err) {
  PcmOpener o = g_opener.load();
  return o != nullptr ? o(name, capture, err) : pcmOpen(name, capture, err);
}
