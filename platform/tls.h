// TLS 1.3 over a connected link socket, authenticated by an external
// pre-shared key derived from the unit's access key: each side proves it
// knows the key without sending it, and a wrong key fails the handshake
// itself. No certificates. OpenSSL's libssl.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TlsConn;

// The PSK identity both units send and expect, and the derivation:
// HKDF-SHA256 (RFC 5869) of the access key, empty salt, info
// kTlsPskLabel, 32 bytes. `openssl s_client -tls1_3 -psk <hex>
// -psk_identity zelpyx-remote-link` reaches a station with these.
extern const char kTlsPskIdentity[];
extern const char kTlsPskLabel[];
std::vector<uint8_t> tlsPskFromKey(const std::string& accessKey);
std::string tlsPskHex(const std::string& accessKey);

enum class TlsFail {
  None,
  PlainPeer,  // the peer spoke the plain link (or plain text) instead of TLS
  Refused,    // the TLS handshake failed: another key, or no common suite
  Closed,     // the peer closed or the deadline passed before the end
};
const char* tlsFailText(TlsFail f);

// Runs the server or client handshake on fd within timeoutMs, while
// keepGoing(). The socket is made non-blocking for good. Returns the
// session, or null with *why set.
TlsConn* tlsAccept(int fd, const std::string& accessKey, int timeoutMs, const std::function<bool()>& keepGoing,
                   TlsFail* why);
TlsConn* tlsConnect(int fd, const std::string& accessKey, int timeoutMs, const std::function<bool()>& keepGoing,
                    TlsFail* why);

// One read without waiting: > 0 bytes, 0 the peer closed, -1 error,
// -2 nothing yet (wait until the socket is readable, unless tlsPending).
int tlsRead(TlsConn* c, uint8_t* buf, int n);
// Bytes already decrypted or buffered: read again before waiting.
bool tlsPending(TlsConn* c);
// Writes all n bytes, waiting for the socket at most 2 s in all.
// Returns n, or -1.
int tlsWrite(TlsConn* c, const void* buf, int n);
// Sends the closing alert (best effort) and frees the session; the
// socket stays open (its owner closes it).
void tlsFree(TlsConn* c);
