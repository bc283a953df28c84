// The WebSocket-style link between two units: handshake texts and their
// counting, the accept value, frame reading and building, and the
// collection of chunked messages. Plain functions over buffers; the link
// threads (remote/ws_link.h) only move bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The client's request lines, in order (Host takes server name and port,
// Sec-WebSocket-Key the client key).
extern const char* const connectionHeader[6];
// Prefixes the server counts (7) and the client counts (5).
extern const char* const requestHeader[7];
extern const char* const responseHeader[5];
extern const char keyHeader[];
extern const char recKeyHeader[];

// RFC 6455: Base64 of SHA-1 over key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11".
std::string wsAcceptValue(const std::string& key);
// The client key: Base64 of 16 random bytes.
std::string wsClientKey(const uint8_t random16[16]);

// Handshake line counting. The server answers once count exceeds 7, the
// client's handshake is complete once it exceeds 5.
struct HandshakeState {
  int count = 0;
  bool haveKey = false;
  std::string key;  // "Sec-WebSocket-Key: " (server) / "Sec-WebSocket-Accept: " (client) value
};
// Feeds one line (as read, line feed included). Returns true when the
// handshake is complete after it. role: 's' server, 'c' client.
bool wsHandshakeLine(HandshakeState& st, const std::string& line, char role);
// The server's five response lines for a client key.
std::string wsServerResponse(const std::string& clientKey);
// The client's six request lines, one string each.
void wsClientRequest(const std::string& server, int port, const std::string& key, std::string out[6]);

// --------------------------------------------------------------- frames

constexpr int kWsRxBuf = 1024;
// Longest payload read and discarded to keep alignment; a longer frame
// ends the connection (nothing is allocated for it).
constexpr uint32_t kWsDiscardMax = 65536;
// An audio frame ("SO") may be longer than the receive buffer (a raw
// packet of 480 frames is 1920 bytes): up to this payload it is kept whole
// in the frame's own buffer (type, encoded length, 20480 bytes of audio).
constexpr uint32_t kWsAudioMax = 2 + 4 + 20480;

enum class WsKind {
  ShortBinary,  // type at b[2], data from b[4], dataLen = code - 2
  LongBinary,   // 126 or 127 form: type at b[4], own header from b[6]
  ShortText,    // masking key b[2..5], payload (unmasked) from b[6]
  LongText,     // text in the 126 or 127 form: ignored by the receivers
  Oversize,     // read and discarded: did not fit the receive buffer
  BadText,      // text whose length code has the mask bit (or 127): length disagrees
};

struct WsFrame {
  uint8_t b[kWsRxBuf];
  int stored = 0;     // bytes of b that hold the frame
  WsKind kind = WsKind::ShortBinary;
  int code = 0;       // length code b[1]
  int payloadLen = 0; // short text: payload bytes; long binary: N (or N - 2)
  int readCount = 0;  // bytes read after the first four (for the length check)
  const uint8_t* data() const { return b + 4; }
  int dataLen() const { return code - 2; }  // short binary
  // Long binary: what follows the type (from b[6], or from big for an
  // audio frame too long for b).
  std::vector<uint8_t> big;
  const uint8_t* longBody() const { return big.empty() ? b + 6 : big.data(); }
  int longBodyLen() const { return big.empty() ? stored - 6 : static_cast<int>(big.size()); }
};

// Source of bytes: reads up to n bytes into buf; returns > 0, 0 at end of
// data, -1 on error or when the link is being stopped.
using WsRead = std::function<int(uint8_t* buf, int n)>;

// Reads one frame. Returns 0, or the read stage that failed: 1 header,
// 3 short body, 4 126-form body, 5 127-form body (the link logs its
// "TCP read Error %da" lines by it), 9 a frame too long to discard.
int wsReadFrame(const WsRead& rd, WsFrame& f);

// Frame builders (the program's own forms). Return the bytes to write.
// Short binary: 0x82, n + 2, type, data (n <= 123).
std::string wsShortBinary(const char type[2], const uint8_t* data, int n);
// Short text with a zero masking key: 0x81, n, 0 0 0 0, payload (n <= 125).
std::string wsShortText(const char* payload, int n);
// One 526-byte chunk of a chunked message: 0x82, 126, 0x02 0x0A, type,
// total T, offset O, 512 bytes (zero beyond the message).
std::string wsChunk(const char type[2], const uint8_t* msg, uint32_t total, uint32_t offset);

// Chunk collection: copies min(512, T - O) bytes to offset O of buf (only
// what fits in cap). Returns 1 when the message is complete (O >= T - 512),
// 0 while collecting, -1 for a chunk that cannot belong to a message.
int wsCollectChunk(uint8_t* buf, size_t cap, const uint8_t* chunkHeader, int availLen, uint32_t* total);

// Which 512-byte chunks of a collected message came since it was last
// whole. A message is taken once every one of its chunks arrived, so a
// peer that sends its last chunk again and again gets no decode for it.
// The caller bounds the total (a screen is at most the panel's bytes).
struct ChunkTally {
  uint32_t total = 0;
  uint32_t missing = 0;
  std::vector<uint8_t> got;
  // The chunk at offset o of a message of t bytes; true when it made the
  // message whole (the tally then starts over for the next one).
  bool add(uint32_t t, uint32_t o);
};

uint32_t wsBE32(const uint8_t* p);
void wsPutBE32(uint8_t* p, uint32_t v);
