#include "remote/audio.h"

#include <opus/opus.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "amp/error_list.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "radio/zel_link.h"
#include "remote/remote_senders.h"
#include "remote/ws_proto.h"

std::atomic<int> status_th_leggi{0};
std::atomic<int> status_th_scrivi{0};
std::atomic<int> audioReadRunning{0};
std::atomic<int> audioWriteRunning{0};
std::atomic<int> audioWriteStartDelayMs{3000};

std::mutex& audioStartMutex() {
  static std::mutex m;
  return m;
}

namespace {

int64_t nowMs() { return monoMicros() / 1000; }

bool readOn(Works* w) { return w->running.load() != 0 && runByte(w->setup->EnableRead) == '1'; }
bool writeOn(Works* w) { return w->running.load() != 0 && runByte(w->setup->EnableWrite) == '1'; }

// Sleeps ms in short steps while on() holds; false when it stopped holding.
template <typename F>
bool sleepWhile(int ms, F on) {
  const int64_t end = nowMs() + ms;
  while (on()) {
    int64_t left = end - nowMs();
    if (left <= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 10 ? left : 10));
  }
  return false;
}

// A configuration step: its line on success, its error (and ending the
// thread) on failure.
bool step(int e, const std::string& ok, const char* errFmt) {
  if (e < 0) {
    zlog(LOG_ERR, errFmt, pcmStrerror(e).c_str());
    fprintf(stderr, errFmt, pcmStrerror(e).c_str());
    fprintf(stderr, "\n");
    return false;
  }
  if (!ok.empty()) zlog(LOG_INFO, "%s", ok.c_str());
  return true;
}

std::string fmt(const char* f, int v) {
  char b[128];
  snprintf(b, sizeof b, f, v);
  return b;
}

// The playback device out of its slot: the link thread holds a copy
// while it writes, so the device is closed only after that write.
std::shared_ptr<AudioOutput> withdrawOutput(Works* w) {
  w->audioPlayReady = 0;
  std::shared_ptr<AudioOutput> out;
  {
    std::lock_guard<std::mutex> lk(w->audioOutMut);
    out.swap(w->pcmOut);
  }
  return out;
}

void closeOutput(std::shared_ptr<AudioOutput> out, bool drain) {
  if (!out) return;
  std::lock_guard<std::mutex> lk(out->use);
  if (drain && out->pcm) {
    int e = out->pcm->drain();
    if (e < 0) zlog(LOG_ERR, "cannot drain playback pcm handler (%s)", pcmStrerror(e).c_str());
  }
  if (!out->playBuf.empty()) zlog(LOG_INFO, "playback buffer freed");
  out->playBuf.clear();
  out->playBuf.shrink_to_fit();
  out->decoded.clear();
  out->decoded.shrink_to_fit();
  out->pcm.reset();
}

// The codec check of both threads: false (and the thread's exit) when
// the USB audio codec has gone.
bool codecPresent(Works* w, int64_t* lastMs, int everyMs) {
  const int64_t t = nowMs();
  if (*lastMs != 0 && t - *lastMs < everyMs) return true;
  *lastMs = t;
  return VerifyAudioZEL(w) != 0;
}

// Once a second at most: the per-packet lines would flood the log.
void soLog(int64_t& last, const char* text) {
  const int64_t t = nowMs();
  const int64_t l = last;
  if (l != 0 && t - l < 1000) return;
  last = t;
  zlog(LOG_INFO, "%s", text);
  fprintf(stderr, "%s\n", text);
}

}  // namespace

bool audioBacklogStep(AudioBacklog& b, long avail) {
  b.free = avail;
  if (avail > 0) {
    if (b.free1 == 0) {
      b.free1 = avail;
      b.minfree = avail;
    } else if (avail < b.minfree) {
      b.minfree = avail;
    }
  }
  if (b.free1 - b.minfree > kAudioBacklogFrames) {
    b.minfree = b.free1;
    return true;
  }
  return false;
}

void widenMono(int16_t* s, int frames) {
  for (int i = frames - 1; i >= 0; i--) {
    const int16_t v = s[i];
    s[2 * i + 1] = v;
    s[2 * i] = v;
  }
}

long MyCallback(Works* w, AudioPcm* pcm, uint8_t* buf) {
  const int frames = w->audioFrame;
  if (frames <= 0 || frames > kAudioMaxFrames) return -22;
  long r = pcm->readFrames(buf, frames);
  if (r < 0) return r;
  if (r < frames) memset(buf + r * 2 * w->inChannels, 0, static_cast<size_t>((frames - r) * 2 * w->inChannels));
  if (w->inChannels == 1) widenMono(reinterpret_cast<int16_t*>(buf), frames);
  sendWebSockAudioFrame(w, buf);
  return r;
}

