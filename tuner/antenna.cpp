#include "tuner/antenna.h"

#include "core/file_problems.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "amp/errors.h"
#include "amp/cmd_queue.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "tuner/conf_lines.h"
#include "tuner/tune_memory.h"

namespace {
struct DefaultRow {
  const char* name;
  int32_t low, high;
};
const DefaultRow kDefaultRows[kAntennaRows] = {
    {"160m", 1800000, 2000000},   {"80m", 3500000, 4000000},   {"60m", 5330500, 5450000},
    {"40m", 7000000, 7300000},    {"30m", 10100000, 10150000}, {"20m", 14000000, 14350000},
    {"17m", 18068000, 18168000},  {"15m", 21000000, 21450000}, {"12m", 24890000, 24990000},
    {"10m", 28000000, 29700000},  {"6m", 50000000, 54000000},
};
const char* const kMarkers[4] = {"!Gen", "!Zel", "!817", "!Ham"};
}  // namespace

std::string AntennaFileName(int bank) {
  if (bank >= 1 && bank <= 19) return "/opt/set/antenna_b" + std::to_string(bank) + ".txt";
  return "/opt/set/antenna.txt";
}

void InitTabAntenna(Works* w, int flag) {
  for (int i = 0; i < kAntennaRows; ++i) {
    AntennaRow& r = w->tabAntenna[i];
    memset(r.bandName, 0, sizeof r.bandName);
    snprintf(r.bandName, sizeof r.bandName, "%s", kDefaultRows[i].name);
    r.freqLow = kDefaultRows[i].low;
    r.freqHigh = kDefaultRows[i].high;
    if (flag == 0) {
      r.AmpEnable = 0;
      r.Ant = 1;
      r.AtuBypass = 1;
      r.Att = 0;
      r.Pwr = 0.0f;
    }
  }
  w->NumRowAntenna = kAntennaRows;
}

// One row: name (cut to 7), two unsigned numbers in C notation, four
// decimal bytes, a float. A line that does not hold all of them is not a
// row and is skipped whole rather than half-stored.
static bool parseAntennaRow(const std::string& line, AntennaRow* row) {
  size_t blank = line.find(' ');
  if (blank == std::string::npos || blank == 0) return false;
  // A NUL would cut the name short: written back the row would start with
  // a blank and be dropped at the next load.
  if (line.find('\0') < blank) return false;
  AntennaRow r{};
  snprintf(r.bandName, sizeof r.bandName, "%.*s", int(blank < 7 ? blank : 7), line.c_str());
  const char* p = line.c_str() + blank;
  char* e = nullptr;
  unsigned long v[2];
  for (int i = 0; i < 2; ++i) {
    errno = 0;
    v[i] = strtoul(p, &e, 0);
    if (e == p || errno != 0) return false;
    p = e;
  }
  long b[4];
  for (int i = 0; i < 4; ++i) {
    errno = 0;
    b[i] = strtol(p, &e, 10);
    if (e == p || errno != 0) return false;
    p = e;
  }
  float pwr = strtof(p, &e);
  if (e == p) return false;
  // Held to the fields' ranges: a wider number would wrap into another band.
  r.freqLow = int32_t(v[0] > INT32_MAX ? INT32_MAX : v[0]);
  r.freqHigh = int32_t(v[1] > INT32_MAX ? INT32_MAX : v[1]);
  r.AmpEnable = uint8_t(b[0] < 0 ? 0 : (b[0] > 255 ? 255 : b[0]));
  // Antenna 1..3 (0 = no change) and attenuator steps 0..3 are all the
  // amplifier knows; anything else would go out as a broken command.
  r.Ant = (b[1] >= 0 && b[1] <= 3) ? uint8_t(b[1]) : 0;
  r.AtuBypass = uint8_t(b[2] < 0 ? 0 : (b[2] > 255 ? 255 : b[2]));
  r.Att = (b[3] >= 0 && b[3] <= 3) ? uint8_t(b[3]) : 0;
  r.Pwr = pwr;
  *row = r;
  return true;
}

