// Display fields of the shared record.
#pragma once

struct FbInfo;

struct DisplayFields {
  FbInfo* fb = nullptr;   // the framebuffer record
  char imgName[20] = {};  // background picture name, without ".png"
  int imgX = 0;           // placement of the picture (always 0, 0)
  int imgY = 0;
};
