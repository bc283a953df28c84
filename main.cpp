#include <cstdio>

#include "app/cli.h"
#include "app/spine.h"

int main(int argc, char** argv) {
  int status = 0;
  if (zelpyxCommandLine(argc, argv, stdout, stderr, &status)) return status;
  return zelpyxMain();
}
