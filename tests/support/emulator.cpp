#include "tests/support/emulator.h"

#include <cstdlib>
#include <unistd.h>

namespace {
std::string emulator() {
  const char* e = getenv("ZELPYX_EMULATOR");
  return e != nullptr ? e : "";
}
}  // namespace

void execProgram(const std::string& prog, const std::vector<std::string>& args) {
  std::string emu = emulator();
  std::vector<std::string> all;
  if (!emu.empty()) all.push_back(emu);
  all.push_back(emu.empty() ? (args.empty() ? prog : args[0]) : prog);
  for (size_t i = 1; i < args.size(); i++) all.push_back(args[i]);
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (emu.empty())
    execv(prog.c_str(), argv.data());
  else
    execvp(emu.c_str(), argv.data());
}

std::string programCommand(const std::string& prog) {
  std::string emu = emulator();
  return (emu.empty() ? "" : emu + " ") + "'" + prog + "'";
}
