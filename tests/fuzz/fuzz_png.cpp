// PNG backgrounds: any file named as the picture is loaded into the
// background and the work buffer at the placement the input chooses.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
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
  fuzzWriteFile("/work/fuzz.png", data + 3, size - 3);
  // Pictures are read from the working directory; libFuzzer's own paths
  // are relative to the one it started in.
  const int here = open(".", O_RDONLY | O_DIRECTORY);
  if (here < 0 || chdir((fuzzRoot() + "/work").c_str()) != 0) fuzzFail("chdir", "");
  getPng(w, toBack);
  if (fchdir(here) != 0) fuzzFail("fchdir", "");
  close(here);
  w->imgX = w->imgY = 0;
  return 0;
}
