#include "app/cli.h"

#include <cstring>

#include "app/file_check.h"
#include "core/version.h"

namespace {

void usage(FILE* f) {
  fprintf(f,
          "Usage: zelpyx [--check | --version | --help]\n"
          "Amplifier and tuner controller. Without an option it runs the controller.\n"
          "  --check    read every operator file under /opt/set and report each problem\n"
          "             as FILE:LINE; exit status 1 when a file would be replaced by\n"
          "             defaults at start-up\n"
          "  --version  print the version\n"
          "  --help     print this text\n"
          "ZELPYX_ROOT, when set, is prefixed to every absolute path.\n");
}

}  // namespace

bool zelpyxCommandLine(int argc, char** argv, FILE* out, FILE* err, int* status) {
  if (argc <= 1) return false;
  const char* a = argv[1];
  if (argc == 2 && strcmp(a, "--version") == 0) {
    fprintf(out, "zelpyx %s\n", ZELPYX_VERSION);
    *status = 0;
  } else if (argc == 2 && (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0)) {
    usage(out);
    *status = 0;
  } else if (argc == 2 && strcmp(a, "--check") == 0) {
    *status = runFileCheck(out);
  } else {
    fprintf(err, "zelpyx: unknown option or extra argument '%s'\n", argc == 2 ? a : argv[2]);
    usage(err);
    *status = 2;
  }
  return true;
}
