// The web server's operator file "/opt/set/web.txt": one "name value" line
// each ("enabled", "port", "listen", "token", "cert", "certkey"); a missing
// line keeps its default. The token is the unit's own, made at the first
// start (or when its line is missing) from the rooted "/dev/urandom".
#pragma once
#include <string>
#include <vector>

struct WebConfig {
  bool enabled = true;
  int port = 8080;      // 0: any free port (tests; the log names it)
  std::string listen;   // dotted IPv4 address; "" = every address
  std::string token;    // 32 hex digits; "" when the file holds no usable one
  std::string cert;     // HTTPS certificate file (PEM), optional
  std::string certkey;  // its private key file, optional (default: inside cert)
};

struct WebConfigProblem {
  int line = 0;  // 1-based
  std::string text;
};

constexpr size_t kWebFileMax = 4096;
constexpr int kWebTokenLen = 32;

// Reads the text of web.txt (at most kWebFileMax bytes are looked at).
// Lines that parse are kept, every other one is a problem; no value is
// ever echoed into a problem (a token line may be a typo of the real
// token). *tokenLine is set when a "token" line was there, usable or not.
WebConfig parseWebConfig(const std::string& text, std::vector<WebConfigProblem>* problems, bool* tokenLine);
std::string formatWebConfig(const WebConfig& c);
bool validWebToken(const std::string& token);
// Turns 16 random bytes into the token's 32 lower-case hex digits.
std::string webTokenFromBytes(const unsigned char* bytes, int n);

// Start-up: reads web.txt; without it, or without a token line, a fresh
// token is made and the file written atomically in the remount window
// (its other lines kept). The result is also kept for webInfoText.
WebConfig loadWebConfig();
// The address and token line of the information screen ("" until loaded).
std::string webInfoText();
