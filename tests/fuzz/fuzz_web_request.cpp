// What a web client sends, and web.txt: the input is split at its first
// two newlines into a method, a path and a body (the body also serves as
// the memory query, the Authorization header, the tune-memory text and
// web.txt). Whatever comes, an action names a real panel event with its
// value in range, the config round-trips, and no problem text carries
// the token.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/support/fuzz_station.h"
#include "web/web_api.h"
#include "web/web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  size_t a = in.find('\n');
  size_t b = a == std::string::npos ? std::string::npos : in.find('\n', a + 1);
  const std::string method = in.substr(0, a);
  const std::string path = a == std::string::npos ? "" : in.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  const std::string body = b == std::string::npos ? "" : in.substr(b + 1);

  const WebRoute r = RouteWebRequest(method, path);
  if (r.kind == WebRouteKind::Key && (r.key < 1 || r.key > 6)) fuzzFail("key out of range", path);
  PanelEvent ev;
  std::string error;
  if (ParseWebAction(r, body, &ev, &error)) {
    switch (ev.act) {
      case PanelAct::Key:
        if (ev.a != r.key || (ev.b != 0 && ev.b != 1 << (r.key - 1))) fuzzFail("key event", body);
        break;
      case PanelAct::Antenna:
        if (ev.a < 1 || ev.a > 3) fuzzFail("antenna", body);
        break;
      case PanelAct::Attenuator:
        if (ev.a < 0 || ev.a > 3) fuzzFail("attenuator step", body);
        break;
      case PanelAct::Standby:
      case PanelAct::Bypass:
        if (ev.a != 0 && ev.a != 1) fuzzFail("flag", body);
        break;
      case PanelAct::Tune:
      case PanelAct::TuneStop:
      case PanelAct::ErrorReset:
        break;
      default:
        fuzzFail("not a network action", body);
    }
  } else if (error.empty()) {
    fuzzFail("refusal without a reason", body);
  }
  int ant = 0, bank = 0;
  if (ParseMemoryQuery(body, 1, &ant, &bank, &error) && (ant < 1 || ant > 3 || bank < 0 || bank > 19))
    fuzzFail("memory query out of range", body);
  BearerToken(body.c_str());
  WebMemoryJson(1, 1, ParseWebMemory(body));

  std::vector<WebConfigProblem> problems;
  bool tokenLine = false;
  const WebConfig c = parseWebConfig(body, &problems, &tokenLine);
  if (!c.token.empty() && !validWebToken(c.token)) fuzzFail("token", c.token);
  for (const WebConfigProblem& p : problems)
    if (!c.token.empty() && p.text.find(c.token) != std::string::npos) fuzzFail("a problem shows the token", p.text);
  if (c.port < 0 || c.port > 65535) fuzzFail("port", body);
  problems.clear();
  const WebConfig again = parseWebConfig(formatWebConfig(c), &problems, &tokenLine);
  if (!problems.empty() && !c.token.empty()) fuzzFail("web.txt round trip has problems", formatWebConfig(c));
  if (again.port != c.port || again.listen != c.listen || again.token != c.token || again.enabled != c.enabled ||
      again.cert != c.cert || again.certkey != c.certkey)
    fuzzFail("web.txt round trip differs", formatWebConfig(c));
  return 0;
}
