#include "screens/work_image.h"

#include <cstdio>
#include <mutex>

#include "core/works.h"
#include "display/fb.h"
#include "display/png.h"
#include "screens/meters.h"

void SetWorkImg(Works* w) {
  // Called from the key handler while the timer may be composing a frame:
  // the picture name and both buffers change together.
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  bool b = w->ampModel == '1';
  switch (w->ViewIdx) {
    case 2:
      snprintf(w->imgName, sizeof w->imgName, "%s", b ? "img3b" : "img3");
      break;
    case 4:
    case 5:
      snprintf(w->imgName, sizeof w->imgName, "m5a");
      SelectPlotView(w, w->ViewIdx);
      break;
    default:  // 1 and 3
      snprintf(w->imgName, sizeof w->imgName, "%s", b ? "img1b" : "img1");
      break;
  }
  getPng(w, 1);
  if (w->fb != nullptr) fbSetBack(w->fb);
  if (w->ModeWorkIdx != 1 && w->setup != nullptr) setRunByte(w->setup->zelRun, '0');
}
