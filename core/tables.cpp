// Band, fan and filter tables under /opt/set, and the temperature log.
#include "core/tables.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <syslog.h>
#include <vector>

#include "core/file_problems.h"
#include "core/num_conv.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

const char* kConfigPath = "/opt/set/config.txt";
const char* kVentolaPath = "/opt/set/ventola.txt";
const char* kFilterPath = "/opt/set/filter.txt";

// Whole lines of a file with one trailing "\n" and one "\r" removed.
bool readLines(const char* absPath, std::vector<std::string>& lines) {
  FILE* f = openRooted(absPath, "r");
  if (f == nullptr) return false;
  std::string cur;
  int c;
  bool any = false;
  while ((c = fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') {
      if (!cur.empty() && cur.back() == '\r') cur.pop_back();
      lines.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += static_cast<char>(c);
    }
  }
  if (any) {
    if (!cur.empty() && cur.back() == '\r') cur.pop_back();
    lines.push_back(cur);
  }
  fclose(f);
  return true;
}

bool isComment(const std::string& l) { return !l.empty() && l[0] == ';'; }

bool isBlank(const std::string& l) { return l.find_first_not_of(" \t") == std::string::npos; }

std::vector<std::string> fields(const std::string& l) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < l.size()) {
    while (i < l.size() && (l[i] == ' ' || l[i] == '\t')) i++;
    size_t j = i;
    while (j < l.size() && l[j] != ' ' && l[j] != '\t') j++;
    if (j > i) out.push_back(l.substr(i, j - i));
    i = j;
  }
  return out;
}

uint32_t asFreq(const std::vector<std::string>& f, size_t i) {
  return i < f.size() ? parseFreqClamped(f[i].c_str()) : 0;
}
float asFloat(const std::vector<std::string>& f, size_t i) {
  return i < f.size() ? strtof(f[i].c_str(), nullptr) : 0.0f;
}
int asInt(const std::vector<std::string>& f, size_t i, int lo = INT32_MIN, int hi = INT32_MAX) {
  return i < f.size() ? parseIntClamped(f[i].c_str(), lo, hi) : (0 < lo ? lo : (0 > hi ? hi : 0));
}

// P / R^2; a zero reading gives 0 rather than an infinite factor.
float factor(float p, float r) { return r == 0.0f ? 0.0f : p / (r * r); }

// Rows of config.txt and ventola.txt: comments and blank lines are no rows
// (a row of zeros there would break the frequency and temperature search).
std::vector<std::string> tableRows(const std::vector<std::string>& lines, std::vector<int>* lineNos) {
  std::vector<std::string> rows;
  for (size_t i = 0; i < lines.size(); i++)
    if (!isComment(lines[i]) && !isBlank(lines[i])) {
      rows.push_back(lines[i]);
      lineNos->push_back(static_cast<int>(i) + 1);
    }
  return rows;
}

// A short row reads its missing fields as 0: worth a warning, the table
// is still used.
void reportShortRow(const char* path, int line, size_t have, size_t want) {
  if (have >= want) return;
  reportFileProblem(path, line, false,
                    std::to_string(have) + " fields, " + std::to_string(want) + " expected: the missing ones read as 0");
}

}  // namespace

void ReadConfigFile(Works* w) {
  w->configCount = 0;
  std::vector<std::string> lines;
  if (!readLines(kConfigPath, lines)) {
    fprintf(stderr, "Config File not FOUND!!");
    zlog(LOG_ERR, "can't open /opt/set/config.txt");
    reportFileProblem(kConfigPath, 0, false, "missing: no band table");
    return;
  }
  std::vector<int> lineNos;
  std::vector<std::string> rows = tableRows(lines, &lineNos);
  fprintf(stderr, "N row Config File %d \n", static_cast<int>(rows.size()));
  std::unique_ptr<ConfigRow[]> tab(new ConfigRow[rows.size() ? rows.size() : 1]);
  for (size_t n = 0; n < rows.size(); n++) {
    std::vector<std::string> f = fields(rows[n]);
    reportShortRow(kConfigPath, lineNos[n], f.size(), 13);
    ConfigRow& r = tab[n];
    r.fStart = asFreq(f, 0);
    r.fEnd = asFreq(f, 1);
    r.calP = asFloat(f, 2);
    r.calR = asFloat(f, 3);
    r.K0 = factor(r.calP, r.calR);
    r.K1 = factor(asFloat(f, 4), asFloat(f, 5));
    r.K2 = factor(asFloat(f, 6), asFloat(f, 7));
    r.K3 = asFloat(f, 8);
    r.PWIN = asFloat(f, 9);
    r.Corrente = asFloat(f, 10);
    r.REFL = asFloat(f, 11);
    r.FWD = asFloat(f, 12);
    for (int k = 0; k < 5; k++) {
      r.tuneParA[k] = asInt(f, 13 + 2 * static_cast<size_t>(k));
      r.tuneParB[k] = asInt(f, 14 + 2 * static_cast<size_t>(k));
    }
    r.step = asInt(f, 23);
    fprintf(stderr,
            "->%u,%u,%02.07f,%02.07f,%02.07f,%02.07f (%02.02f,%02.02f) Soglie: PWIN %02.01f, Corrente: %02.01f, "
            "REFL: %02.01f, FWD: %02.01f\n",
            r.fStart, r.fEnd, r.K0, r.K1, r.K2, r.K3, r.calP, r.calR, r.PWIN, r.Corrente, r.REFL, r.FWD);
    fprintf(stderr, "\ttunepar: %d %d, %d %d, %d %d, %d %d, %d %d, step:%d\n", r.tuneParA[0], r.tuneParB[0],
            r.tuneParA[1], r.tuneParB[1], r.tuneParA[2], r.tuneParB[2], r.tuneParA[3], r.tuneParB[3],
            r.tuneParA[4], r.tuneParB[4], r.step);
  }
  w->configRows = std::move(tab);
  w->configCount = static_cast<int>(rows.size());
}

