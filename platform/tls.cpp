#include "platform/tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

const char kTlsPskIdentity[] = "zelpyx-remote-link";
const char kTlsPskLabel[] = "zelpyx remote link psk v1";

struct TlsConn {
  SSL* ssl = nullptr;
  int fd = -1;
};

namespace {

using Clock = std::chrono::steady_clock;

// Index of the SSL object's access-key slot (the callbacks read it).
int keySlot() {
  static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

// TLS_AES_128_GCM_SHA256: its hash is the PSK's.
const unsigned char kSuiteId[2] = {0x13, 0x01};

SSL_SESSION* pskSession(SSL* ssl) {
  const std::string* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, keySlot()));
  if (key == nullptr || key->empty()) return nullptr;
  const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, kSuiteId);
  if (cipher == nullptr) return nullptr;
  std::vector<uint8_t> psk = tlsPskFromKey(*key);
  SSL_SESSION* s = SSL_SESSION_new();
  if (s == nullptr) return nullptr;
  if (SSL_SESSION_set1_master_key(s, psk.data(), psk.size()) != 1 || SSL_SESSION_set_cipher(s, cipher) != 1 ||
      SSL_SESSION_set_protocol_version(s, TLS1_3_VERSION) != 1) {
    SSL_SESSION_free(s);
    return nullptr;
  }
  OPENSSL_cleanse(psk.data(), psk.size());
  return s;
}

int findSession(SSL* ssl, const unsigned char* id, size_t idLen, SSL_SESSION** sess) {
  *sess = nullptr;
  // An unknown identity is no error: the handshake then fails for want
  // of a certificate, which this side never has.
  if (idLen != strlen(kTlsPskIdentity) || memcmp(id, kTlsPskIdentity, idLen) != 0) return 1;
  *sess = pskSession(ssl);
  return *sess != nullptr ? 1 : 0;
}

int useSession(SSL* ssl, const EVP_MD*, const unsigned char** id, size_t* idLen, SSL_SESSION** sess) {
  *sess = pskSession(ssl);
  if (*sess == nullptr) return 0;
  *id = reinterpret_cast<const unsigned char*>(kTlsPskIdentity);
  *idLen = strlen(kTlsPskIdentity);
  return 1;
}

SSL_CTX* makeCtx(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256");
  // Every connection proves the key afresh: no tickets to resume with.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (server) SSL_CTX_set_psk_find_session_callback(ctx, findSession);
  else SSL_CTX_set_psk_use_session_callback(ctx, useSession);
  return ctx;
}

SSL_CTX* ctxFor(bool server) {
  // OpenSSL writes to the socket itself, without MSG_NOSIGNAL: a peer
  // gone mid-write must be an error, not the end of the program.
  static const bool pipeIgnored = [] {
    struct sigaction old;
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)pipeIgnored;
  // One context per role for the life of the process (thread-safe statics).
  static SSL_CTX* serverCtx = makeCtx(true);
  static SSL_CTX* clientCtx = makeCtx(false);
  return server ? serverCtx : clientCtx;
}

int remainingMs(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the socket in the direction OpenSSL asked for.
bool waitFor(int fd, bool write, int ms) {
  struct pollfd p = {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  return poll(&p, 1, ms) > 0;
}

bool plainReason(unsigned long e) {
  int r = ERR_GET_REASON(e);
  return r == SSL_R_WRONG_VERSION_NUMBER || r == SSL_R_HTTP_REQUEST || r == SSL_R_PACKET_LENGTH_TOO_LONG ||
         r == SSL_R_RECORD_LENGTH_MISMATCH;
}

TlsConn* handshake(bool server, int fd, const std::string& key, int timeoutMs,
                   const std::function<bool()>& keepGoing, TlsFail* why) {
  *why = TlsFail::Closed;
  SSL_CTX* ctx = ctxFor(server);
  if (ctx == nullptr) return nullptr;
  int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) return nullptr;
  // The callbacks run inside SSL_accept / SSL_connect below, while `key`
  // is alive; the slot is cleared before returning.
  std::string keyCopy = key;
  SSL_set_ex_data(ssl, keySlot(), &keyCopy);
  SSL_set_fd(ssl, fd);
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  ERR_clear_error();
  for (;;) {
    int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (r == 1) break;
    int e = SSL_get_error(ssl, r);
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && keepGoing() && remainingMs(end) > 0) {
      int step = remainingMs(end) < 100 ? remainingMs(end) : 100;
      waitFor(fd, e == SSL_ERROR_WANT_WRITE, step);
      continue;
    }
    if (e == SSL_ERROR_SSL) {
      unsigned long err = ERR_peek_error();
      *why = plainReason(err) ? TlsFail::PlainPeer : TlsFail::Refused;
    }
    ERR_clear_error();
    SSL_set_ex_data(ssl, keySlot(), nullptr);
    OPENSSL_cleanse(&keyCopy[0], keyCopy.size());
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_ex_data(ssl, keySlot(), nullptr);
  OPENSSL_cleanse(&keyCopy[0], keyCopy.size());
  *why = TlsFail::None;
  TlsConn* c = new TlsConn;
  c->ssl = ssl;
  c->fd = fd;
  return c;
}

}  // namespace

