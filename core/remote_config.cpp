#include "core/remote_config.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/file_problems.h"
#include "core/name_value_lines.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/net.h"

const char kFactoryAccessKey[] = "velutrinaspo";

namespace {

const char kRemotePath[] = "/opt/set/remote.txt";
const size_t kLineMax = 200;
const char kKeyChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool parseOnOff(const std::string& v, bool* out) {
  if (v == "on" || v == "1" || v == "yes") *out = true;
  else if (v == "off" || v == "0" || v == "no") *out = false;
  else return false;
  return true;
}

// Reads at most kRemoteFileMax bytes; false when the file is missing.
bool readRemoteFile(std::string* text) {
  FILE* f = openRooted(kRemotePath, "r");
  if (f == nullptr) return false;
  char buf[kRemoteFileMax];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  text->assign(buf, n);
  return true;
}

void applyToWorks(Works* w, const RemoteConfig& c) {
  setAccessKey(w, c.key);
  snprintf(w->listenAddr, sizeof w->listenAddr, "%s", c.listen.c_str());
  w->linkTls = c.tls ? 1 : 0;
}

RemoteConfig fromWorks(Works* w) {
  RemoteConfig c;
  c.key = currentAccessKey(w);
  c.listen = w->listenAddr;
  c.tls = w->linkTls.load() != 0;
  return c;
}

int writeRemoteFile(const RemoteConfig& c) {
  RemountWindow window;
  if (!window.isOpen()) return -1;
  if (writeFileAtomic(kRemotePath, formatRemoteConfig(c)) != 0) {
    zlog(LOG_ERR, "can't write %s error %d", kRemotePath, errno);
    return -1;
  }
  return 0;
}

}  // namespace

bool validAccessKey(const std::string& key) {
  if (key.size() != static_cast<size_t>(kAccessKeyLen)) return false;
  for (char ch : key)
    if (ch <= ' ' || ch > '~') return false;
  return true;
}

RemoteConfig parseRemoteConfig(const std::string& textIn, std::vector<RemoteConfigProblem>* problems,
                               bool* keyLine) {
  RemoteConfig c;
  if (keyLine != nullptr) *keyLine = false;
  auto problem = [problems](int line, const std::string& t) {
    if (problems != nullptr && problems->size() < 100) problems->push_back({line, t});
  };
  forEachNameValueLine(textIn, kRemoteFileMax, kLineMax, problem, [&](const NameValueLine& nv) {
    const int lineNo = nv.line;
    const std::string& name = nv.name;
    const std::string& value = nv.value;
    if (name == "key") {
      if (keyLine != nullptr) *keyLine = true;
      if (validAccessKey(value)) {
        c.key = value;
      } else {
        c.key.clear();
        problem(lineNo, "key: not 12 characters without blanks; the link refuses every peer until it is mended");
      }
    } else if (name == "listen") {
      struct in_addr a;
      if (value == "any" || value == "*" || value == "0.0.0.0") c.listen.clear();
      else if (inet_pton(AF_INET, value.c_str(), &a) == 1) c.listen = value;
      else problem(lineNo, "listen: not a dotted IPv4 address, every address kept");
    } else if (name == "tls") {
      bool on = false;
      if (parseOnOff(value, &on)) c.tls = on;
      else problem(lineNo, "tls: neither on nor off, off kept");
    } else {
      problem(lineNo, "not a known name (key, listen, tls), ignored");
    }
  });
  return c;
}

std::string formatRemoteConfig(const RemoteConfig& c) {
  std::string s = "key " + c.key + "\n";
  if (!c.listen.empty()) s += "listen " + c.listen + "\n";
  s += std::string("tls ") + (c.tls ? "on" : "off") + "\n";
  return s;
}

