// JPEG screen images from the peer: any data decoded into the work buffer
// (a screen of the panel's size) or refused whole.
#include <cstdint>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "remote/jpeg_codec.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  // An exact-size copy, so ASan sees any read past the end.
  std::vector<uint8_t> copy(data, data + size);
  Uncompress(w, copy.data(), copy.size());
  // A small screen too: a picture of the wrong size must be refused.
  static std::vector<uint8_t> small(64 * 48 * 4);
  UncompressImage(copy.data(), copy.size(), 64, 48, small.data());
  return 0;
}
