#include "web/web_server.h"

#include <civetweb.h>
#include <openssl/ssl.h>
#include <png.h>
#include <pthread.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "menus/panel_snapshot.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "remote/link_guard.h"
#include "web/web_api.h"

namespace {

// Each events socket holds one of civetweb's worker threads; the rest
// serve requests.
constexpr int kWorkerThreads = 8;
constexpr int kMaxEventClients = 4;
constexpr int kPanelTimeoutMs = 3000;
constexpr int64_t kTxPushMs = 100;     // 10 a second while transmitting
constexpr int64_t kIdlePushMs = 5000;  // proof of life for the page
constexpr int64_t kPushStepMs = 100;

struct EventClient {
  mg_connection* conn;
  std::string last;
  int64_t lastMs;
};

}  // namespace

class WebServer {
 public:
  Works* w = nullptr;
  WebConfig cfg;
  mg_context* ctx = nullptr;
  int port = 0;
  std::mutex guardMut;  // leaf: the refusal table
  LinkGuard guard;
  std::mutex clientsMut;  // leaf apart from civetweb's own connection lock inside a write
  std::vector<EventClient> clients;
};

namespace {

void sendReply(mg_connection* c, int status, const char* type, const std::string& body, bool head = false) {
  const char* text = mg_get_response_code_text(c, status);
  mg_printf(c,
            "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n\r\n",
            status, text != nullptr ? text : "", type, body.size());
  if (!head && !body.empty()) mg_write(c, body.data(), body.size());
}

void sendJson(mg_connection* c, int status, const std::string& body) {
  sendReply(c, status, "application/json", body);
}

// The token check of every /api/ request: false with the answer sent.
// An address that failed too often is refused without a look at its token.
bool authorized(WebServer* s, mg_connection* c, const mg_request_info* ri, bool queryToken) {
  const std::string addr = ri->remote_addr;
  const int64_t now = monoMicros() / 1000;
  std::string given = BearerToken(mg_get_header(c, "Authorization"));
  if (given.empty() && queryToken && ri->query_string != nullptr) given = QueryParam(ri->query_string, "token");
  int64_t waitMs = 0;
  bool ok = false;
  {
    std::lock_guard<std::mutex> lk(s->guardMut);
    LinkGuard::Verdict v = s->guard.admit(addr, now, &waitMs);
    if (v == LinkGuard::Verdict::Admit) {
      s->guard.handshakeEnded(addr);
      ok = WebTokenMatches(s->cfg.token, given);
      if (ok) s->guard.succeeded(addr);
      else s->guard.failed(addr, now);
    } else {
      waitMs = v == LinkGuard::Verdict::Delayed ? waitMs : 1000;
      zlogLimited(LOG_WARNING, "web: %s waits before its next try", addr.c_str());
      mg_printf(c, "HTTP/1.1 429 Too Many Requests\r\nRetry-After: %lld\r\n", static_cast<long long>((waitMs + 999) / 1000));
      const std::string body = WebErrorJson("too many failed attempts from this address");
      mg_printf(c, "Content-Type: application/json\r\nContent-Length: %zu\r\n\r\n%s", body.size(), body.c_str());
      return false;
    }
  }
  if (!ok) {
    zlogLimited(LOG_WARNING, "web: refused a request from %s without the right token", addr.c_str());
    mg_printf(c, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer\r\n");
    const std::string body = WebErrorJson("a valid token is needed (Authorization: Bearer <token>)");
    mg_printf(c, "Content-Type: application/json\r\nContent-Length: %zu\r\n\r\n%s", body.size(), body.c_str());
  }
  return ok;
}

// The body of a POST, at most kWebBodyMax bytes; false when longer.
bool readBody(mg_connection* c, const mg_request_info* ri, std::string* body) {
  if (ri->content_length > static_cast<long long>(kWebBodyMax)) return false;
  char buf[kWebBodyMax + 1];
  size_t got = 0;
  while (got < sizeof buf) {
    int n = mg_read(c, buf + got, sizeof buf - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > kWebBodyMax) return false;
  body->assign(buf, got);
  return true;
}

void pngWrite(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void pngFlush(png_structp) {}

// The screen as it is now, as a PNG (RGB). The copy is taken under the
// drawing lock; the encoding runs outside it.
bool panelPng(Works* w, std::vector<uint8_t>* out) {
  std::vector<uint8_t> rgb;
  int width = 0, height = 0;
  {
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    FbInfo* fb = w->fb;
    if (fb == nullptr || fb->fbMem == nullptr || fb->xSize <= 0 || fb->ySize <= 0) return false;
    if (fb->pixelSize != 4 && fb->pixelSize != 2) return false;
    width = fb->xSize;
    height = fb->ySize;
    rgb.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; y++) {
      const uint8_t* row = fb->fbMem + static_cast<size_t>(y) * fb->lineSize;
      uint8_t* o = rgb.data() + static_cast<size_t>(y) * width * 3;
      for (int x = 0; x < width; x++, o += 3) {
        if (fb->pixelSize == 4) {
          const uint8_t* p = row + x * 4;  // blue, green, red, unused
          o[0] = p[2];
          o[1] = p[1];
          o[2] = p[0];
        } else {
          const uint16_t v = static_cast<uint16_t>(row[x * 2] | (row[x * 2 + 1] << 8));  // RGB565
          o[0] = static_cast<uint8_t>((v >> 11) << 3);
          o[1] = static_cast<uint8_t>(((v >> 5) & 63) << 2);
          o[2] = static_cast<uint8_t>((v & 31) << 3);
        }
      }
    }
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, pngWrite, pngFlush);
  png_set_compression_level(png, 3);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; y++) png_write_row(png, rgb.data() + static_cast<size_t>(y) * width * 3);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

void action(WebServer* s, mg_connection* c, const mg_request_info* ri, const WebRoute& r) {
  std::string body, error;
  if (!readBody(c, ri, &body)) return sendJson(c, 413, WebErrorJson("body too long"));
  PanelEvent ev;
  if (!ParseWebAction(r, body, &ev, &error)) return sendJson(c, 400, WebErrorJson(error));
  PanelReply reply;
  if (!s->w->panelQ.call(ev, &reply, kPanelTimeoutMs))
    return sendJson(c, 503, WebErrorJson("the panel did not answer"));
  if (reply.refused) {
    const std::string reason(reply.reason, strnlen(reply.reason, sizeof reply.reason));
    return sendJson(c, 409, WebRefusalJson(reason));
  }
  sendJson(c, 202, WebStatusJson(CollectWebStatus(s->w)));
}

int handleRequest(mg_connection* c, void* ud) {
  auto* s = static_cast<WebServer*>(ud);
  const mg_request_info* ri = mg_get_request_info(c);
  const std::string method = ri->request_method != nullptr ? ri->request_method : "";
  const std::string path = ri->local_uri != nullptr ? ri->local_uri : "";
  const WebRoute r = RouteWebRequest(method, path);
  const bool head = method == "HEAD";
  if (r.kind == WebRouteKind::Page) {
    sendReply(c, 200, "text/html; charset=utf-8",
              std::string(reinterpret_cast<const char*>(kWebPage), kWebPageSize), head);
    return 200;
  }
  if (r.kind == WebRouteKind::NotFound) {
    sendJson(c, 404, WebErrorJson("no such resource"));
    return 404;
  }
  if (r.kind == WebRouteKind::MethodNotAllowed) {
    sendJson(c, 405, WebErrorJson("method not allowed here"));
    return 405;
  }
  if (!authorized(s, c, ri, false)) return 401;
  switch (r.kind) {
    case WebRouteKind::OpenApi:
      sendReply(c, 200, "application/json",
                std::string(reinterpret_cast<const char*>(kWebOpenApi), kWebOpenApiSize), head);
      return 200;
    case WebRouteKind::Status:
      sendReply(c, 200, "application/json", WebStatusJson(CollectWebStatus(s->w)), head);
      return 200;
    case WebRouteKind::Events:
      sendJson(c, 400, WebErrorJson("this is a WebSocket: ask for an upgrade"));
      return 400;
    case WebRouteKind::PanelPng: {
      std::vector<uint8_t> png;
      if (!panelPng(s->w, &png)) {
        sendJson(c, 503, WebErrorJson("no panel picture"));
        return 503;
      }
      sendReply(c, 200, "image/png", std::string(png.begin(), png.end()), head);
      return 200;
    }
    case WebRouteKind::Memory: {
      int ant = 0, bank = 0;
      std::string error;
      if (!ParseMemoryQuery(ri->query_string != nullptr ? ri->query_string : "", GetPanelSnapshot(s->w).bank,
                            &ant, &bank, &error)) {
        sendJson(c, 400, WebErrorJson(error));
        return 400;
      }
      sendJson(c, 200, ReadWebMemory(bank, ant));
      return 200;
    }
    default:
      action(s, c, ri, r);
      return 202;
  }
}

int wsConnect(const mg_connection* cc, void* ud) {
  auto* s = static_cast<WebServer*>(ud);
  auto* c = const_cast<mg_connection*>(cc);
  const mg_request_info* ri = mg_get_request_info(c);
  if (!authorized(s, c, ri, true)) return 1;
  std::lock_guard<std::mutex> lk(s->clientsMut);
  if (static_cast<int>(s->clients.size()) >= kMaxEventClients) {
    zlogLimited(LOG_WARNING, "web: events socket refused, %d clients already", kMaxEventClients);
    return 1;
  }
  return 0;
}

void wsReady(mg_connection* c, void* ud) {
  auto* s = static_cast<WebServer*>(ud);
  const std::string st = WebStatusJson(CollectWebStatus(s->w));
  std::lock_guard<std::mutex> lk(s->clientsMut);
  mg_websocket_write(c, MG_WEBSOCKET_OPCODE_TEXT, st.data(), st.size());
  s->clients.push_back({c, st, monoMicros() / 1000});
}

int wsData(mg_connection*, int bits, char*, size_t, void*) {
  // Nothing is asked over the socket; a close frame ends it.
  return (bits & 0x0f) == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE ? 0 : 1;
}

void wsClose(const mg_connection* c, void* ud) {
  auto* s = static_cast<WebServer*>(ud);
  std::lock_guard<std::mutex> lk(s->clientsMut);
  s->clients.erase(std::remove_if(s->clients.begin(), s->clients.end(),
                                  [c](const EventClient& e) { return e.conn == c; }),
                   s->clients.end());
}

int initSsl(void* sslCtx, void* ud) {
  auto* s = static_cast<WebServer*>(ud);
  auto* ctx = static_cast<SSL_CTX*>(sslCtx);
  const std::string cert = rootPath(s->cfg.cert);
  const std::string key = rootPath(s->cfg.certkey.empty() ? s->cfg.cert : s->cfg.certkey);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    zlog(LOG_ERR, "web: the certificate or its key cannot be used (%s)", s->cfg.cert.c_str());
    return -1;
  }
  return 1;
}

int logMessage(const mg_connection*, const char* message) {
  zlogLimited(LOG_ERR, "web: %s", message);
  return 1;
}

}  // namespace

WebServer* WebServerStart(Works* w, const WebConfig& c) {
  if (!c.cert.empty()) {
    // Debian 12's civetweb loads OpenSSL by name and looks up a function
    // OpenSSL 3 no longer exports: its first TLS connection would crash
    // the controller. Plain HTTP is not served in its place (the token
    // would cross the network in clear): the server stays off.
    zlog(LOG_ERR, "web: HTTPS (cert in web.txt) is not available with this server library; the web server stays off");
    return nullptr;
  }
  auto* s = new WebServer;
  s->w = w;
  s->cfg = c;
  const bool tls = false;
  mg_init_library(tls ? MG_FEATURES_TLS : 0);
  const std::string ports = (c.listen.empty() ? std::string() : c.listen + ":") + std::to_string(c.port) +
                            (tls ? "s" : "");
  const std::string threads = std::to_string(kWorkerThreads);
  const char* opts[] = {"listening_ports", ports.c_str(), "num_threads", threads.c_str(), "request_timeout_ms",
                        "10000", "enable_keep_alive", "yes", "websocket_timeout_ms", "3600000", nullptr};
  mg_callbacks cb;
  memset(&cb, 0, sizeof cb);
  cb.log_message = logMessage;
  if (tls) cb.init_ssl = initSsl;  // kept for a library whose TLS works
  s->ctx = mg_start(&cb, s, opts);
  if (s->ctx == nullptr) {
    zlog(LOG_ERR, "web: cannot listen on %s", ports.c_str());
    delete s;
    return nullptr;
  }
  mg_set_request_handler(s->ctx, "/", handleRequest, s);
  mg_set_websocket_handler(s->ctx, "/api/v1/events", wsConnect, wsReady, wsData, wsClose, s);
  mg_server_port sp[4];
  int n = mg_get_server_ports(s->ctx, 4, sp);
  s->port = n > 0 ? sp[0].port : c.port;
  zlogEcho(LOG_INFO, "web: %s://%s:%d/ (page and API)", tls ? "https" : "http",
           c.listen.empty() ? "0.0.0.0" : c.listen.c_str(), s->port);
  return s;
}

int WebServerPort(const WebServer* s) { return s != nullptr ? s->port : 0; }

int WebServerPush(WebServer* s, int64_t nowMs) {
  std::lock_guard<std::mutex> lk(s->clientsMut);
  if (s->clients.empty()) return 0;  // nothing is gathered for nobody
  const WebStatus st = CollectWebStatus(s->w);
  const std::string text = WebStatusJson(st);
  int served = 0;
  for (EventClient& e : s->clients) {
    const bool due = text != e.last || (st.transmitting && nowMs - e.lastMs >= kTxPushMs) ||
                     nowMs - e.lastMs >= kIdlePushMs;
    if (!due) continue;
    if (mg_websocket_write(e.conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) > 0) served++;
    e.last = text;
    e.lastMs = nowMs;
  }
  return served;
}

void WebServerStop(WebServer* s) {
  if (s == nullptr) return;
  mg_stop(s->ctx);
  delete s;
}

void WebThread(Works* w) {
  pthread_setname_np(pthread_self(), "web");
  const WebConfig c = loadWebConfig();
  if (!c.enabled) {
    zlog(LOG_INFO, "web: off (web.txt)");
    return;
  }
  WebServer* s = WebServerStart(w, c);
  if (s == nullptr) return;
  while (w->running.load() != 0) {
    WebServerPush(s, monoMicros() / 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPushStepMs));
  }
  WebServerStop(s);
}
