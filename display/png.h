// PNG backgrounds.
#pragma once
struct Works;
// Loads "<imgName>.png" from the working directory into the background
// buffer (toBack != 0) or the work buffer.
int getPng(Works* w, int toBack);
