#include <gtest/gtest.h>
#include "core/works.h"
TEST(Smoke, WorksIsValueInitialised) {
  Works* w = new Works();
  EXPECT_EQ(w->running.load(), 0u);
  delete w;
}