void ExitAUDIOread(Works* w) {
  fprintf(stderr, "th_leggi ERR\n");
  AddErrore(w, 9);
  w->pcmIn.reset();
  w->remoteFault = 1;
  setRunByte(w->setup->EnableRead, '0');
  // The playback device's readiness is the playback thread's: a failed
  // capture does not silence what the peer sends.
  status_th_leggi = 0;
}

void ExitAUDIOwrite(Works* w) {
  fprintf(stderr, "th_scrivi ERR\n");
  AddErrore(w, 10);
  closeOutput(withdrawOutput(w), false);
  w->remoteFault = 1;
  w->audioPlayReady = 0;
  setRunByte(w->setup->EnableWrite, '0');
  status_th_scrivi = 0;
}

// ------------------------------------------------------------------ capture

namespace {

// Opens and configures the capture device into pcmIn; false after the
// exit function ran (or when the thread was stopped meanwhile).
bool openCapture(Works* w) {
  SetupRec* s = w->setup;
  char name[21];
  snprintf(name, sizeof name, "%s", s->AudioIn);
  int ch = atoi(s->InChannels);
  if (ch != 1 && ch != 2) {
    zlog(LOG_ERR, "InChannels: %d is neither 1 nor 2, 1 used", ch);
    ch = 1;
  }
  w->inChannels = ch;
  int err = 0, attempt = 0;
  std::unique_ptr<AudioPcm> pcm;
  while (attempt < 100 && readOn(w)) {
    attempt++;
    fprintf(stderr, "QOB 2 audio in %s (%i)\n", name, attempt);
    pcm = pcmOpenDevice(name, true, &err);
    if (pcm) break;
    sleepWhile(100, [w] { return readOn(w); });
  }
  if (!pcm) {
    if (!readOn(w)) return false;
    zlog(LOG_ERR, "cannot open capture audio device '%s' (%s) after %d/10\"", name, pcmStrerror(err).c_str(),
         attempt);
    fprintf(stderr, "cannot open capture audio device '%s' (%s)\n", name, pcmStrerror(err).c_str());
    ExitAUDIOread(w);
    return false;
  }
  fprintf(stderr, "QOB 3 audio in %s\n", name);
  zlog(LOG_INFO, "capture audio interface %s opened", name);
  status_th_leggi = 1;
  AudioPcm* p = pcm.get();
  w->pcmIn = std::move(pcm);
  unsigned rate = static_cast<unsigned>(w->audioRate);
  bool ok = step(p->hwAlloc(), "capture hw_params allocated", "cannot allocate capture hardware parameter structure (%s)") &&
            step(p->hwAny(), "capture hw_params initialized", "cannot initialize capture hardware parameter structure (%s)") &&
            step(p->hwAccessInterleaved(), "capture hw_params access SND_PCM_ACCESS_RW_INTERLEAVED set",
                 "cannot set capture access type (%s)") &&
            step(p->hwFormat(w->audioFormat), "capture hw_params SND_PCM_FORMAT_S16_LE format set",
                 "cannot set capture sample format (%s)");
  ok = ok && step(p->hwRateNear(&rate), "", "cannot set capture sample rate (%s)");
  if (ok) {
    w->audioRate = static_cast<int>(rate);
    zlog(LOG_INFO, "capture hw_params rate set to %d", w->audioRate);
  }
  ok = ok && step(p->hwChannels(ch), fmt("capture hw_params number of channels set to %d", ch),
                  "cannot set capture channel count (%s)");
  // Left to itself a device offers its largest buffer (hundreds of
  // megabytes for a software device), and its pages fill as the capture
  // runs: the capture ring is held to the playback's size.
  if (ok && w->AudioBuffers > 0 && p->hwBufferSizeMax(static_cast<long>(w->AudioBuffers) * 256 * 2 * 2) < 0)
    zlog(LOG_INFO, "capture buffer size left to the device");
  ok = ok && step(p->hwApply(), "capture hw_params set", "cannot set capture parameters (%s)");
  p->hwFree();
  if (ok) zlog(LOG_INFO, "capture hw_params freed");
  ok = ok && step(p->prepare(), "capture audio interface prepared", "cannot prepare capture audio interface for use (%s)");
  if (!ok) {
    ExitAUDIOread(w);
    return false;
  }
  return true;
}

}  // namespace

