// The cross build runs the test programs under qemu-user, and the programs
// they start (the controller, the simulated station, the tools) must go
// through it too: ZELPYX_EMULATOR names it ("qemu-arm-static"); unset on a
// native build.
#pragma once
#include <string>
#include <vector>

// Replaces the current process with prog (argv[0] included in args),
// through the emulator when one is set. Returns only on failure.
void execProgram(const std::string& prog, const std::vector<std::string>& args);
// The start of a shell command line that runs prog: "'prog'", or
// "emulator 'prog'".
std::string programCommand(const std::string& prog);
