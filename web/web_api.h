// The web API's plain decisions: which route a request names, what a JSON
// body asks for, the status object, the tune memory as JSON. No sockets
// here: the server (web/web_server.cpp) only moves bytes, and tests and
// the fuzz target call these directly.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/panel_events.h"

struct Works;

enum class WebRouteKind {
  NotFound,
  MethodNotAllowed,
  Page,       // GET /
  OpenApi,    // GET /api/v1/openapi.json
  Status,     // GET /api/v1/status
  Events,     // GET /api/v1/events (WebSocket)
  PanelPng,   // GET /api/v1/panel.png
  Memory,     // GET /api/v1/memory
  Key,        // POST /api/v1/keys/{1..6}
  Tune,       // POST /api/v1/tune
  TuneStop,   // POST /api/v1/tune/stop
  Standby,    // POST /api/v1/standby
  Antenna,    // POST /api/v1/antenna
  Tuner,      // POST /api/v1/tuner
  ErrorReset, // POST /api/v1/errors/reset
  Attenuator, // POST /api/v1/attenuator
};

struct WebRoute {
  WebRouteKind kind = WebRouteKind::NotFound;
  int key = 0;  // Key: 1..6
  bool api = false;  // under /api/: needs the token
};

// Bodies larger than this are refused (413) before they are read.
constexpr size_t kWebBodyMax = 1024;

WebRoute RouteWebRequest(const std::string& method, const std::string& path);

// The panel event a POST asks for; false (with *error) for a body that
// does not say what the route needs. An empty body is "{}".
bool ParseWebAction(const WebRoute& r, const std::string& body, PanelEvent* ev, std::string* error);

// "antenna=1..3&bank=N" (bank optional: the active one). False with *error.
bool ParseMemoryQuery(const std::string& query, int activeBank, int* antenna, int* bank, std::string* error);
// The token from an "Authorization: Bearer X" header value, "" if none.
std::string BearerToken(const char* header);
// The value of name in a query string ("" if absent); no decoding beyond
// what a hex token needs.
std::string QueryParam(const std::string& query, const std::string& name);
// Compares in time independent of where the strings differ; an empty
// expected token matches nothing.
bool WebTokenMatches(const std::string& expected, const std::string& given);

// Everything the status object carries, gathered from the station.
struct WebError {
  int code = 0;
  std::string text;
};
struct WebStatus {
  long frequencyHz = 0;
  std::string band;
  std::string interfaceName;
  bool transmitting = false;
  double forwardW = 0, reflectedW = 0, inputW = 0, swr = 0;
  double tempBoardC = 0, tempHeatsinkC = 0;
  double supplyV = 0, currentA = 0;
  bool supplyKnown = true;  // the panel shows dashes for a reading it cannot trust
  int antenna = 1;
  int attenuatorDb = 0;
  bool standby = false;
  std::string tuner;    // "tuned", "bypass", "tuning"
  std::string network;  // "CL", "LC", "bypass", "none"
  int c = 0, l = 0;
  int bank = 0;
  std::vector<WebError> errors;
  bool linkAmp = false, linkRadio = false, linkRemote = false;
};

// Reads the station's state (any thread: snapshots, atomics and the error
// list under its lock only).
WebStatus CollectWebStatus(Works* w);
std::string WebStatusJson(const WebStatus& s);
// One stored tuning of the tune memory.
struct WebMemorySlot {
  int slot = 0;
  long lowHz = 0, highHz = 0;
  int mode = 0, l = 0, c = 0;
};
// Parses a tune-memory file's text (lines "slot freq valid mode L C");
// lines that do not parse are skipped. At most kTuneSlots entries.
std::vector<WebMemorySlot> ParseWebMemory(const std::string& text);
std::string WebMemoryJson(int antenna, int bank, const std::vector<WebMemorySlot>& slots);
// Reads the rooted tune-memory file of (bank, antenna 1..3) and answers it.
std::string ReadWebMemory(int bank, int antenna);

// {"error": text}; a refusal: {"error": "refused", "reason": reason}.
std::string WebErrorJson(const std::string& text);
std::string WebRefusalJson(const std::string& reason);
// The OpenAPI 3 document of version 1.
const std::string& WebOpenApiJson();