namespace {

void captureRun(Works* w) {
  const int frames = w->audioFrame;
  if (frames <= 0 || frames > kAudioMaxFrames) {
    zlog(LOG_ERR, "capture packet of %d frames does not fit the capture buffer", frames);
    ExitAUDIOread(w);
    return;
  }
  if (w->AudioCompress != 0 && frames != 120 && frames != 240 && frames != 480 && frames != 960 && frames != 1920 &&
      frames != 2880)
    zlog(LOG_ERR, "audio packet of %d frames is no Opus frame size: with AudioCompress, Multiplier 1, 2, 4, 8 or 12",
         frames);
  if (!openCapture(w)) {
    return;
  }
  AudioPcm* p = w->pcmIn.get();
  // One packet buffer; mono is widened in place, so room for stereo.
  std::vector<uint8_t> buf(kAudioCaptureBytes);
  zlog(LOG_INFO, "capture buffer allocated (%d)", frames * 2 * 2);
  int e = p->start();
  if (e < 0) {
    zlog(LOG_ERR, "cannot start capture pcm handler (%s)", pcmStrerror(e).c_str());
    ExitAUDIOread(w);
    return;
  }
  // Packets never leave faster than real time: a device that delivers
  // early (a file-backed one) is held to the clock; one that fell behind
  // sets the pace again.
  const int64_t packetUs = static_cast<int64_t>(frames) * 1000000 / (w->audioRate > 0 ? w->audioRate : 48000);
  int64_t t0 = monoMicros();
  int64_t sent = 0;
  int64_t codecAt = nowMs();
  bool failed = false;
  while (readOn(w)) {
    if (!codecPresent(w, &codecAt, kCaptureCodecPollMs)) {
      zlog(LOG_ERR, "USB audio codec gone, capture stopped");
      failed = true;
      break;
    }
    int ready = p->wait(200);
    if (ready == 0) continue;
    long r = MyCallback(w, p, buf.data());
    if (r == -32) {
      // An overrun: what was lost is lost; capture goes on.
      zlog(LOG_ERR, "capture overrun, audio interface restarted");
      p->prepare();
      p->start();
      continue;
    }
    if (r < 0) {
      zlog(LOG_ERR, "read from capture audio interface failed (%s)", pcmStrerror(static_cast<int>(r)).c_str());
      failed = true;
      break;
    }
    sent++;
    const int64_t due = t0 + sent * packetUs;
    const int64_t now = monoMicros();
    if (now < due) {
      sleepWhile(static_cast<int>((due - now + 999) / 1000), [w] { return readOn(w); });
    } else if (now - due > 20 * packetUs) {
      t0 = now;
      sent = 0;
    }
  }
  if (failed) {
    ExitAUDIOread(w);
    return;
  }
  e = p->drop();
  if (e < 0) {
    zlog(LOG_ERR, "cannot drop capture pcm handler (%s)", pcmStrerror(e).c_str());
    ExitAUDIOread(w);
    return;
  }
  zlog(LOG_INFO, "buffer freed");
  zlog(LOG_INFO, "capture audio interface closed");
  w->pcmIn.reset();
  status_th_leggi = 0;
  // Stopped by the program's end, the setting stays as the operator left it.
  if (w->running.load() != 0) setRunByte(w->setup->EnableRead, '0');
  fprintf(stderr, "th_leggi END\n");
}

}  // namespace

void th_leggi(Works* w) {
  audioReadRunning = 1;
  for (;;) {
    captureRun(w);
    std::lock_guard<std::mutex> lk(audioStartMutex());
    // Started again while this run was ending: it goes on.
    if (readOn(w)) continue;
    audioReadRunning = 0;
    return;
  }
}

// ----------------------------------------------------------------- playback

