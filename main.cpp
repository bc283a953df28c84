#include <cstdio>

#include "core/cli.h"
#include "core/spine.h"

int main(int argc, char** argv) {
  int status = 0;
  if (zelpyxCommandLine(argc, argv, stdout, stderr, &status)) return status;
  return zelpyxMain();
}
