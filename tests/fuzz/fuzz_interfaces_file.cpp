// The network interfaces file: read, written back from the values read,
// read again; the values must survive and a second write must give the
// same file.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/lan.h"
#include "tests/fuzz/support/fuzz_station.h"

namespace {
std::string values() {
  char t[4][16];
  SplitAddrInv(t[0], IP_v);
  SplitAddrInv(t[1], NetMask_v);
  SplitAddrInv(t[2], Gateway_v);
  SplitAddrInv(t[3], DNS_v);
  return std::string(t[0]) + " " + t[1] + " " + t[2] + " " + t[3] + " " + std::to_string(Gateway_none) +
         std::to_string(DNS_none);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzWorks();
  const char* path = "/etc/network/interfaces";
  fuzzWriteFile(path, data, size);
  memset(IP_v, 0, 4);
  memset(NetMask_v, 0, 4);
  memset(Gateway_v, 0, 4);
  memset(DNS_v, 0, 4);
  if (ReadLanParam() != 0) fuzzFail("interfaces file not read", "");
  const std::string before = values();
  SaveLanParam();
  const std::string first = fuzzReadFile(path);
  if (ReadLanParam() != 0) fuzzFail("rewritten interfaces file not read", first);
  if (values() != before) fuzzFail("values changed by the rewrite", before + " -> " + values() + "\n" + first);
  SaveLanParam();
  const std::string second = fuzzReadFile(path);
  if (first != second) fuzzFail("interfaces round trip differs", first + "\n----\n" + second);
  return 0;
}
