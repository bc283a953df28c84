// rigctld's reply stream as the Hamlib link reads it: the bounded line
// reader, each line as a frequency and as a PTT reply, the poll machine
// fed line by line, and the same bytes as the operator file hamlib.txt.
#include <cstdint>
#include <string>

#include "radio/hamlib_link.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzWorks();  // the temporary root for the operator file
  const char* text = reinterpret_cast<const char*>(data);
  HamlibLineReader reader;
  HamlibPoll poll;
  int64_t now = 0, wait = 0;
  poll.next(now, &wait);
  poll.connected(true, now);
  reader.feed(text, size, [&](const char* l, size_t n) {
    if (n > HamlibLineReader::kMaxLine) fuzzFail("line longer than the reader holds", std::string(l, n));
    HamlibReply f = ParseHamlibReply(l, n, HamlibQuery::Freq);
    if (f.kind == HamlibReply::Value && (f.value < 0 || f.value > 99999999999L))
      fuzzFail("frequency beyond eleven digits", std::string(l, n));
    HamlibReply p = ParseHamlibReply(l, n, HamlibQuery::Ptt);
    if (p.kind == HamlibReply::Value && p.value != 0 && p.value != 1) fuzzFail("PTT neither 0 nor 1", std::string(l, n));
    now += 10;
    HamlibPoll::Action a = poll.next(now, &wait);
    if (a == HamlibPoll::Action::SendFreq || a == HamlibPoll::Action::SendPtt) poll.sent(now);
    if (wait < 0 || wait > HamlibPoll::kReplyTimeoutMs) fuzzFail("wait out of range", std::to_string(wait));
    poll.line(l, n, now);
    if (poll.freq < 0 || (poll.ptt != 0 && poll.ptt != 1)) fuzzFail("poll state out of range", std::string(l, n));
  });

  fuzzWriteFile(kHamlibFile, data, size);
  HamlibConfig c = ReadHamlibConfig();
  if (c.port == 0 || c.host.empty() || c.host.size() > 253) fuzzFail("address out of range", c.host);
  return 0;
}
