#include "web/web_api.h"

#include <openssl/crypto.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "amp/amp_status.h"
#include "amp/error_list.h"
#include "core/setup_record.h"
#include "core/works.h"
#include "menus/panel_snapshot.h"
#include "screens/utility.h"
#include "platform/files.h"
#include "tuner/tune_memory.h"
#include "web/web_server.h"

using nlohmann::json;

namespace {

constexpr int kBanksMax = 20;  // banks 0..19 have files of their own

// One decimal place is what the panel shows; JSON keeps it short too.
double round1(double v) { return std::isfinite(v) ? std::round(v * 10.0) / 10.0 : 0.0; }
double round2(double v) { return std::isfinite(v) ? std::round(v * 100.0) / 100.0 : 0.0; }

const char* interfaceName(int mode) {
  switch (mode) {
    case 0: return "generic";
    case 1: return "zel";
    case 2: return "ft817";
    case 3: return "hamlib";
    default: return "none";
  }
}

bool parseInt(const std::string& s, long lo, long hi, long* out) {
  if (s.empty() || s.size() > 6) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  long v = strtol(s.c_str(), nullptr, 10);
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

// The body as a JSON object ("" is {}); false when it is anything else.
bool bodyObject(const std::string& body, json* out, std::string* error) {
  if (body.size() > kWebBodyMax) {
    *error = "body too long";
    return false;
  }
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    *out = json::object();
    return true;
  }
  json j = json::parse(body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = "body is not a JSON object";
    return false;
  }
  *out = std::move(j);
  return true;
}

bool boolField(const json& j, const char* name, bool* out, std::string* error) {
  auto it = j.find(name);
  if (it == j.end() || !it->is_boolean()) {
    *error = std::string("\"") + name + "\" must be true or false";
    return false;
  }
  *out = it->get<bool>();
  return true;
}

bool intField(const json& j, const char* name, long lo, long hi, long* out, std::string* error) {
  auto it = j.find(name);
  if (it == j.end() || !it->is_number_integer() || it->get<long long>() < lo || it->get<long long>() > hi) {
    *error = std::string("\"") + name + "\" must be a whole number " + std::to_string(lo) + ".." +
             std::to_string(hi);
    return false;
  }
  *out = static_cast<long>(it->get<long long>());
  return true;
}

}  // namespace

WebRoute RouteWebRequest(const std::string& method, const std::string& path) {
  WebRoute r;
  const bool get = method == "GET" || method == "HEAD";
  const bool post = method == "POST";
  auto want = [&](WebRouteKind k, bool methodOk) {
    r.kind = methodOk ? k : WebRouteKind::MethodNotAllowed;
    return r;
  };
  if (path == "/" || path == "/index.html") return want(WebRouteKind::Page, get);
  static const char kApi[] = "/api/";
  if (path.compare(0, sizeof kApi - 1, kApi) != 0) return r;
  r.api = true;
  static const char kV1[] = "/api/v1/";
  if (path.compare(0, sizeof kV1 - 1, kV1) != 0) return r;
  const std::string p = path.substr(sizeof kV1 - 1);
  if (p == "openapi.json") return want(WebRouteKind::OpenApi, get);
  if (p == "status") return want(WebRouteKind::Status, get);
  if (p == "events") return want(WebRouteKind::Events, method == "GET");
  if (p == "panel.png") return want(WebRouteKind::PanelPng, get);
  if (p == "memory") return want(WebRouteKind::Memory, get);
  if (p == "tune") return want(WebRouteKind::Tune, post);
  if (p == "tune/stop") return want(WebRouteKind::TuneStop, post);
  if (p == "standby") return want(WebRouteKind::Standby, post);
  if (p == "antenna") return want(WebRouteKind::Antenna, post);
  if (p == "tuner") return want(WebRouteKind::Tuner, post);
  if (p == "errors/reset") return want(WebRouteKind::ErrorReset, post);
  if (p == "attenuator") return want(WebRouteKind::Attenuator, post);
  if (p.size() == 6 && p.compare(0, 5, "keys/") == 0 && p[5] >= '1' && p[5] <= '6') {
    r.key = p[5] - '0';
    return want(WebRouteKind::Key, post);
  }
  return r;
}

