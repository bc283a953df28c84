// PNG backgrounds: any file named as the picture is loaded into the
// background and the work buffer at the placement the input chooses.
#include <cstdint>
#include <cstring>

#include "core/works.h"
#include "display/png.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size < 3) return 0;
  snprintf(w->imgName, sizeof w->imgName, "fuzz");
  w->imgX = static_cast<int8_t>(data[0]) * 8;
  w->imgY = static_cast<int8_t>(data[1]) * 8;
  const int toBack = data[2] & 1;
  fuzzWriteFile("fuzz.png", data + 3, size - 3);
  getPng(w, toBack);
  w->imgX = w->imgY = 0;
  return 0;
}
