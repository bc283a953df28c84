// A tune-memory file: read, the recall of the stored tuning at a few
// frequencies (also as the model search's recall, which predicts a slot's
// match from the stored slots around it), written back, read and written
// again; both written files must be equal.
#include <cstdint>
#include <string>

#include "core/works.h"
#include "tuner/load_fit.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  const int bank = 3, ant = 1;
  const std::string path = AtuFileName(bank, ant);
  fuzzWriteFile(path, data, size);
  LoadTabAtu(w, bank, ant);
  for (int search : {TUNE_SEARCH_RESCUE, TUNE_SEARCH_MODEL}) {
    tunerConfig.search = search;
    for (int f : {1830000, 7074000, 14070000, 14175000, 28500000, 52000000}) {
      w->freq = f;
      LoadTuneFromMEM(w, ant);
      MsSetting s;
      if (PredictedTuning(w, ant, f, &s) && (s.mode < 1 || s.mode > 2 || s.c < 0 || s.c > 511 || s.l < 0 || s.l > 511))
        fuzzFail("predicted setting outside the banks", std::to_string(s.c) + " " + std::to_string(s.l));
    }
  }
  tunerConfig.search = TUNE_SEARCH_RESCUE;
  if (SaveTabAtu(w, bank, ant) != 0) fuzzFail("tune memory not written", "");
  const std::string first = fuzzReadFile(path);
  LoadTabAtu(w, bank, ant);
  if (SaveTabAtu(w, bank, ant) != 0) fuzzFail("tune memory not written again", "");
  const std::string second = fuzzReadFile(path);
  if (first != second) fuzzFail("tune memory round trip differs", first + "\n----\n" + second);
  return 0;
}
