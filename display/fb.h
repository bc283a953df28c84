// Framebuffer and drawing primitives. Colours are red, green, blue bytes.
#pragma once
#include <cstdint>
struct Works;

struct FbInfo {
  int xSize = 0;
  int ySize = 0;
  unsigned int memSize = 0;
  unsigned int lineSize = 0;
  unsigned int pixelSize = 0;
  uint8_t* fbMem = nullptr;
  uint8_t* workBuf = nullptr;
  uint8_t* backBuf = nullptr;
};

FbInfo* fbInit();
void fbRealize(FbInfo* fb);
void fbSetBack(FbInfo* fb);