int keyCharsFromRandom(const uint8_t* bytes, int n, std::string& out, int want) {
  int used = 0;
  while (used < n && static_cast<int>(out.size()) < want) {
    uint8_t b = bytes[used++];
    if (b >= 248) continue;  // 248 = 4 x 62: above it the mapping would favour some characters
    out += kKeyChars[b % 62];
  }
  return used;
}

std::string makeAccessKey() {
  std::string key;
  // About 3 % of bytes are skipped; a source that keeps giving only
  // skipped bytes is broken, and the bound ends the loop.
  for (int round = 0; round < 16 && static_cast<int>(key.size()) < kAccessKeyLen; round++) {
    uint8_t buf[32];
    if (netRandomBytes(buf, sizeof buf) != static_cast<int>(sizeof buf)) return "";
    keyCharsFromRandom(buf, sizeof buf, key, kAccessKeyLen);
  }
  return static_cast<int>(key.size()) == kAccessKeyLen ? key : "";
}

std::string currentAccessKey(Works* w) {
  std::lock_guard<std::mutex> lk(w->keyMut);
  return std::string(w->accessKey);
}

void setAccessKey(Works* w, const std::string& key) {
  std::lock_guard<std::mutex> lk(w->keyMut);
  snprintf(w->accessKey, sizeof w->accessKey, "%s", key.c_str());
}

int loadRemoteConfig(Works* w) {
  std::string text;
  const bool exists = readRemoteFile(&text);
  std::vector<RemoteConfigProblem> problems;
  bool keyLine = false;
  RemoteConfig c = exists ? parseRemoteConfig(text, &problems, &keyLine) : RemoteConfig();
  for (const RemoteConfigProblem& p : problems) {
    zlog(LOG_ERR, "%s line %d: %s", kRemotePath, p.line, p.text.c_str());
    reportFileProblem(kRemotePath, p.line, false, p.text);
  }
  if (!keyLine) {
    c.key = makeAccessKey();
    if (c.key.empty()) {
      zlog(LOG_ERR, "no access key could be made (random source error %d): the remote link refuses every peer",
           errno);
    } else if (writeRemoteFile(c) == 0) {
      zlog(LOG_INFO, "%s written with a new access key (shown on the information screen)", kRemotePath);
    } else {
      zlog(LOG_ERR, "%s not written: the new access key lasts until the next start", kRemotePath);
    }
  } else if (c.key == kFactoryAccessKey) {
    zlog(LOG_ERR, "%s holds the factory access key: anyone who knows the product can use this link", kRemotePath);
  }
  applyToWorks(w, c);
  zlog(LOG_INFO, "remote link: listen %s, tls %s, %s", c.listen.empty() ? "every address" : c.listen.c_str(),
       c.tls ? "on" : "off", c.key.empty() ? "no access key" : "access key set");
  return c.key.empty() ? -1 : 0;
}

int saveRemoteConfig(Works* w) { return writeRemoteFile(fromWorks(w)); }

int renewAccessKey(Works* w) {
  RemoteConfig c = fromWorks(w);
  c.key = makeAccessKey();
  if (c.key.empty()) {
    zlog(LOG_ERR, "no new access key: random source error %d", errno);
    return -1;
  }
  if (writeRemoteFile(c) != 0) {
    zlog(LOG_ERR, "new access key not saved: the old one stays");
    return -1;
  }
  setAccessKey(w, c.key);
  w->keyGeneration.fetch_add(1);
  zlog(LOG_INFO, "new access key saved in %s", kRemotePath);
  return 0;
}

void checkRemoteFile(const std::string& absPath, FILE* f) {
  char buf[kRemoteFileMax + 1];
  size_t n = fread(buf, 1, sizeof buf, f);
  std::vector<RemoteConfigProblem> problems;
  bool keyLine = false;
  parseRemoteConfig(std::string(buf, n), &problems, &keyLine);
  for (const RemoteConfigProblem& p : problems) reportFileProblem(absPath, p.line, false, p.text);
  if (!keyLine) reportFileProblem(absPath, 0, false, "no key line: start-up makes a new key");
}