void ReadVentolaFile(Works* w) {
  w->fanCount = 0;
  std::vector<std::string> lines;
  if (!readLines(kVentolaPath, lines)) {
    fprintf(stderr, "Ventola File not FOUND!!");
    zlog(LOG_ERR, "can't open /opt/set/ventola.txt");
    reportFileProblem(kVentolaPath, 0, false, "missing: no fan table");
    return;
  }
  std::vector<int> lineNos;
  std::vector<std::string> rows = tableRows(lines, &lineNos);
  fprintf(stderr, "N row Ventola File %d \n", static_cast<int>(rows.size()));
  fprintf(stderr, "Setup3 \n");
  std::unique_ptr<FanRow[]> tab(new FanRow[rows.size() ? rows.size() : 1]);
  for (size_t n = 0; n < rows.size(); n++) {
    std::vector<std::string> f = fields(rows[n]);
    reportShortRow(kVentolaPath, lineNos[n], f.size(), 2);
    tab[n].temp = asFloat(f, 0);
    // A percentage: anything else would put a wrong "FN1" on the wire.
    tab[n].step = clampToInt(asFloat(f, 1), 0, 100);
    fprintf(stderr, "->t:%.02f: %d \n", tab[n].temp, tab[n].step);
  }
  w->fanRows = std::move(tab);
  w->fanCount = static_cast<int>(rows.size());
}

void LoadTabFiltri(Works* w) {
  for (auto& r : w->filterTab) r.enabled = 0;
  std::vector<std::string> lines;
  if (!readLines(kFilterPath, lines)) {
    fprintf(stderr, "Filter File not FOUND!!\n");
    return;
  }
  int row = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string& l = lines[i];
    if (isComment(l)) continue;
    if (row >= 8) {
      reportFileProblem(kFilterPath, static_cast<int>(i) + 1, false, "more than 8 filters: the rest ignored");
      break;
    }
    std::vector<std::string> f = fields(l);
    reportShortRow(kFilterPath, static_cast<int>(i) + 1, f.size(), 3);
    FilterRow& r = w->filterTab[row];
    r.start = asFreq(f, 0);
    r.stop = asFreq(f, 1);
    r.enabled = static_cast<uint8_t>(asInt(f, 2, 0, 255));
    fprintf(stderr, "Filter %i %ld,%ld,%x\n", row, static_cast<long>(r.start), static_cast<long>(r.stop),
            r.enabled);
    row++;
  }
}

int SaveTabFiltri(Works* w) {
  fprintf(stderr, "SaveTabFiltri \n");
  RemountWindow window(true);
  if (!window.isOpen()) return -1;
  int rc = -1;
  {
    AtomicWriter out(kFilterPath);
    if (out.ok()) {
      FILE* f = out.file();
      fprintf(f,
              ";Fstart(hz)\tFstop         enabled   : 1= abilitata, l'ordine delle righe corrisponde al filtro di "
              "attivazione   j23 ultimo by pass (0 ,54000000)  verso esterno\n");
      for (const auto& r : w->filterTab)
        fprintf(f, "%ld\t\t%ld\t\t%i \n", static_cast<long>(r.start), static_cast<long>(r.stop), r.enabled);
      rc = out.commit();
    }
    if (rc != 0) zlog(LOG_ERR, "can't write /opt/set/filter.txt");
  }
  return rc;
}