bool ParseWebAction(const WebRoute& r, const std::string& body, PanelEvent* ev, std::string* error) {
  json j;
  if (!bodyObject(body, &j, error)) return false;
  *ev = PanelEvent();
  bool flag = false;
  long n = 0;
  switch (r.kind) {
    case WebRouteKind::Key: {
      if (r.key < 1 || r.key > 6) {
        *error = "no such key";
        return false;
      }
      bool isLong = false;
      if (j.contains("long") && !boolField(j, "long", &isLong, error)) return false;
      ev->act = PanelAct::Key;
      ev->a = r.key;
      ev->b = isLong ? 1 << (r.key - 1) : 0;  // a long press: the held mask, as the buttons give it
      return true;
    }
    case WebRouteKind::Tune:
      ev->act = PanelAct::Tune;
      return true;
    case WebRouteKind::TuneStop:
      ev->act = PanelAct::TuneStop;
      return true;
    case WebRouteKind::ErrorReset:
      ev->act = PanelAct::ErrorReset;
      return true;
    case WebRouteKind::Standby:
      if (!boolField(j, "standby", &flag, error)) return false;
      ev->act = PanelAct::Standby;
      ev->a = flag ? 1 : 0;
      return true;
    case WebRouteKind::Tuner:
      if (!boolField(j, "bypass", &flag, error)) return false;
      ev->act = PanelAct::Bypass;
      ev->a = flag ? 1 : 0;
      return true;
    case WebRouteKind::Antenna:
      if (!intField(j, "antenna", 1, 3, &n, error)) return false;
      ev->act = PanelAct::Antenna;
      ev->a = static_cast<int>(n);
      return true;
    case WebRouteKind::Attenuator:
      if (!intField(j, "attenuator_db", 0, 5, &n, error)) return false;
      for (int i = 0; i < 4; i++)
        if (kAttStepsDb[i] == n) {
          ev->act = PanelAct::Attenuator;
          ev->a = i;
          return true;
        }
      *error = "\"attenuator_db\" must be 0, 2, 3 or 5";
      return false;
    default:
      *error = "not an action";
      return false;
  }
}

std::string QueryParam(const std::string& query, const std::string& name) {
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string part = query.substr(at, end - at);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
      return part.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

bool ParseMemoryQuery(const std::string& query, int activeBank, int* antenna, int* bank, std::string* error) {
  long a = 0, b = activeBank;
  if (!parseInt(QueryParam(query, "antenna"), 1, 3, &a)) {
    *error = "antenna must be 1..3";
    return false;
  }
  const std::string bs = QueryParam(query, "bank");
  if (!bs.empty() && !parseInt(bs, 0, kBanksMax - 1, &b)) {
    *error = "bank must be 0..19";
    return false;
  }
  *antenna = static_cast<int>(a);
  *bank = static_cast<int>(b);
  return true;
}

std::string BearerToken(const char* header) {
  if (header == nullptr) return "";
  static const char kBearer[] = "Bearer ";
  if (strncmp(header, kBearer, sizeof kBearer - 1) != 0) return "";
  std::string t = header + sizeof kBearer - 1;
  size_t e = t.find_last_not_of(" \t");
  return e == std::string::npos ? "" : t.substr(0, e + 1);
}

bool WebTokenMatches(const std::string& expected, const std::string& given) {
  if (expected.empty() || given.size() != expected.size()) return false;
  return CRYPTO_memcmp(expected.data(), given.data(), expected.size()) == 0;
}

WebStatus CollectWebStatus(Works* w) {
  WebStatus s;
  const AmpSnapshot a = GetAmpStatus(w);
  const PanelSnapshot p = GetPanelSnapshot(w);
  s.frequencyHz = w->freq.load();
  s.band = p.band;
  const int mode = w->ModeWorkIdx.load();
  s.interfaceName = interfaceName(mode);
  s.transmitting = (a.ampStatus[1] & 0x01) != 0;
  s.forwardW = round1(a.FWD);
  s.reflectedW = round1(a.pwrRefl);
  s.inputW = round1(a.pwrIn);
  s.swr = round2(a.SWR);
  s.tempBoardC = round1(a.tempBoard);
  s.tempHeatsinkC = round1(a.tempHeatsink);
  s.supplyV = round1(CalvTensVadcAmp(w, w->tinyAnswer[kTinyVamp].load()));
  s.supplyKnown = !(w->ampModel.load() != '1' && s.supplyV > 20);
  s.currentA = round1(a.paCurrentRaw / 4096.0 * 14.05);
  s.antenna = w->AntennaIdx.load() + 1;
  s.attenuatorDb = kAttStepsDb[p.attStep >= 0 && p.attStep < 4 ? p.attStep : 0];
  s.standby = w->AmpBypassFlag.load() != 0;
  s.tuner = w->TuneRunState.load() != 0 ? "tuning" : w->AtuBypassFlag.load() != 0 ? "bypass" : "tuned";
  const uint32_t word = w->Tuneval.load();
  switch (DecodeModoFromTuneval(word)) {
    case 1: s.network = "CL"; break;
    case 2: s.network = "LC"; break;
    case 3: s.network = "bypass"; break;
    default: s.network = "none"; break;
  }
  s.c = DecodeCapacitaFromTuneval(word);
  s.l = DecodeInduttanzaFromTuneval(word);
  s.bank = p.bank;
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    for (int i = 0; i < w->errCount && i < kErrCodes; i++) {
      const int code = w->errList[i];
      if (code < 0 || code >= kErrCodes) continue;
      const ErrDesc& d = w->errTable[code];
      std::string t = std::string(d.line1, strnlen(d.line1, sizeof d.line1));
      const std::string t2(d.line2, strnlen(d.line2, sizeof d.line2));
      if (!t2.empty()) t += " " + t2;
      s.errors.push_back({code, t});
    }
  }
  s.linkAmp = p.ampLink;
  SetupRec* setup = w->setup;
  switch (mode) {
    case 1: s.linkRadio = setup != nullptr && runByte(setup->zelRun) == '1' && w->failCode.load() != 3; break;
    case 2: s.linkRadio = setup != nullptr && runByte(setup->catSerRun) == '1' && w->failCode.load() != 2; break;
    case 3: s.linkRadio = runByte(w->hamRun) == '1' && ExistError(w, 25) == 0; break;
    default: s.linkRadio = false; break;
  }
  s.linkRemote = w->remoteConnected.load() != 0;
  return s;
}

