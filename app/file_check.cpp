#include "app/file_check.h"

#include <cstring>
#include <memory>

#include "core/remote_config.h"
#include "core/setup.h"
#include "core/tables.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "radio/hamlib_link.h"
#include "tuner/antenna.h"
#include "tuner/conf_lines.h"
#include "tuner/tune_memory.h"

namespace {

const char* kSetupFile = "/opt/set/setup.txt";

// Name-value files: those with no reader in the program yet get
// checkNameValueLines, the others their own reader.
struct NameValueFile {
  const char* path;
  void (*check)(const std::string& absPath, FILE* f);
};
const NameValueFile kNameValueFiles[] = {
    {"/opt/set/remote.txt", checkRemoteFile},
    {"/opt/set/web.txt", checkNameValueLines},
    {kHamlibFile, [](const std::string&, FILE* f) { ReadHamlibConfigFrom(f); }},
};

}  // namespace

void checkNameValueLines(const std::string& absPath, FILE* f) {
  std::string line;
  bool tooLong = false;
  int n = 0;
  while (ReadConfLine(f, line, &tooLong)) {
    n++;
    if (tooLong) {
      reportFileProblem(absPath, n, false, "line too long");
      continue;
    }
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    const size_t name = line.find_first_not_of(" \t");
    if (name == std::string::npos) continue;
    const size_t gap = line.find_first_of(" \t", name);
    const size_t value = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
    if (value == std::string::npos) reportFileProblem(absPath, n, false, "a name without a value");
  }
}

std::vector<FileProblem> checkOperatorFiles() {
  FileProblemCollector c;
  std::unique_ptr<Works> w(new Works());
  SetupRec setup{};
  w->setup = &setup;

  // A missing setup file is written with defaults at start-up; the check
  // must not write it, so the reader is not called then.
  if (!pathExists(kSetupFile)) reportFileProblem(kSetupFile, 0, true, "missing: start-up writes one with defaults");
  else readSetup(w.get());

  ReadConfigFile(w.get());
  ReadVentolaFile(w.get());
  LoadTabFiltri(w.get());
  for (int bank = 0; bank <= 19; bank++) {
    if (pathExists(AntennaFileName(bank))) LoadTabConfig(w.get(), bank);
    for (int ant = 0; ant < 3; ant++)
      if (pathExists(AtuFileName(bank, ant))) LoadTabAtu(w.get(), bank, ant);
  }
  for (const NameValueFile& nv : kNameValueFiles) {
    FILE* f = openRooted(nv.path, "r");
    if (f == nullptr) continue;
    nv.check(nv.path, f);
    fclose(f);
  }
  return c.problems;
}

int runFileCheck(FILE* out) {
  int rc = 0;
  for (const FileProblem& p : checkOperatorFiles()) {
    fprintf(out, "%s:%d: %s: %s\n", p.file.c_str(), p.line, p.fatal ? "error" : "warning", p.text.c_str());
    if (p.fatal) rc = 1;
  }
  return rc;
}
