#include "core/works.h"
#include "menus/panel_apply.h"
#include "tests/support/test_works.h"

void panelApplierLoop(Works* w) {
  while (w->running.load() != 0) {
    w->panelQ.waitForEvent(10000);
    PanelDrain(w);
  }
}