std::string WebStatusJson(const WebStatus& s) {
  json j;
  j["frequency_hz"] = s.frequencyHz;
  j["band"] = s.band;
  j["interface"] = s.interfaceName;
  j["transmitting"] = s.transmitting;
  j["forward_w"] = s.forwardW;
  j["reflected_w"] = s.reflectedW;
  j["input_w"] = s.inputW;
  j["swr"] = s.swr;
  j["temperature_c"] = {s.tempBoardC, s.tempHeatsinkC};
  j["supply_v"] = s.supplyKnown ? json(s.supplyV) : json(nullptr);
  j["current_a"] = s.currentA;
  j["antenna"] = s.antenna;
  j["attenuator_db"] = s.attenuatorDb;
  j["standby"] = s.standby;
  j["tuner"] = s.tuner;
  j["tune_word"] = {{"network", s.network}, {"c", s.c}, {"l", s.l}};
  j["bank"] = s.bank;
  json errs = json::array();
  for (const WebError& e : s.errors) errs.push_back({{"code", e.code}, {"text", e.text}});
  j["errors"] = errs;
  j["links"] = {{"amplifier", s.linkAmp}, {"radio", s.linkRadio}, {"remote", s.linkRemote}};
  // Error texts come from fixed tables, but a replaced key line is the
  // amplifier's: never let a bad byte stop the answer.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<WebMemorySlot> ParseWebMemory(const std::string& text) {
  std::vector<WebMemorySlot> out;
  size_t at = 0;
  while (at < text.size() && out.size() < static_cast<size_t>(kTuneSlots)) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == ';' || line.size() > 120) continue;
    long v[6];
    const char* p = line.c_str();
    bool ok = true;
    for (int i = 0; i < 6 && ok; i++) {
      char* e = nullptr;
      v[i] = strtol(p, &e, 10);
      ok = e != p;
      p = e;
    }
    if (!ok || v[0] < 0 || v[0] >= kTuneSlots || v[2] <= 0 || v[3] < 0 || v[3] > 3 || v[4] < 0 || v[4] > 511 ||
        v[5] < 0 || v[5] > 511)
      continue;
    WebMemorySlot m;
    m.slot = static_cast<int>(v[0]);
    const long centre = AtuFreqfromIdx(m.slot);
    long segStart = 0, segEnd = 0;
    int first = 0, last = 0;
    AtuIdxSearch(centre, &segStart, &segEnd, &first, &last);
    const long step = last > first ? (segEnd - segStart) / (last - first) : 0;
    m.lowHz = centre - step / 2;
    m.highHz = centre + (step - step / 2) - 1;
    m.mode = static_cast<int>(v[3]);
    m.l = static_cast<int>(v[4]);
    m.c = static_cast<int>(v[5]);
    out.push_back(m);
  }
  return out;
}

std::string WebMemoryJson(int antenna, int bank, const std::vector<WebMemorySlot>& slots) {
  json j;
  j["antenna"] = antenna;
  j["bank"] = bank;
  json arr = json::array();
  static const char* const kNet[4] = {"none", "CL", "LC", "bypass"};
  for (const WebMemorySlot& m : slots)
    arr.push_back({{"slot", m.slot},
                   {"low_hz", m.lowHz},
                   {"high_hz", m.highHz},
                   {"network", kNet[m.mode & 3]},
                   {"c", m.c},
                   {"l", m.l},
                   {"swr", nullptr}});
  j["slots"] = arr;
  return j.dump();
}

std::string ReadWebMemory(int bank, int antenna) {
  std::string text;
  FILE* f = openRooted(AtuFileName(bank, antenna - 1), "r");
  if (f != nullptr) {
    // A full memory is 5000 lines of about 25 bytes.
    char buf[8192];
    size_t n;
    while (text.size() < 256 * 1024 && (n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
  }
  return WebMemoryJson(antenna, bank, ParseWebMemory(text));
}

std::string WebErrorJson(const std::string& text) {
  json j;
  j["error"] = text;
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string WebRefusalJson(const std::string& reason) {
  json j;
  j["error"] = "refused";
  j["reason"] = reason;
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

const std::string& WebOpenApiJson() {
  static const std::string doc(reinterpret_cast<const char*>(kWebOpenApi), kWebOpenApiSize);
  return doc;
}
