// The band table (config.txt), the fan table (ventola.txt) and the filter
// table (filter.txt); the filter table is the one the program rewrites:
// written back and read again it must give the same file.
#include <cstdint>
#include <string>

#include "amp/band_filter.h"
#include "core/tables.h"
#include "core/works.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size < 1) return 0;
  const int which = data[0] % 3;
  data++;
  size--;
  if (which == 0) {
    fuzzWriteFile("/opt/set/config.txt", data, size);
    ReadConfigFile(w);
    SetFilterFromfreq(w);
  } else if (which == 1) {
    fuzzWriteFile("/opt/set/ventola.txt", data, size);
    ReadVentolaFile(w);
  } else {
    fuzzWriteFile("/opt/set/filter.txt", data, size);
    LoadTabFiltri(w);
    SetFilterFromfreq(w);
    if (SaveTabFiltri(w) != 0) fuzzFail("filter.txt not written", "");
    const std::string first = fuzzReadFile("/opt/set/filter.txt");
    LoadTabFiltri(w);
    if (SaveTabFiltri(w) != 0) fuzzFail("filter.txt not written again", "");
    const std::string second = fuzzReadFile("/opt/set/filter.txt");
    if (first != second) fuzzFail("filter.txt round trip differs", first + "\n----\n" + second);
  }
  return 0;
}
