// The fixture of the key dispatch and parameter editor tests: a station
// record with its menus built, in a temporary root.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "amp/linear.h"
#include "app/spine.h"
#include "app/spine.h"
#include "core/works.h"
#include "screens/buttons.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"

class MenuStation : public testing::Test {
 protected:
  void SetUp() override {
    InitGlobalVar(w.get());
    InstallStationHooks(w.get());
    beforeMenus();
    InitMenuZarn(w.get());
    w->errorsMuted = 0;
  }
  // What a fixture needs in place before the menus are built.
  virtual void beforeMenus() {}
  // The amplifier commands queued so far, in order (the queue is emptied).
  std::vector<int> queued() {
    std::vector<int> v;
    for (int c; (c = TakeQueuedCmd(w.get())) >= 0;) v.push_back(c);
    return v;
  }
  TempRoot root;
  TestWorks w;
};
