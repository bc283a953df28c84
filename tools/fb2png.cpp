// fb2png SCREENFILE OUT.png: turns an 800 x 480 screen file of 4-byte
// pixels (blue, green, red, unused), as the controller leaves it in place
// of the panel, into a PNG picture.
#include <cstdio>
#include <vector>

#include "display/png.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fb2png SCREENFILE OUT.png\n");
    return 2;
  }
  const int w = 800, h = 480;
  std::vector<uint8_t> px((size_t)w * h * 4);
  FILE* f = fopen(argv[1], "rb");
  if (f == nullptr) {
    perror(argv[1]);
    return 1;
  }
  size_t n = fread(px.data(), 1, px.size(), f);
  fclose(f);
  if (n != px.size()) {
    fprintf(stderr, "fb2png: %s holds %zu bytes, a screen needs %zu\n", argv[1], n, px.size());
    return 1;
  }
  if (writePngBgrx(argv[2], px.data(), w, h, w * 4) != 0) {
    fprintf(stderr, "fb2png: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
