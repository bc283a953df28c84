#include "remote/ws_proto.h"

#include <glib.h>
#include <openssl/sha.h>
#include <syslog.h>

#include <algorithm>

#include <cstring>

#include "platform/log.h"

const char* const connectionHeader[6] = {
    "GET /chat HTTP/1.1\r\n",
    "Host: %s:%d\r\n",
    "Upgrade: websocket\r\n",
    "Connection: keep-alive, Upgrade\r\n",
    "Sec-WebSocket-Key: %s\r\n",
    "Sec-WebSocket-Version: 13\r\n\r\n\r\n",
};

const char* const requestHeader[7] = {
    "GET ",
    "Host: ",
    "Sec-WebSocket-Version: ",
    "Sec-WebSocket-Protocol: ",
    "Sec-WebSocket-Key: ",
    "Connection: keep-alive, Upgrade",
    "Upgrade: websocket",
};

const char* const responseHeader[5] = {
    "HTTP/1.1 101 Switching Protocols",
    "Upgrade: websocket",
    "Connection: Upgrade",
    "Sec-WebSocket-Accept:",
    "Sec-WebSocket-Protocol: chat",
};

const char keyHeader[] = "Sec-WebSocket-Key: ";
const char recKeyHeader[] = "Sec-WebSocket-Accept: ";

namespace {

std::string base64(const uint8_t* data, size_t n) {
  gchar* b = g_base64_encode(data, n);
  std::string s(b);
  g_free(b);
  return s;
}

bool startsWith(const std::string& s, const char* p) { return s.compare(0, strlen(p), p) == 0; }

// The key is the rest of the line without its line end: one trailing
// carriage return or line feed is removed, and then one more.
std::string keyValue(const std::string& line, size_t prefixLen) {
  std::string k = line.substr(prefixLen);
  for (int i = 0; i < 2; i++)
    if (!k.empty() && (k.back() == '\r' || k.back() == '\n')) k.pop_back();
  return k;
}

}  // namespace

std::string wsAcceptValue(const std::string& key) {
  std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest);
  return base64(digest, sizeof digest);
}

std::string wsClientKey(const uint8_t random16[16]) { return base64(random16, 16); }

bool wsHandshakeLine(HandshakeState& st, const std::string& line, char role) {
  const bool server = role == 's';
  const char* const* table = server ? requestHeader : responseHeader;
  const int n = server ? 7 : 5;
  if (line.empty() || line.back() != '\n') return false;  // an over-long piece counts for nothing
  // The peer's own text is shown only in part: a line may be a kilobyte.
  zlogLimited(LOG_INFO, "Received %d bytes %.40s", static_cast<int>(line.size()), line.c_str());
  for (int i = 0; i < n; i++) {
    if (!startsWith(line, table[i])) continue;
    st.count++;
    zlogLimited(LOG_INFO, "Caught %s go to status %d/%d\n", table[i], st.count, n);
  }
  const char* keyPrefix = server ? keyHeader : recKeyHeader;
  if (startsWith(line, keyPrefix)) {
    st.key = keyValue(line, strlen(keyPrefix));
    st.haveKey = true;
    zlogLimited(LOG_INFO, "Caught key %.40s", st.key.c_str());
  }
  if (line.size() <= 2) {
    st.count++;
    zlogLimited(LOG_INFO, "status advanced %d", st.count);
  }
  return st.count > n;
}

std::string wsServerResponse(const std::string& clientKey) {
  return std::string("HTTP/1.1 101 Switching Protocols\r\n") + "Upgrade: websocket\r\n" +
         "Connection: Upgrade\r\n" + "Sec-WebSocket-Accept: " + wsAcceptValue(clientKey) + "\r\n" +
         "Sec-WebSocket-Protocol: chat\r\n\r\n";
}

