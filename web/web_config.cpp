#include "web/web_config.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "core/file_problems.h"
#include "core/name_value_lines.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/net.h"

namespace {

const char kWebPath[] = "/opt/set/web.txt";
const size_t kLineMax = 300;

std::mutex g_infoMut;  // leaf: the information screen reads what start-up loaded
std::string g_info;

bool readWebFile(std::string* text) {
  FILE* f = openRooted(kWebPath, "r");
  if (f == nullptr) return false;
  char buf[kWebFileMax];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  text->assign(buf, n);
  return true;
}

std::string makeToken() {
  unsigned char b[kWebTokenLen / 2];
  if (netRandomBytes(b, sizeof b) != static_cast<int>(sizeof b)) return "";
  return webTokenFromBytes(b, sizeof b);
}

}  // namespace

bool validWebToken(const std::string& t) {
  if (t.size() != static_cast<size_t>(kWebTokenLen)) return false;
  for (char c : t)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

std::string webTokenFromBytes(const unsigned char* bytes, int n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; i++) {
    s += kHex[bytes[i] >> 4];
    s += kHex[bytes[i] & 15];
  }
  return s;
}

WebConfig parseWebConfig(const std::string& textIn, std::vector<WebConfigProblem>* problems, bool* tokenLine) {
  WebConfig c;
  if (tokenLine != nullptr) *tokenLine = false;
  auto problem = [problems](int line, const std::string& t) {
    if (problems != nullptr && problems->size() < 100) problems->push_back({line, t});
  };
  forEachNameValueLine(textIn, kWebFileMax, kLineMax, problem, [&](const NameValueLine& nv) {
    const int lineNo = nv.line;
    const std::string& name = nv.name;
    const std::string& value = nv.value;
    if (name == "enabled") {
      if (value == "1" || value == "on") c.enabled = true;
      else if (value == "0" || value == "off") c.enabled = false;
      else problem(lineNo, "enabled: neither 1 nor 0, 1 kept");
    } else if (name == "port") {
      char* e = nullptr;
      long p = value.empty() ? -1 : strtol(value.c_str(), &e, 10);
      if (e != nullptr && *e == '\0' && p >= 0 && p <= 65535) c.port = static_cast<int>(p);
      else problem(lineNo, "port: not a number 0..65535, 8080 kept");
    } else if (name == "listen") {
      struct in_addr a;
      if (value == "any" || value == "*" || value == "0.0.0.0") c.listen.clear();
      else if (inet_pton(AF_INET, value.c_str(), &a) == 1) c.listen = value;
      else problem(lineNo, "listen: not a dotted IPv4 address, every address kept");
    } else if (name == "token") {
      if (tokenLine != nullptr) *tokenLine = true;
      if (validWebToken(value)) {
        c.token = value;
      } else {
        c.token.clear();
        problem(lineNo, "token: not 32 hex digits; the API refuses every request until it is mended");
      }
    } else if (name == "cert" || name == "certkey") {
      if (value.empty() || value[0] != '/' || value.find_first_of(" \t,") != std::string::npos)
        problem(lineNo, "cert/certkey: not an absolute path without blanks, ignored");
      else (name == "cert" ? c.cert : c.certkey) = value;
    } else {
      problem(lineNo, "not a known name (enabled, port, listen, token, cert, certkey), ignored");
    }
  });
  return c;
}

std::string formatWebConfig(const WebConfig& c) {
  std::string s = std::string("enabled ") + (c.enabled ? "1" : "0") + "\n";
  s += "port " + std::to_string(c.port) + "\n";
  if (!c.listen.empty()) s += "listen " + c.listen + "\n";
  s += "token " + c.token + "\n";
  if (!c.cert.empty()) s += "cert " + c.cert + "\n";
  if (!c.certkey.empty()) s += "certkey " + c.certkey + "\n";
  return s;
}

WebConfig loadWebConfig() {
  std::string text;
  const bool exists = readWebFile(&text);
  std::vector<WebConfigProblem> problems;
  bool tokenLine = false;
  WebConfig c = exists ? parseWebConfig(text, &problems, &tokenLine) : WebConfig();
  for (const WebConfigProblem& p : problems) {
    zlog(LOG_ERR, "%s line %d: %s", kWebPath, p.line, p.text.c_str());
    reportFileProblem(kWebPath, p.line, false, p.text);
  }
  if (!tokenLine) {
    c.token = makeToken();
    if (c.token.empty()) {
      zlog(LOG_ERR, "no web token could be made (random source error %d): the API refuses every request", errno);
    } else {
      RemountWindow window;
      if (window.isOpen() && writeFileAtomic(kWebPath, formatWebConfig(c)) == 0)
        zlog(LOG_INFO, "%s written with a new token (shown on the information screen)", kWebPath);
      else
        zlog(LOG_ERR, "%s not written: the new web token lasts until the next start", kWebPath);
    }
  }
  {
    std::lock_guard<std::mutex> lk(g_infoMut);
    if (!c.enabled) {
      g_info = "off";
    } else {
      // Short enough for the screen's row: address, port, token, TLS.
      g_info = (c.listen.empty() ? std::string("any") : c.listen) + ":" + std::to_string(c.port) + "  " +
               (c.token.empty() ? std::string("(no token)") : c.token) + (c.cert.empty() ? "" : "  https");
    }
  }
  return c;
}

std::string webInfoText() {
  std::lock_guard<std::mutex> lk(g_infoMut);
  return g_info;
}
