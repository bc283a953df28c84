// setup.txt: read, written back, read and written again; the second file
// must equal the first (what the program rewrites is stable).
#include <cstdint>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  fuzzWriteFile("/opt/set/setup.txt", data, size);
  readSetup(w);
  if (writeSetup(w) != 0) fuzzFail("setup.txt not written", "");
  const std::string first = fuzzReadFile("/opt/set/setup.txt");
  readSetup(w);
  if (writeSetup(w) != 0) fuzzFail("setup.txt not written again", "");
  const std::string second = fuzzReadFile("/opt/set/setup.txt");
  if (first != second) fuzzFail("setup.txt round trip differs", first + "\n----\n" + second);
  return 0;
}
