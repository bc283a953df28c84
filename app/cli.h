// The command line: --version, --help, --check. No argument runs the
// controller.
#pragma once
#include <cstdio>

// Handles the options. Returns true when the process should end with
// *status (an option was handled or refused), false to run the controller.
bool zelpyxCommandLine(int argc, char** argv, FILE* out, FILE* err, int* status);