void wsClientRequest(const std::string& server, int port, const std::string& key, std::string out[6]) {
  char buf[256];
  out[0] = connectionHeader[0];
  snprintf(buf, sizeof buf, connectionHeader[1], server.c_str(), port);
  out[1] = buf;
  out[2] = connectionHeader[2];
  out[3] = connectionHeader[3];
  snprintf(buf, sizeof buf, connectionHeader[4], key.c_str());
  out[4] = buf;
  out[5] = connectionHeader[5];
}

// --------------------------------------------------------------- frames

uint32_t wsBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void wsPutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

namespace {

// Reads until buf holds n bytes; false when the source ends or fails.
bool readFull(const WsRead& rd, uint8_t* buf, int n) {
  int got = 0;
  while (got < n) {
    int r = rd(buf + got, n - got);
    if (r <= 0) return false;
    got += r;
  }
  return true;
}

// Reads and drops n bytes so the next frame starts where it should.
bool discard(const WsRead& rd, uint32_t n) {
  uint8_t sink[512];
  while (n > 0) {
    int want = n > sizeof sink ? static_cast<int>(sizeof sink) : static_cast<int>(n);
    int r = rd(sink, want);
    if (r <= 0) return false;
    n -= static_cast<uint32_t>(r);
  }
  return true;
}

// Body of `need` bytes at b[at]: stored when it fits, else discarded
// (or refused when too long to be worth reading). 0 stored, 1 discarded,
// -1 read failure, -2 refused.
int body(const WsRead& rd, WsFrame& f, int at, uint32_t need) {
  if (need > kWsDiscardMax) return -2;
  if (static_cast<uint32_t>(at) + need > static_cast<uint32_t>(kWsRxBuf)) {
    if (!discard(rd, need)) return -1;
    f.stored = at;
    return 1;
  }
  if (!readFull(rd, f.b + at, static_cast<int>(need))) return -1;
  f.stored = at + static_cast<int>(need);
  return 0;
}

}  // namespace

int wsReadFrame(const WsRead& rd, WsFrame& f) {
  f.big.clear();
  f.stored = 0;
  f.payloadLen = 0;
  f.readCount = 0;
  // Two bytes first: a short binary frame of fewer than two payload bytes
  // ends before byte 4, and reading on would eat the next frame.
  if (!readFull(rd, f.b, 2)) return 1;
  f.code = f.b[1];
  const bool text = (f.b[0] & 0x01) != 0;
  if (f.code <= 125 && !text && f.code < 2) {
    if (f.code > 0 && !readFull(rd, f.b + 2, f.code)) return 1;
    f.stored = 2 + f.code;
    f.kind = WsKind::ShortBinary;
    return 0;
  }
  if (!readFull(rd, f.b + 2, 2)) return 1;
  f.stored = 4;
  if (f.code <= 125) {
    int more = text ? f.code + 2 : f.code - 2;
    if (!readFull(rd, f.b + 4, more)) return 3;
    f.stored = 4 + more;
    f.readCount = more;
    if (text) {
      f.kind = WsKind::ShortText;
      f.payloadLen = f.code;
      for (int i = 0; i < f.code; i++) f.b[6 + i] ^= f.b[2 + (i % 4)];
    } else {
      f.kind = WsKind::ShortBinary;
    }
    return 0;
  }
  if (f.code == 126) {
    uint32_t n = (static_cast<uint32_t>(f.b[2]) << 8) | f.b[3];
    if (!text && n >= 2 && n <= kWsAudioMax && 4 + n > static_cast<uint32_t>(kWsRxBuf)) {
      // Too long for b: an audio frame is kept whole, anything else dropped.
      if (!readFull(rd, f.b + 4, 2)) return 4;
      f.stored = 6;
      f.payloadLen = static_cast<int>(n);
      f.readCount = static_cast<int>(n);
      if (f.b[4] == 'S' && f.b[5] == 'O') {
        f.big.resize(n - 2);
        if (!readFull(rd, f.big.data(), static_cast<int>(n - 2))) return 4;
        f.kind = WsKind::LongBinary;
      } else {
        if (!discard(rd, n - 2)) return 4;
        f.kind = WsKind::Oversize;
      }
      return 0;
    }
    int r = body(rd, f, 4, n);
    if (r == -1) return 4;
    f.payloadLen = static_cast<int>(n);
    f.readCount = static_cast<int>(n);
    f.kind = r == 1 ? WsKind::Oversize : (text ? WsKind::LongText : WsKind::LongBinary);
    return 0;
  }
  // 127 and above (also a length code with the mask bit set): a 32-bit
  // value N in b[2..5], then N - 2 bytes.
  if (!readFull(rd, f.b + 4, 2)) return 1;
  f.stored = 6;
  uint32_t n = wsBE32(f.b + 2);
  uint32_t need = n >= 2 ? n - 2 : 0;
  int r = body(rd, f, 6, need);
  if (r == -1) return 5;
  if (r == -2) {
    zlogLimited(LOG_ERR, "frame of %u bytes refused", n);
    return 9;
  }
  f.payloadLen = static_cast<int>(need);
  f.readCount = static_cast<int>(need) + 2;
  // Nothing the units send uses this form; a text frame here has a
  // length code that does not say its length.
  f.kind = text ? WsKind::BadText : WsKind::Oversize;
  return 0;
}

