// Remote audio: received "SO" bodies (the 4-byte encoded length, then an
// Opus packet or raw stereo frames) played by either role into a stand-in
// playback device whose free space and write results the input scripts.
// The first two bytes choose the role, compression, the packet size, the
// playback buffer and whether each body comes as it is or inside a long
// binary "SO" frame through the frame receiver and the role's dispatch;
// then records of one device byte, a two-byte body length and the body.
#include <opus/opus.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/setup_record.h"
#include "core/works.h"
#include "remote/audio.h"
#include "remote/remote_dispatch.h"
#include "remote/ws_proto.h"
#include "tests/fuzz/support/fuzz_station.h"
#include "tests/support/null_pcm.h"

namespace {

// Free space and write results a real device gives: room, a growing
// backlog, full, errors (-32 an underrun, -5 an I/O error), a short write.
constexpr long kAvail[8] = {20480, 15000, 100, 0, -32, 20480 - 4801, 1, 1L << 40};

struct ScriptedPcm : NullPcm {
  uint8_t script = 0;  // the device byte of the record being played
  size_t bufBytes = 0;
  long avail() override { return kAvail[script & 7]; }
  long writeFrames(const void* buf, long frames) override {
    if (frames < 0 || static_cast<size_t>(frames) * 4 > bufBytes)
      fuzzFail("frames written past the playback buffer", std::to_string(frames));
    // Every byte handed over is read, as the sound card would.
    const uint8_t* b = static_cast<const uint8_t*>(buf);
    volatile uint8_t sum = 0;
    for (long i = 0; i < frames * 4; i++) sum = sum + b[i];
    switch ((script >> 3) & 7) {
      case 1: return frames / 2;
      case 2: return -32;
      case 3: return -5;
      case 4: return 0;
      default: return frames;
    }
  }
};

OpusDecoder* decoder() {
  static OpusDecoder* d = [] {
    int err = 0;
    OpusDecoder* p = opus_decoder_create(48000, 2, &err);
    if (p == nullptr || err != OPUS_OK) fuzzFail("opus decoder", opus_strerror(err));
    return p;
  }();
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size < 2) return 0;
  const char role = (data[0] & 1) ? 'c' : 's';
  w->AudioCompress = (data[0] & 2) ? 64000 : 0;
  opus_decoder_ctl(decoder(), OPUS_RESET_STATE);
  // Bit 2: no decoder (codec creation failed at start).
  w->opusDec = (data[0] & 4) ? nullptr : decoder();
  w->audioPlayReady = (data[0] & 8) ? 0 : 1;
  // Multiplier 0 to 14 (0 is no packet size); 15 a size past the buffer.
  const int mult = data[0] >> 4;
  w->audioFrame = mult == 15 ? kAudioMaxFrames + 240 : mult * 240;
  w->audioRate = 48000;
  setRunByte(w->setup->EnableWrite, '1');
  // The playback buffer as opened, or (bit 0 of the second byte) one of
  // another packet size: the setting changed since the device opened.
  int bufFrames = w->audioFrame > 0 && w->audioFrame <= kAudioMaxFrames ? w->audioFrame : 480;
  if (data[1] & 1) bufFrames = ((data[1] >> 1) & 63) * 40;
  const bool framed = (data[1] & 0x80) != 0;
  LinkState link(role);
  link.keyAccepted = true;
  auto out = std::make_shared<AudioOutput>();
  ScriptedPcm* dev = new ScriptedPcm();
  dev->bufBytes = static_cast<size_t>(bufFrames) * 4;
  out->pcm.reset(dev);
  out->playBuf.assign(dev->bufBytes, 0);
  {
    std::lock_guard<std::mutex> lk(w->audioOutMut);
    w->pcmOut = out;
  }
  size_t pos = 2;
  while (pos + 3 <= size) {
    dev->script = data[pos];
    size_t len = (static_cast<size_t>(data[pos + 1]) << 8) | data[pos + 2];
    pos += 3;
    if (len > size - pos) len = size - pos;
    // The body in a buffer of its own size, so a read past it is seen.
    std::unique_ptr<uint8_t[]> body(new uint8_t[len > 0 ? len : 1]);
    if (len > 0) memcpy(body.get(), data + pos, len);
    pos += len;
    int r;
    if (framed) {
      // 0x82, 126, the payload length, "SO", the body: as the peer sends it.
      if (len > 65533) len = 65533;
      std::string frame = {'\x82', 126, static_cast<char>((len + 2) >> 8), static_cast<char>((len + 2) & 0xFF), 'S', 'O'};
      frame.append(reinterpret_cast<const char*>(body.get()), len);
      size_t at = 0;
      WsRead rd = [&](uint8_t* b, int n) -> int {
        if (at >= frame.size()) return 0;
        const size_t k = std::min(static_cast<size_t>(n), frame.size() - at);
        memcpy(b, frame.data() + at, k);
        at += k;
        return static_cast<int>(k);
      };
      WsFrame f;
      if (wsReadFrame(rd, f) != 0) fuzzFail("an \"SO\" frame not read", std::to_string(len));
      r = dispatchFrame(w, link, f);
    } else {
      r = playAudioMessage(w, role, body.get(), static_cast<int>(len));
    }
    if (r != 0 && !(r == -1 && role == 'c')) fuzzFail("playAudioMessage result", std::to_string(r));
    if (r != 0) break;
  }
  {
    std::lock_guard<std::mutex> lk(w->audioOutMut);
    w->pcmOut.reset();
  }
  w->audioPlayReady = 0;
  w->opusDec = nullptr;
  w->AudioCompress = 0;
  return 0;
}
