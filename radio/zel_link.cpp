// PLACEHOLDER until the radio links land.
#include "radio/zel_link.h"
#include "core/works.h"
void Serial(Works*) {}
void Cat(Works*) {}
void getParameters(Works* w, ZelParam* out) {
  std::lock_guard<std::mutex> lk(*w->serMut);
  *out = *w->zelParam;
}