std::string wsShortBinary(const char type[2], const uint8_t* data, int n) {
  if (n < 0) n = 0;
  std::string out;
  out.reserve(static_cast<size_t>(n) + 4);
  out += static_cast<char>(0x82);
  out += static_cast<char>(n + 2);
  out += type[0];
  out += type[1];
  if (n > 0) out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
  return out;
}

std::string wsShortText(const char* payload, int n) {
  std::string out;
  out += static_cast<char>(0x81);
  out += static_cast<char>(n);
  out.append(4, '\0');
  out.append(payload, static_cast<size_t>(n));
  return out;
}

std::string wsChunk(const char type[2], const uint8_t* msg, uint32_t total, uint32_t offset) {
  std::string out(526, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&out[0]);
  p[0] = 0x82;
  p[1] = 126;
  p[2] = 0x02;
  p[3] = 0x0A;
  p[4] = static_cast<uint8_t>(type[0]);
  p[5] = static_cast<uint8_t>(type[1]);
  wsPutBE32(p + 6, total);
  wsPutBE32(p + 10, offset);
  // Filler beyond the message stays zero: nothing past it is read.
  uint32_t n = offset < total ? total - offset : 0;
  if (n > 512) n = 512;
  if (n > 0) memcpy(p + 14, msg + offset, n);
  return out;
}

bool ChunkTally::add(uint32_t t, uint32_t o) {
  if (t == 0 || o >= t || o % 512 != 0) return false;
  const uint32_t chunks = (t + 511) / 512;
  if (t != total || got.size() != chunks) {
    total = t;
    got.assign(chunks, 0);
    missing = chunks;
  }
  uint8_t& g = got[o / 512];
  if (g == 0) {
    g = 1;
    missing--;
  }
  if (missing > 0) return false;
  std::fill(got.begin(), got.end(), 0);
  missing = chunks;
  return true;
}

int wsCollectChunk(uint8_t* buf, size_t cap, const uint8_t* hdr, int availLen, uint32_t* total) {
  if (availLen < 8) return -1;
  uint32_t t = wsBE32(hdr);
  uint32_t o = wsBE32(hdr + 4);
  if (total != nullptr) *total = t;
  if (o >= t) return -1;
  uint32_t n = t - o;
  if (n > 512) n = 512;
  uint32_t avail = static_cast<uint32_t>(availLen - 8);
  if (n > avail) n = avail;
  // Bytes beyond the collecting buffer are not stored.
  if (o < cap) {
    uint32_t room = static_cast<uint32_t>(cap - o);
    memcpy(buf + o, hdr + 8, n < room ? n : room);
  }
  return static_cast<uint64_t>(o) + 512 >= t ? 1 : 0;
}
