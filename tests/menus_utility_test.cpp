#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "core/works.h"
#include "screens/utility.h"

TEST(Utility, CelsiusToFahrenheit) {
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(100.0f), 212.0f);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(-40.0f), -40.0f);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(0.0f), 32.0f);
}

TEST(Utility, SupplyVoltageByModel) {
  Works* w = new Works();
  w->ampModel = '0';
  EXPECT_NEAR(CalvTensVadcAmp(w, 255), 3.3 * 118 / 18, 1e-4);
  EXPECT_NEAR(CalvTensVadcAmp(w, 255), 21.63, 0.01);
  EXPECT_FLOAT_EQ(CalvTensVadcAmp(w, 0), 0.0f);
  w->ampModel = '1';
  EXPECT_NEAR(CalvTensVadcAmp(w, 255), 63.8, 0.01);
  w->ampModel = 1;  // the number, not the character
  EXPECT_NEAR(CalvTensVadcAmp(w, 255), 21.63, 0.01);
  delete w;
}

TEST(Utility, DateTimeFormattedOncePerSecond) {
  Works* w = new Works();
  LastSecDataOra = 0;
  ReadDataOra(w);
  ASSERT_EQ(strlen(w->DataOraStr), 19u);
  EXPECT_EQ(w->DataOraStr[4], '-');
  EXPECT_EQ(w->DataOraStr[10], ' ');
  EXPECT_EQ(w->DataOraStr[13], ':');
  // Within the same second the text is not formatted again.
  bool checked = false;
  for (int tries = 0; tries < 100 && !checked; tries++) {
    time_t t0 = time(nullptr);
    LastSecDataOra = t0;
    strcpy(w->DataOraStr, "marker");
    ReadDataOra(w);
    if (time(nullptr) != t0) continue;  // the second turned meanwhile
    EXPECT_STREQ(w->DataOraStr, "marker");
    checked = true;
  }
  EXPECT_TRUE(checked);
  LastSecDataOra = 0;
  ReadDataOra(w);
  EXPECT_STRNE(w->DataOraStr, "marker");
  delete w;
}

TEST(Utility, TemperatureScriptOutput) {
  Works* w = new Works();
  ParseCPUTemp(w, "48.3\ntemp=52.1'C\n");
  EXPECT_FLOAT_EQ(w->CPUTemp, 48.3f);
  EXPECT_FLOAT_EQ(w->GPUTemp, 52.1f);
  ParseCPUTemp(w, "");  // nothing printed: values stay
  EXPECT_FLOAT_EQ(w->CPUTemp, 48.3f);
  EXPECT_FLOAT_EQ(w->GPUTemp, 52.1f);
  ParseCPUTemp(w, "61.0\n");  // one line only
  EXPECT_FLOAT_EQ(w->CPUTemp, 61.0f);
  EXPECT_FLOAT_EQ(w->GPUTemp, 52.1f);
  delete w;
}

TEST(Utility, TemperatureScriptRunFromTheRoot) {
  char tmpl[] = "/tmp/zelpyx-util-XXXXXX";
  std::string root = mkdtemp(tmpl);
  setenv("ZELPYX_ROOT", root.c_str(), 1);
  Works* w = new Works();
  w->CPUTemp = 1.0f;
  w->GPUTemp = 2.0f;
  ReadCPUTemp(w);  // no script: values stay
  EXPECT_FLOAT_EQ(w->CPUTemp, 1.0f);
  EXPECT_FLOAT_EQ(w->GPUTemp, 2.0f);
  mkdir((root + "/bin").c_str(), 0755);
  {
    std::ofstream f(root + "/bin/my_temp");
    f << "#!/bin/sh\necho 45.6\necho \"temp=47.2'C\"\necho extra\n";
  }
  chmod((root + "/bin/my_temp").c_str(), 0755);
  ReadCPUTemp(w);
  EXPECT_FLOAT_EQ(w->CPUTemp, 45.6f);
  EXPECT_FLOAT_EQ(w->GPUTemp, 47.2f);
  delete w;
  std::string cmd = "rm -rf '" + root + "'";
  (void)!system(cmd.c_str());
  unsetenv("ZELPYX_ROOT");
}