namespace {

// Opens and configures the playback device and publishes it; false after
// the exit function ran (or when the thread was stopped meanwhile).
bool openPlayback(Works* w) {
  SetupRec* s = w->setup;
  char name[21];
  snprintf(name, sizeof name, "%s", s->AudioOut);
  int err = 0, attempt = 0;
  std::unique_ptr<AudioPcm> pcm;
  while (attempt < 100 && writeOn(w)) {
    attempt++;
    pcm = pcmOpenDevice(name, false, &err);
    fprintf(stderr, "QOB 2 audio out %d (%i)\n", pcm ? 0 : err, attempt);
    if (pcm) break;
    sleepWhile(100, [w] { return writeOn(w); });
  }
  if (!pcm) {
    if (!writeOn(w)) return false;
    fprintf(stderr, "QOB 3 audio out\n");
    zlog(LOG_ERR, "cannot open output audio device %s (%s)", name, pcmStrerror(err).c_str());
    fprintf(stderr, "cannot open output audio device %s (%s)\n", name, pcmStrerror(err).c_str());
    ExitAUDIOwrite(w);
    return false;
  }
  zlog(LOG_INFO, "output audio interface %s opened", name);
  status_th_scrivi = 1;
  AudioPcm* p = pcm.get();
  unsigned rate = static_cast<unsigned>(w->audioRate);
  const long bufferFrames = static_cast<long>(w->AudioBuffers) * 256 * 2 * 2;
  bool ok = step(p->hwAlloc(), "playback hw_params allocated", "cannot allocate playback hardware parameter structure (%s)") &&
            step(p->hwAny(), "playback hw_params initialized", "cannot initialize playback hardware parameter structure (%s)") &&
            step(p->hwResample(1), "", "cannot set playback resample to yes (%s)") &&
            step(p->hwAccessInterleaved(), "playback hw_params access SND_PCM_ACCESS_RW_INTERLEAVED set",
                 "cannot set playback access type (%s)") &&
            step(p->hwFormat(w->audioFormat), "playback hw_params SND_PCM_FORMAT_S16_LE format set ",
                 "cannot set playback sample format (%s)") &&
            step(p->hwRateNear(&rate), "", "cannot set playback sample rate (%s)");
  if (ok) zlog(LOG_INFO, "playback hw_params rate set to %d", static_cast<int>(rate));
  ok = ok && step(p->hwChannels(2), "playback hw_params number of channels set to 2",
                  "Cannot set playback channel count (%s)");
  if (ok) {
    int e = p->hwPeriods(w->AudioBuffers);
    if (e < 0) {
      zlog(LOG_ERR, "Cannot set periods %d (%s)", w->AudioBuffers, pcmStrerror(e).c_str());
      ok = false;
    }
  }
  if (ok) {
    int e = p->hwBufferSize(bufferFrames);
    if (e < 0) {
      zlog(LOG_ERR, "Cannot set buffersize %d (%s)", static_cast<int>(bufferFrames), pcmStrerror(e).c_str());
      ok = false;
    }
  }
  ok = ok && step(p->hwApply(), "playback hw_params set", "cannot set playback parameters (%s)");
  p->hwFree();
  if (ok) zlog(LOG_INFO, "playback hw_params freed\n");
  // Room for the largest packet any setup makes: the peer's "Multiplier"
  // need not be ours.
  const int frames = kMaxAudioPacketFrames;
  if (!ok) {
    pcm.reset();
    ExitAUDIOwrite(w);
    return false;
  }
  auto out = std::make_shared<AudioOutput>();
  out->pcm = std::move(pcm);
  out->playBuf.assign(static_cast<size_t>(frames) * 4, 0);
  zlog(LOG_INFO, "playback buffer allocated (%d)", frames * 4);
  {
    std::lock_guard<std::mutex> lk(w->audioOutMut);
    w->pcmOut = out;
  }
  w->audioPlayReady = 1;
  return true;
}

}  // namespace

