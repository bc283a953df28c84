// remote.txt: read at start-up, then written back and read again. Whatever
// the file holds, the unit ends with no key or a 12-character one, a
// listen address that is a dotted IPv4 address or none, the file it
// writes reads back the same with no problem, and no problem text
// carries a key line's value.
#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/remote_config.h"
#include "core/works.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzzWriteFile("/opt/set/remote.txt", data, size);
  loadRemoteConfig(w);
  const std::string key = currentAccessKey(w);
  if (!key.empty() && !validAccessKey(key)) fuzzFail("key not 12 printable characters", key);
  struct in_addr a;
  if (w->listenAddr[0] != '\0' && inet_pton(AF_INET, w->listenAddr, &a) != 1)
    fuzzFail("listen address not dotted IPv4", w->listenAddr);

  std::vector<RemoteConfigProblem> problems;
  bool keyLine = false;
  RemoteConfig first = parseRemoteConfig(text, &problems, &keyLine);
  for (const RemoteConfigProblem& p : problems)
    if (!first.key.empty() && p.text.find(first.key) != std::string::npos) fuzzFail("a problem shows the key", p.text);
  if (key.empty()) return 0;
  if (saveRemoteConfig(w) != 0) fuzzFail("remote.txt not written", "");
  const std::string written = fuzzReadFile("/opt/set/remote.txt");
  problems.clear();
  RemoteConfig again = parseRemoteConfig(written, &problems, &keyLine);
  if (!problems.empty() || again.key != key || again.listen != w->listenAddr ||
      again.tls != (w->linkTls.load() != 0))
    fuzzFail("remote.txt round trip differs", written);
  return 0;
}
