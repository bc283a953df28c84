#include "tuner/tuner_config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tuner/conf_lines.h"

TunerConfig tunerConfig;

TunerConfig::TunerConfig() {
  for (int k = 0; k < 9; ++k) {
    capBitPf[k] = 10.0 * (1 << k);
    indBitUh[k] = 0.05 * (1 << k);
  }
}

namespace {

// A number as the whole token, finite and inside lo..hi.
bool number(const std::string& t, double lo, double hi, double* out) {
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = strtod(t.c_str(), &end);
  if (errno != 0 || end == t.c_str() || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// One line into cfg; false leaves cfg untouched.
bool parseLine(const std::vector<std::string>& tok, TunerConfig* cfg) {
  const std::string& key = tok[0];
  size_t n = tok.size() - 1;
  double v = 0;
  if (key == "search") {
    if (n != 1) return false;
    if (tok[1] == "table") cfg->search = TUNE_SEARCH_TABLE;
    else if (tok[1] == "rescue") cfg->search = TUNE_SEARCH_RESCUE;
    else if (tok[1] == "model") cfg->search = TUNE_SEARCH_MODEL;
    else return false;
    return true;
  }
  if (key == "cbits" || key == "lbits") {
    if (n != 9) return false;
    bool cap = key == "cbits";
    double vals[9];
    for (int k = 0; k < 9; ++k)
      if (!number(tok[k + 1], cap ? 0.01 : 0.0001, cap ? 100000.0 : 1000.0, &vals[k])) return false;
    memcpy(cap ? cfg->capBitPf : cfg->indBitUh, vals, sizeof vals);
    return true;
  }
  struct Scalar {
    const char* name;
    double* field;
    double lo, hi;
  } scalars[] = {
      {"stray_tx", &cfg->strayTxPf, 0, 1000},  {"stray_ant", &cfg->strayAntPf, 0, 1000},
      {"wiring", &cfg->wiringUh, 0, 10},       {"q_l", &cfg->qL, 5, 100000},
      {"q_c", &cfg->qC, 5, 1000000},
  };
  for (const Scalar& s : scalars) {
    if (key != s.name) continue;
    if (n != 1 || !number(tok[1], s.lo, s.hi, &v)) return false;
    *s.field = v;
    return true;
  }
  return false;
}

}  // namespace

int ParseTunerConfig(FILE* f, TunerConfig* cfg) {
  std::string line;
  bool tooLong = false;
  int rejected = 0, lineNo = 0;
  while (ReadConfLine(f, line, &tooLong)) {
    ++lineNo;
    if (line.empty() || line[0] == ';') continue;
    std::istringstream in(line);
    std::vector<std::string> tok;
    for (std::string t; in >> t;) tok.push_back(t);
    if (tok.empty()) continue;
    if (tooLong || !parseLine(tok, cfg)) {
      fprintf(stderr, "tuner.txt: line %d ignored: %s\n", lineNo, line.c_str());
      ++rejected;
    }
  }
  return rejected;
}

void LoadTunerConfig() {
  TunerConfig cfg;
  FILE* f = fopen(rootPath("/opt/set/tuner.txt").c_str(), "r");
  if (f != nullptr) {
    ParseTunerConfig(f, &cfg);
    fclose(f);
  }
  tunerConfig = cfg;
  static const char* names[] = {"table", "rescue", "model"};
  fprintf(stderr, "tuner.txt: search %s\n", names[cfg.search]);
}
