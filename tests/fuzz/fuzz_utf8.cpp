// The UTF-8 decoder: every call consumes at least one byte and never
// reads past the given length; the count of characters agrees with the
// step-by-step decoding.
#include <cstdint>
#include <string>
#include <vector>

#include "display/text.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so ASan sees any read past the end.
  std::vector<char> text(data, data + size);
  const unsigned int len = static_cast<unsigned int>(size);
  unsigned int pos = 0;
  int count = 0;
  for (;;) {
    const unsigned int before = pos;
    int valid = -1;
    unsigned int cp = 0xFFFFFFFFu;
    const int r = utf8_get_next_char(text.data(), len, &pos, &valid, &cp);
    if (r == -1) break;
    if (r != 1 || pos <= before || pos > len) fuzzFail("decoder did not advance within the text", std::to_string(pos));
    if (valid == 1 && (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
      fuzzFail("invalid code point reported valid", std::to_string(cp));
    if (valid == 0 && cp != 0) fuzzFail("ill-formed input gave a code point", std::to_string(cp));
    count++;
  }
  if (pos != len) fuzzFail("decoder stopped early", std::to_string(pos));
  if (utf8_length(text.data(), len) != count) fuzzFail("utf8_length disagrees with decoding", std::to_string(count));
  return 0;
}
