// A bank's antenna table: read (with its interface marker), written back,
// read and written again; both written files must be equal.
#include <cstdint>
#include <string>

#include "core/works.h"
#include "tuner/antenna.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  const int bank = 7;
  const std::string path = AntennaFileName(bank);
  fuzzWriteFile(path, data, size);
  LoadTabConfig(w, bank);
  AntennaRowForFreq(w, 14070000);
  BandNameForFreq(w, 7074000);
  if (SaveTabConfig(w, bank) != 0) fuzzFail("antenna table not written", "");
  const std::string first = fuzzReadFile(path);
  LoadTabConfig(w, bank);
  if (SaveTabConfig(w, bank) != 0) fuzzFail("antenna table not written again", "");
  const std::string second = fuzzReadFile(path);
  if (first != second) fuzzFail("antenna table round trip differs", first + "\n----\n" + second);
  return 0;
}
