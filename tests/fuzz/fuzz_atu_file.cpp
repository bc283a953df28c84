// A tune-memory file: read, the recall of the stored tuning at a few
// frequencies, written back, read and written again; both written files
// must be equal.
#include <cstdint>
#include <string>

#include "core/works.h"
#include "tuner/tune_memory.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  const int bank = 3, ant = 1;
  const std::string path = AtuFileName(bank, ant);
  fuzzWriteFile(path, data, size);
  LoadTabAtu(w, bank, ant);
  for (int f : {1830000, 7074000, 14070000, 28500000, 52000000}) {
    w->freq = f;
    LoadTuneFromMEM(w, ant);
  }
  if (SaveTabAtu(w, bank, ant) != 0) fuzzFail("tune memory not written", "");
  const std::string first = fuzzReadFile(path);
  LoadTabAtu(w, bank, ant);
  if (SaveTabAtu(w, bank, ant) != 0) fuzzFail("tune memory not written again", "");
  const std::string second = fuzzReadFile(path);
  if (first != second) fuzzFail("tune memory round trip differs", first + "\n----\n" + second);
  return 0;
}
