// `--check` over one hostile operator file: the first byte picks which
// (setup, a band or fan table, an antenna table, a tune memory, a "name
// value" file); every problem must name that file with a line inside it,
// and the check must never write the file it reads.
#include <cstdint>
#include <string>

#include "app/file_check.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzWorks();
  if (size < 1) return 0;
  static const char* kFiles[] = {"/opt/set/setup.txt",       "/opt/set/config.txt",    "/opt/set/ventola.txt",
                                 "/opt/set/filter.txt",      "/opt/set/antenna_b4.txt", "/opt/set/atu_ant1_b4.txt",
                                 "/opt/set/hamlib.txt"};
  const std::string file = kFiles[data[0] % (sizeof kFiles / sizeof kFiles[0])];
  data++;
  size--;
  for (const char* f : kFiles) fuzzRemoveFile(f);
  fuzzWriteFile(file, data, size);
  int lines = 1;
  for (size_t i = 0; i < size; i++) lines += data[i] == '\n';
  for (const FileProblem& p : checkOperatorFiles()) {
    if (p.file == "/opt/set/setup.txt" && file != p.file) continue;  // missing: expected
    if (p.file != file && p.line != 0) fuzzFail("problem in another file", p.file + " " + p.text);
    if (p.line < 0 || p.line > lines) fuzzFail("line outside the file", file + ":" + std::to_string(p.line));
  }
  if (fuzzReadFile(file) != std::string(reinterpret_cast<const char*>(data), size))
    fuzzFail("the check changed the file", file);
  return 0;
}
