// The remote link's operator file "/opt/set/remote.txt": the unit's own
// access key, the address the station listens on and whether the link runs
// over TLS. One "name value" line each ("key", "listen", "tls"); a missing
// line keeps its default. No key is built in: a unit without the file
// makes its own at the first start.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Works;

// The length the wire format carries (the key frame's short text).
constexpr int kAccessKeyLen = 12;
// The key every unit used to share. It is a key like any other now: only
// an owner who writes it into remote.txt gets it.
extern const char kFactoryAccessKey[];

struct RemoteConfig {
  std::string key;     // "" when the file holds no usable key
  std::string listen;  // dotted IPv4 address; "" = every address
  bool tls = false;
};

struct RemoteConfigProblem {
  int line = 0;  // 1-based
  std::string text;
};

// Reads the text of remote.txt: every line that parses is kept, every
// other one is a problem (no value of the file is ever echoed: a key line
// may be a typo of the real key). *keyLine is set when a "key" line was
// there, usable or not. At most kRemoteFileMax bytes are looked at.
constexpr size_t kRemoteFileMax = 4096;
RemoteConfig parseRemoteConfig(const std::string& text, std::vector<RemoteConfigProblem>* problems,
                               bool* keyLine);
// The file's text for a config ("key", then "listen" when set, "tls").
std::string formatRemoteConfig(const RemoteConfig& c);
// 12 printable characters without blanks.
bool validAccessKey(const std::string& key);

// Turns random bytes into key characters (letters and digits) by
// rejection: a byte of 248 or more is skipped, the rest map 4 to 1 onto
// the 62 characters, so every character is equally likely. Appends until
// out holds `want` characters or the bytes run out; returns the count of
// bytes used.
int keyCharsFromRandom(const uint8_t* bytes, int n, std::string& out, int want);
// A fresh key from the rooted "/dev/urandom"; "" when it cannot be read.
std::string makeAccessKey();

// Start-up: reads remote.txt into w (key, listen address, TLS). Without
// the file, or with a file that has no key line, a fresh key is made and
// the file written (its other lines kept). Returns 0, or -1 when the unit
// has no usable key (the station then refuses every peer and the operator
// unit connects nowhere).
int loadRemoteConfig(Works* w);
// Writes w's remote settings to remote.txt, atomically inside the remount
// window. 0, or -1 when it could not be written.
int saveRemoteConfig(Works* w);
// A new random key for this unit (service keyboard): saved, shown on the
// information screen, and the current link ends so that the next one
// uses it. 0, or -1 (the old key stays) when no key could be made or saved.
int renewAccessKey(Works* w);

// The key as the link uses it, copied under the key lock (the keyboard
// may change it while a link thread reads it).
std::string currentAccessKey(Works* w);
void setAccessKey(Works* w, const std::string& key);

// `zelpyx --check` for remote.txt.
void checkRemoteFile(const std::string& absPath, FILE* f);