std::vector<uint8_t> tlsPskFromKey(const std::string& accessKey) {
  std::vector<uint8_t> out(32);
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  size_t len = out.size();
  bool ok = pctx != nullptr && EVP_PKEY_derive_init(pctx) > 0 && EVP_PKEY_CTX_set_hkdf_md(pctx, EVP_sha256()) > 0 &&
            EVP_PKEY_CTX_set1_hkdf_key(pctx, reinterpret_cast<const unsigned char*>(accessKey.data()),
                                       static_cast<int>(accessKey.size())) > 0 &&
            EVP_PKEY_CTX_add1_hkdf_info(pctx, reinterpret_cast<const unsigned char*>(kTlsPskLabel),
                                        static_cast<int>(strlen(kTlsPskLabel))) > 0 &&
            EVP_PKEY_derive(pctx, out.data(), &len) > 0;
  EVP_PKEY_CTX_free(pctx);
  if (!ok || len != out.size()) out.clear();
  return out;
}

std::string tlsPskHex(const std::string& accessKey) {
  std::vector<uint8_t> psk = tlsPskFromKey(accessKey);
  std::string hex;
  static const char d[] = "0123456789abcdef";
  for (uint8_t b : psk) {
    hex += d[b >> 4];
    hex += d[b & 15];
  }
  return hex;
}

const char* tlsFailText(TlsFail f) {
  switch (f) {
    case TlsFail::None: return "no failure";
    case TlsFail::PlainPeer: return "the peer does not speak TLS";
    case TlsFail::Refused: return "TLS handshake failed (another access key?)";
    case TlsFail::Closed: return "closed or timed out during the TLS handshake";
  }
  return "";
}

TlsConn* tlsAccept(int fd, const std::string& key, int timeoutMs, const std::function<bool()>& keepGoing,
                   TlsFail* why) {
  return handshake(true, fd, key, timeoutMs, keepGoing, why);
}

TlsConn* tlsConnect(int fd, const std::string& key, int timeoutMs, const std::function<bool()>& keepGoing,
                    TlsFail* why) {
  return handshake(false, fd, key, timeoutMs, keepGoing, why);
}

int tlsRead(TlsConn* c, uint8_t* buf, int n) {
  ERR_clear_error();
  int r = SSL_read(c->ssl, buf, n);
  if (r > 0) return r;
  int e = SSL_get_error(c->ssl, r);
  ERR_clear_error();
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -2;
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  return -1;
}

bool tlsPending(TlsConn* c) { return SSL_pending(c->ssl) > 0; }

int tlsWrite(TlsConn* c, const void* buf, int n) {
  const auto end = Clock::now() + std::chrono::milliseconds(2000);
  ERR_clear_error();
  for (;;) {
    int r = SSL_write(c->ssl, buf, n);
    if (r == n) return n;
    int e = SSL_get_error(c->ssl, r);
    if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) && remainingMs(end) > 0) {
      // The same buffer again, as OpenSSL asks after a retry.
      waitFor(c->fd, e == SSL_ERROR_WANT_WRITE, remainingMs(end));
      continue;
    }
    ERR_clear_error();
    return -1;
  }
}

void tlsFree(TlsConn* c) {
  if (c == nullptr) return;
  SSL_shutdown(c->ssl);
  ERR_clear_error();
  SSL_free(c->ssl);
  delete c;
}
