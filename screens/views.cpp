#include "screens/views.h"

#include <mutex>

#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"

bool VerifyError(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  int temp = 0;
  for (int i = 0; i < w->errCount && i < kErrCodes; i++) {
    int c = w->errList[i];
    if (c == 2 || c == 22 || c == 23 || c == 24) temp++;
  }
  return w->errCount > temp;
}

void ViewStatusTX(Works* w) {
  if (w->overlay == 1 || (w->ampStatus[1] & 0x01) == 0 || w->fb == nullptr) return;
  FillBox(375, 175, 430, 209, 250, 0, 0, w->fb, 0);
  putString(8, 390, 200, "TX", 255, 255, 255, w->fb, 0, 0, 0, 0);
}

// PLACEHOLDER: the parameter browser, overlays and status bar come with the
// status views.
void DrawParameters(Works*) {}
// PLACEHOLDER: the information screen comes with the status views.
void ViewStatusInfo(Works*) {}
