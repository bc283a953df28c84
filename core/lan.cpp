#include "core/lan.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"

char IP[32], NetMask[32], Gateway[32], DNS[32];
char MAC[32];
uint8_t IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
uint8_t Gateway_none, DNS_none;

static const char* kInterfaces = "/etc/network/interfaces";
// The file is a few dozen lines; anything far larger is not ours to rewrite.
static const size_t kMaxLines = 1000;
static const size_t kMaxBytes = 64 * 1024;

// Reads the whole file into lines (line ends kept). Returns 0, -1 when it
// cannot be opened (errno kept), -2 when it is larger than the bounds.
static int readLines(std::vector<std::string>& lines) {
  lines.clear();
  FILE* f = openRooted(kInterfaces, "r");
  if (f == nullptr) return -1;
  std::string cur;
  size_t total = 0;
  int rc = 0;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (++total > kMaxBytes) { rc = -2; break; }
    cur += static_cast<char>(c);
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (lines.size() > kMaxLines) { rc = -2; break; }
    }
  }
  if (rc == 0 && !cur.empty()) lines.push_back(cur);
  if (rc == 0 && lines.size() > kMaxLines) rc = -2;
  fclose(f);
  return rc;
}

static void copyValue(char* dst, const std::string& v) {
  snprintf(dst, 32, "%s", v.c_str());
}

int SplitAddr(const char* text, uint8_t* bytes) {
  if (text == nullptr || text[0] == '\0') return 0;
  int vals[4];
  int n = 0;
  const char* p = text;
  while (true) {
    if (n == 4) return -1;  // a fifth part
    long v = strtol(p, nullptr, 10);  // atoi rules without its overflow
    if (v < 0 || v > 255) return -1;
    vals[n++] = static_cast<int>(v);
    const char* dot = strchr(p, '.');
    if (dot == nullptr) break;
    p = dot + 1;
  }
  for (int i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(vals[i]);
  return 0;
}

void SplitAddrInv(char* text, const uint8_t* bytes) {
  snprintf(text, 16, "%i.%i.%i.%i", bytes[0], bytes[1], bytes[2], bytes[3]);
}

static void splitLogged(const char* name, const char* text, uint8_t* bytes) {
  if (SplitAddr(text, bytes) != 0) zlog(LOG_ERR, "bad %s address in %s: %s", name, kInterfaces, text);
}

int ReadLanParam() {
  DNS[0] = '\0';
  Gateway[0] = '\0';
  std::vector<std::string> lines;
  int rc = readLines(lines);
  if (rc == -1) {
    fprintf(stderr, "Error opening network connection configuration file. CODE: %d\n", errno);
    return -1;
  }
  if (rc == -2) zlog(LOG_ERR, "%s too large: only its first %zu lines read", kInterfaces, lines.size());
  IP[0] = NetMask[0] = Gateway[0] = DNS[0] = '\0';
  memset(MAC, 0, sizeof MAC);

  for (std::string line : lines) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    size_t s = 0;
    while (s < line.size() && isblank(static_cast<unsigned char>(line[s]))) s++;
    size_t e = s;
    while (e < line.size() && !isblank(static_cast<unsigned char>(line[e]))) e++;
    std::string key = line.substr(s, e - s);
    std::string value = e < line.size() ? line.substr(e + 1) : std::string();
    if (key == "address") {
      copyValue(IP, value);
      fprintf(stderr, "ip: %s\n", IP);
    } else if (key == "netmask") {
      copyValue(NetMask, value);
      fprintf(stderr, "NetMask: %s\n", NetMask);
    } else if (key == "gateway") {
      copyValue(Gateway, value);
    } else if (key == "nameserver") {
      copyValue(DNS, value);
    }
  }

  splitLogged("ip", IP, IP_v);
  splitLogged("netmask", NetMask, NetMask_v);
  if (Gateway[0] != '\0') {
    splitLogged("gateway", Gateway, Gateway_v);
    Gateway_none = 0;
    fprintf(stderr, "gateway: %s\n", Gateway);
  } else {
    Gateway_none = 1;
  }
  if (DNS[0] != '\0') {
    splitLogged("dns", DNS, DNS_v);
    DNS_none = 0;
    fprintf(stderr, "DNS: %s\n", DNS);
  } else {
    DNS_none = 1;
  }
  fprintf(stderr, "ReadLanParam DNS_none=%d Gateway_none=%d\n", DNS_none, Gateway_none);
  return 0;
}

static std::string addrLine(const char* key, const uint8_t* v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s %d.%d.%d.%d\n", key, v[0], v[1], v[2], v[3]);
  return buf;
}

static bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

int SaveLanParam() {
  // Every way out, the failed ones too, leaves the root read-only again.
  RemountWindow window(true, false, RemountWindow::Root);
  if (!window.isOpen()) return -1;
  std::vector<std::string> lines;
  int rc = readLines(lines);
  if (rc == -1) {
    fprintf(stderr, "Error opening network connection configuration file. CODE: %d\n", errno);
    return -1;
  }
  if (rc == -2) {
    // Rewriting a part of it would drop the rest.
    zlog(LOG_ERR, "%s too large to rewrite: left unchanged", kInterfaces);
    return -1;
  }

  std::string out;
  for (const std::string& line : lines) {
    if (startsWith(line, "address")) {
      std::string nl = addrLine("address", IP_v);
      out += nl;
      fprintf(stderr, "--->new ip: %s \n", nl.c_str());
    } else if (startsWith(line, "netmask")) {
      out += addrLine("netmask", NetMask_v);
    } else if (startsWith(line, "gateway")) {
      out += Gateway_none ? std::string("gateway \n") : addrLine("gateway", Gateway_v);
    } else if (startsWith(line, "nameserver")) {
      out += DNS_none ? std::string("nameserver \n") : addrLine("nameserver", DNS_v);
    } else {
      out += line;
    }
  }
  if (writeFileAtomic(kInterfaces, out) != 0) {
    int e = errno;
    zlog(LOG_ERR, "can't write %s error %d", kInterfaces, e);
    fprintf(stderr, "can't write %s error %d\n", kInterfaces, e);
    return -1;
  }
  // The root file system goes back to read-only, as it was before the edit.
  window.close();
  // Bringing every interface down and up waits for DHCP: more than a remount.
  return runCommand("sudo ifdown --exclude=lo -a && sudo ifup --exclude=lo -a", 60000);
}
