#include "remote/remote_senders.h"

#include <opus/opus.h>
#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "platform/log.h"
#include "platform/net.h"
#include "platform/tls.h"
#include "remote/jpeg_codec.h"
#include "remote/ws_proto.h"

Works* staticworks = nullptr;

namespace {

constexpr int kShortMax = 123;  // data bytes of a short message

void pause10us() { std::this_thread::sleep_for(std::chrono::microseconds(10)); }

void sendShort(Works* w, const char type[2], const uint8_t* data, int n) {
  if (w->remoteConnected.load() == 0) return;
  if (n < 0 || n > kShortMax) {
    zlog(LOG_ERR, "%c%c message of %d bytes does not fit a frame", type[0], type[1], n);
    return;
  }
  std::string f = wsShortBinary(type, data, n);
  pause10us();
  wsSendLocked(w, f.data(), static_cast<int>(f.size()));
}

void sendChunked(Works* w, const char type[2], const uint8_t* msg, uint32_t total) {
  for (uint32_t o = 0; o < total; o += 512) {
    if (w->remoteConnected.load() == 0) return;
    std::string f = wsChunk(type, msg, total, o);
    pause10us();
    if (wsSendLocked(w, f.data(), static_cast<int>(f.size())) < 0) return;
  }
}

}  // namespace

int wsSendLocked(Works* w, const void* frame, int n) {
  if (w->sendMut == nullptr) return -1;
  std::lock_guard<std::mutex> lk(*w->sendMut);
  int fd = w->remoteSock.load();
  if (fd <= 0 || w->remoteConnected.load() == 0) return -1;
  ssize_t r = w->remoteTls != nullptr ? tlsWrite(w->remoteTls, frame, n) : netSend(fd, frame, static_cast<size_t>(n));
  if (r != n) {
    // Part of a frame went out: the peer can no longer find the next one.
    zlog(LOG_ERR, "TCP write error %d (%d of %d bytes)", errno, static_cast<int>(r), n);
    netShutdown(fd);
    return -1;
  }
  return n;
}

void sendWebSockCatFrame(Works* w, const char* text, int length) {
  sendShort(w, "CA", reinterpret_cast<const uint8_t*>(text), length);
}

void sendWebSockStatusFrame(Works* w, const char* text, int length) {
  sendShort(w, "ST", reinterpret_cast<const uint8_t*>(text), length);
}

void sendWebSockSerFrame(Works* w, const uint8_t* data, int length) { sendShort(w, "SC", data, length); }

void sendWebSockSerParFrame(Works* w, const uint8_t* block, int length) { sendShort(w, "PA", block, length); }

void sendWebSockSerSpectrFrame(Works* w, const uint8_t* line, int length) {
  if (w->remoteConnected.load() == 0 || line == nullptr || length <= 0) return;
  sendChunked(w, "SP", line, static_cast<uint32_t>(length));
}

void sendWebSockFbFrameOf(Works* w) {
  if (w == nullptr || w->setup == nullptr || runByte(w->setup->WebSocket) != '1') return;
  if (w->remoteConnected.load() == 0 || w->fb == nullptr) return;
  FbInfo* fb = w->fb;
  const unsigned mem = fb->memSize;
  // A copy of a whole frame: the timer keeps drawing meanwhile.
  std::vector<uint8_t> pic(mem);
  {
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    memcpy(pic.data(), fb->workBuf, mem);
  }
  std::vector<uint8_t> out(mem);
  uint32_t total = mem;
  int q = w->jpegQuality.load();
  if (q != 0) {
    unsigned long len = mem;
    // The receiver tells raw pixels by their length: an encoding that
    // failed or came out as large as the screen goes raw.
    if (CompressImage(pic.data(), fb->xSize, fb->ySize, q, out.data(), &len) == 0 && len > 0 && len < mem)
      total = static_cast<uint32_t>(len);
    else
      out.swap(pic);
  } else {
    out.swap(pic);
  }
  sendChunked(w, "FB", out.data(), total);
}

void sendWebSockFbFrame() { sendWebSockFbFrameOf(staticworks); }

void sendWebSockAudioFrame(Works* w, const uint8_t* pcm) {
  if (w->remoteConnected.load() == 0 || pcm == nullptr) return;
  const int frames = w->audioFrame;
  const int raw = frames * 2 * 2;
  if (frames <= 0 || raw > 20480) return;
  std::vector<uint8_t> f(static_cast<size_t>(raw) + 10);
  uint8_t* out = f.data() + 10;
  int n = raw;
  if (w->AudioCompress != 0 && w->opusEnc != nullptr) {
    n = opus_encode(static_cast<OpusEncoder*>(w->opusEnc), reinterpret_cast<const opus_int16*>(pcm), frames, out, raw);
    if (n < 0) {
      // Limited: a packet size Opus refuses fails every packet.
      zlogLimited(LOG_ERR, "encode failed: %s", opus_strerror(n));
      return;
    }
  } else {
    memcpy(out, pcm, static_cast<size_t>(raw));
  }
  if (n <= 0) return;
  f[0] = 0x82;
  f[1] = 126;
  f[2] = static_cast<uint8_t>((n + 6) >> 8);
  f[3] = static_cast<uint8_t>((n + 6) & 0xFF);
  f[4] = 'S';
  f[5] = 'O';
  wsPutBE32(f.data() + 6, static_cast<uint32_t>(n));
  pause10us();
  int rc = wsSendLocked(w, f.data(), n + 10);
  if (rc != n + 10) zlog(LOG_ERR, "rc(%d) != length+10(%d)", rc, n + 10);
}

void sendWebSockEventFrame(Works* w, int x, int y) {
  if (w->remoteConnected.load() == 0) return;
  char p[16];
  snprintf(p, sizeof p, "%05d%05d", x, y);
  // Positions beyond five digits would not fit their fields.
  if (strlen(p) != 10) return;
  char payload[12] = {'X', 'Y'};
  memcpy(payload + 2, p, 10);
  std::string f = wsShortText(payload, 12);
  pause10us();
  wsSendLocked(w, f.data(), static_cast<int>(f.size()));
}