int LoadTabConfig(Works* w, int bank) {
  for (int i = 0; i < kAntennaRows; ++i) w->tabAntenna[i].AmpEnable = 0;
  FILE* f = openRooted(AntennaFileName(bank), "r");
  if (f == nullptr) {
    InitTabAntenna(w, 0);
    w->AntennaRowIdx = -1;
    return 0;
  }
  int mode = 0, rows = 0, lineNo = 0;
  int rowLine[kAntennaRows] = {};
  std::string line;
  bool tooLong = false;
  const std::string path = AntennaFileName(bank);
  while (rows < kAntennaRows && ReadConfLine(f, line, &tooLong)) {
    lineNo++;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '!') {
      for (int m = 0; m < 4; ++m)
        if (line.compare(0, 4, kMarkers[m]) == 0) mode = m;
      continue;
    }
    AntennaRow r;
    if (tooLong || !parseAntennaRow(line, &r)) {
      fprintf(stderr, "Antenna table: skip line %s\n", line.c_str());
      reportFileProblem(path, lineNo, false,
                        tooLong ? "line too long, skipped" : "not a row (name, two frequencies, four numbers, power), skipped");
      continue;
    }
    rowLine[rows] = lineNo;
    w->tabAntenna[rows++] = r;
  }
  fclose(f);
  w->NumRowAntenna = rows;
  for (int i = 0; i < rows; ++i) {
    if (w->tabAntenna[i].freqLow == 0 || w->tabAntenna[i].freqHigh == 0) {
      InitTabAntenna(w, 1);
      fprintf(stderr, "Error Reinit antenna\n");
      reportFileProblem(path, rowLine[i], true, "a band without its frequency range: the band rows are replaced by defaults");
      break;
    }
  }
  w->AntennaRowIdx = -1;
  return mode;
}

int SaveTabConfig(Works* w, int bank) {
  RemountWindow window(true);
  if (!window.isOpen()) return -1;
  int rc = -1;
  {
    AtomicWriter out(AntennaFileName(bank));
    if (!out.ok()) {
      zlog(LOG_ERR, "can't open /opt/set/autotune.txt for writing");
    } else {
      int mode = w->ModeWorkIdx.load();
      fputs(mode >= 1 && mode <= 3 ? kMarkers[mode] : kMarkers[0], out.file());
      fputs("\n", out.file());
      int n = w->NumRowAntenna;
      if (n < 0) n = 0;
      if (n > kAntennaRows) n = kAntennaRows;
      for (int i = 0; i < n; ++i) {
        const AntennaRow& r = w->tabAntenna[i];
        fprintf(out.file(), "%s %ld %ld %i %i %i %i %2.1f\n", r.bandName, long(r.freqLow),
                long(r.freqHigh), r.AmpEnable, r.Ant, r.AtuBypass, r.Att, double(r.Pwr));
      }
      rc = out.commit();
      if (rc != 0) zlog(LOG_ERR, "can't write %s error %d", AntennaFileName(bank).c_str(), errno);
    }
  }
  return rc;
}

int AntennaRowForFreq(Works* w, long freq) {
  int n = w->NumRowAntenna;
  if (n > kAntennaRows) n = kAntennaRows;
  for (int i = 0; i < n; ++i)
    if (w->tabAntenna[i].freqLow <= freq && freq <= w->tabAntenna[i].freqHigh) return i;
  return -1;
}

const char* BandNameForFreq(Works* w, unsigned long freq) {
  int i = AntennaRowForFreq(w, long(freq));
  return i < 0 ? nullptr : w->tabAntenna[i].bandName;
}

void SaveToBank(Works* w, int bank, int ant) {
  int i = AntennaRowForFreq(w, w->freq.load());
  if (i >= 0) {
    AntennaRow& r = w->tabAntenna[i];
    r.Ant = uint8_t(ant + 1);
    r.AtuBypass = w->AtuBypassFlag;
    r.Att = w->Attenuator;
    r.AmpEnable = w->AttIdx <= 3 ? 1 : 0;
  }
  SaveTabConfig(w, bank);
}

void LoadAllBankTable(Works* w, int bank) {
  w->ModeWorkIdx = LoadTabConfig(w, bank);
  for (int ant = 0; ant < kTuneAntennas; ++ant) LoadTabAtu(w, bank, ant);
}