namespace {

void playbackRun(Works* w) {
  status_th_scrivi = 0;
  w->audioPlayReady = 0;
  sleepWhile(audioWriteStartDelayMs.load(), [w] { return writeOn(w); });
  for (;;) {
    if (!writeOn(w)) {
      fprintf(stderr, "output audio interface closed\n");
      zlog(LOG_INFO, "output audio interface closed");
      closeOutput(withdrawOutput(w), false);
      status_th_scrivi = 0;
      if (w->running.load() != 0) setRunByte(w->setup->EnableWrite, '0');
      fprintf(stderr, "th_scrivi END\n");
      return;
    }
    if (!openPlayback(w)) {
      if (runByte(w->setup->EnableWrite) == '1' && w->running.load() != 0) continue;
      return;
    }
    int64_t codecAt = 0;
    bool gone = false;
    while (w->remoteConnected.load() == 0 && writeOn(w)) {
      if (!codecPresent(w, &codecAt, kCodecPollMs)) {
        gone = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!gone && writeOn(w)) {
      std::shared_ptr<AudioOutput> out;
      {
        std::lock_guard<std::mutex> lk(w->audioOutMut);
        out = w->pcmOut;
      }
      int e = 0;
      if (out) {
        std::lock_guard<std::mutex> lk(out->use);
        e = out->pcm->prepare();
      }
      if (e < 0) {
        zlog(LOG_ERR, "cannot prepare output audio interface for use (%s)", pcmStrerror(e).c_str());
        ExitAUDIOwrite(w);
          return;
      }
      zlog(LOG_INFO, "output audio interface prepared");
      while (w->remoteConnected.load() == 1 && writeOn(w)) {
        if (!codecPresent(w, &codecAt, kCodecPollMs)) {
          gone = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (gone) {
      zlog(LOG_ERR, "USB audio codec gone, playback stopped");
      ExitAUDIOwrite(w);
      return;
    }
    zlog(LOG_INFO, "output audio interface to be stopped");
    // Closed before it is opened again: a sound card opens only once.
    closeOutput(withdrawOutput(w), true);
    status_th_scrivi = 0;
  }
}

}  // namespace

void th_scrivi(Works* w) {
  audioWriteRunning = 1;
  for (;;) {
    playbackRun(w);
    std::lock_guard<std::mutex> lk(audioStartMutex());
    if (writeOn(w)) continue;
    audioWriteRunning = 0;
    return;
  }
}

// ------------------------------------------------------------ one message

int playAudioMessage(Works* w, char role, const uint8_t* body, int len) {
  if (w->setup == nullptr || runByte(w->setup->EnableWrite) != '1') return 0;
  if (role == 's' && w->audioPlayReady.load() != 1) return 0;
  std::shared_ptr<AudioOutput> out;
  {
    std::lock_guard<std::mutex> lk(w->audioOutMut);
    out = w->pcmOut;
  }
  if (!out || len < 4) return 0;
  const uint32_t n = wsBE32(body);
  const uint8_t* data = body + 4;
  if (n > static_cast<uint32_t>(len - 4)) {
    zlogLimited(LOG_ERR, "audio packet of %u bytes in a frame of %d, dropped", n, len - 4);
    return 0;
  }
  // The packet is decoded into the output's own buffer: one packet at a
  // time, whichever link thread it came from.
  std::lock_guard<std::mutex> lk(out->use);
  if (role == 's') soLog(out->soLogged01, "QOB, SO 01");
  // Any whole packet up to the largest a setup allows plays, whatever our
  // own "Multiplier": the two units need not agree on it.
  const int frameMax = kMaxAudioPacketFrames;
  std::vector<int16_t>& pcm = out->decoded;
  pcm.resize(static_cast<size_t>(frameMax) * 2);
  long frames = 0;
  if (w->AudioCompress != 0) {
    int r = w->opusDec == nullptr
                ? OPUS_INVALID_STATE
                : opus_decode(static_cast<OpusDecoder*>(w->opusDec), data, static_cast<opus_int32>(n), pcm.data(),
                              frameMax, 0);
    if (r < 0) {
      // Silence as long as one of our own packets.
      frames = w->audioFrame > 0 && w->audioFrame <= frameMax ? w->audioFrame : 480;
      std::fill(pcm.begin(), pcm.begin() + frames * 2, 0);
    } else {
      frames = r;
    }
  } else {
    if (n % 4 != 0 || n > static_cast<uint32_t>(frameMax) * 4) {
      zlogLimited(LOG_ERR, "raw audio packet of %u bytes is not a packet of stereo frames, dropped", n);
      return 0;
    }
    memcpy(pcm.data(), data, n);
    frames = n / 4;
  }
  if (role == 's') soLog(out->soLogged03, "QOB, SO 03");
  if (!out->pcm || out->playBuf.size() < static_cast<size_t>(frames) * 4) return 0;
  uint8_t* pb = out->playBuf.data();
  for (long i = 0; i < frames * 2; i++) {
    const uint16_t v = static_cast<uint16_t>(pcm[static_cast<size_t>(i)]);
    pb[2 * i] = static_cast<uint8_t>(v & 0xFF);
    pb[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  if (audioBacklogStep(out->backlog, out->pcm->avail())) {
    zlogLimited(LOG_INFO, "audio backlog above %ld frames discarded", kAudioBacklogFrames);
    out->pcm->reset();
    return 0;
  }
  long r = out->pcm->writeFrames(pb, frames);
  if (r == frames) return 0;
  zlogLimited(LOG_ERR, "write to output audio interface failed %d (%d - %s)\n", static_cast<int>(frames), static_cast<int>(r),
       r < 0 ? pcmStrerror(static_cast<int>(r)).c_str() : "short write");
  if (r == -32) {
    out->pcm->prepare();
    if (role == 's') out->pcm->writeFrames(pb, frames);
    return 0;
  }
  if (role == 'c' && r < 0) return -1;
  return 0;
}
