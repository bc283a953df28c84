// FT-817 answers (frequency digits and mode), the companion radio's CAT
// probe answer and the CAT text collector that bridges its port to the
// peer.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/works.h"
#include "radio/cat_serial.h"
#include "radio/zel_link.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  // Every five bytes are one answer of the radio.
  for (size_t i = 0; i + 5 <= size; i += 5) {
    DecodeFt817Answer(w, data + i, 5);
    const int f = w->catSerFreq;
    if (f < 0 || f > 999999990) fuzzFail("FT-817 frequency out of its digits' range", std::to_string(f));
  }
  DecodeFt817Answer(w, data, static_cast<int>(size));

  CatProbe p;
  for (size_t i = 0; i < size; i++)
    if (catProbeByte(p, data[i])) break;
  if (p.got > 6 || strlen(p.buf) > 6) fuzzFail("probe answer longer than six bytes", p.buf);
  catProbeAnswerOk(p);

  CatCollector c;
  std::string text;
  for (size_t i = 0; i < size; i++) {
    if (catCollectByte(c, data[i], text) && (text.empty() || text.back() != ';' || text.size() > 200))
      fuzzFail("CAT text not ended by its ';'", text);
  }
  return 0;
}
