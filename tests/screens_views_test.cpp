// The text views on the virtual screen: each region is compared with a
// reference drawn from the texts, fonts, positions and colours the panel
// is meant to show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "core/globals.h"
#include "core/lan.h"
#include "core/remote_config.h"
#include "core/works.h"
#include "screens/buttons.h"
#include "radio/zel_link.h"
#include "screens/views.h"
#include "tests/screens_pixels.h"
#include "tests/support/test_works.h"

namespace {

class Views : public ::testing::Test {
 protected:
  TestWorks tw;
  Works* w = nullptr;
  FbInfo* fb = nullptr;
  FbInfo* ref = nullptr;
  ZelParam zp{};

  void SetUp() override {
    loadPanelFonts();
    w = tw.get();
    fb = fbCreateMemory(800, 480);
    ref = fbCreateMemory(800, 480);
    fillBuffer(fb, fb->workBuf, 0, 0, 255);
    fillBuffer(ref, ref->workBuf, 0, 0, 255);
    w->fb = fb;
    w->zelParam = &zp;
    setRunByte(tw.setup.zelRun, '1');
    w->MAXbank = 20;
    w->NumBanco = 1;
    w->ModeWorkIdx = 1;
    w->AmpBypassFlag = 0;
    w->ampModel = '0';
    w->freq = 7100000;
    w->NumRowAntenna = 2;
    w->tabAntenna[0] = AntennaRow{"40m", 7000000, 7300000, 1, 2, 0, 1, 100};
    w->tabAntenna[1] = AntennaRow{"10m", 28000000, 29700000, 0, 3, 1, 2, 55.5f};
    InitMenuZarn(w);
    TIME_LONG_PRESS = 0.5;
  }
  void TearDown() override {
    fbRelease(fb);
    fbRelease(ref);
  }

  void put(int font, int x, int y, const char* s, int r, int g, int b) {
    putString(font, x, y, s, r, g, b, ref, 0, 0, 0, 0);
  }
  void putRight(int font, int y, const char* s, int r, int g, int b) {
    put(font, 790 - getStringSpace(font, s), y, s, r, g, b);
  }
  // The region matches the reference and is not just background.
  void expectSame(int x0, int y0, int x1, int y1) {
    EXPECT_EQ(regionDiff(fb, ref, x0, y0, x1, y1), 0) << x0 << "," << y0 << " - " << x1 << "," << y1;
    EXPECT_GT(regionCount(fb, x0, y0, x1, y1, [](const Rgb3& p) { return !(p == Rgb3{0, 0, 255}); }), 0);
  }
  void bandLines(int a, int b, int hiA, int hiB) {
    for (int y = a; y <= b; y++) {
      int g = (y >= hiA && y <= hiB) ? 80 : 40;
      DrawHorizontalLine(1, y, 799, g, g, g, ref, 0);
    }
  }
};

TEST_F(Views, BrowserOnTheFirstGroupShowsTheLastAsPrevious) {
  w->MenuIdx = 1;
  w->ParIdx = 0;
  PublishAmpStatus(w);
  DrawParameters(w);
  bandLines(285, 365, 310, 340);
  put(1, 20, 305, "99 -", 250, 150, 0);
  put(1, 70, 305, "REMOTE SERVICE", 250, 150, 0);
  put(1, 350, 305, " ", 250, 150, 0);
  putRight(11, 305, "OFF", 250, 150, 0);
  put(7, 20, 335, "1 -", 255, 255, 255);
  put(7, 70, 335, "MAX BANK", 255, 255, 255);
  putRight(0, 335, "20", 255, 255, 255);
  put(1, 20, 360, "2 -", 250, 150, 0);
  put(1, 70, 360, "FREQ", 250, 150, 0);
  put(1, 350, 360, "Input Sens", 250, 150, 0);
  putRight(11, 360, "FQ1", 250, 150, 0);
  expectSame(0, 270, 800, 420);
}

TEST_F(Views, EditorSplitsTheAddressAroundItsCursorByte) {
  w->MenuIdx = 2;
  w->ParIdx = 9;
  const uint8_t ip[4] = {192, 168, 1, 10};
  memcpy(IP_v, ip, 4);
  CntIP = 2;
  w->keyFlags = 0x08;
  PublishAmpStatus(w);
  DrawParameters(w);
  EXPECT_EQ(LAN_vect, IP_v);
  EXPECT_EQ(LAN_idx, 2);
  bandLines(285, 365, 310, 340);
  put(1, 20, 305, "9 -", 250, 150, 0);
  put(1, 70, 305, "ZEL PYX USE MODE", 250, 150, 0);
  put(1, 350, 305, " ", 250, 150, 0);
  putRight(11, 305, "Local", 250, 150, 0);
  put(7, 20, 335, "10 -", 255, 255, 255);
  put(7, 70, 335, "NETWORK LAN", 255, 255, 255);
  put(7, 350, 335, "IP", 255, 255, 255);
  int x = 790 - getStringSpace(7, "192.168.1.10");
  put(7, x, 335, "192.168.", 250, 150, 0);
  x += getStringSpace(7, "192.168.");
  put(7, x, 335, "1", 250, 250, 250);
  x += getStringSpace(7, "1");
  put(7, x, 335, ".10", 250, 150, 0);
  put(1, 20, 360, "11 -", 250, 150, 0);
  put(1, 70, 360, "NETWORK LAN", 250, 150, 0);
  put(1, 350, 360, "SUBNET", 250, 150, 0);
  char mask[20];
  snprintf(mask, sizeof mask, "%i.%i.%i.%i", NetMask_v[0], NetMask_v[1], NetMask_v[2], NetMask_v[3]);
  putRight(11, 360, mask, 250, 150, 0);
  put(8, 5, 400, "Update UI in progress: Wait for reset (max 2min)", 250, 250, 250);
  expectSame(0, 270, 800, 420);
}

TEST_F(Views, MemoryTableShowsTheSelectedRowOrangeAndItsCellRed) {
  w->MenuIdx = 7;
  w->overlay = 0x02;
  w->tabRowSel = 1;
  w->tabColSel = 3;
  PublishAmpStatus(w);
  DrawParameters(w);
  put(0, 100, 50, " Memory Table Bank 1 - Interface: QVRZEL", 250, 150, 0);
  put(8, 50, 100, "N     Band     Pwr    Att(dB)  AmpEnable    Ant       Atu", 255, 255, 255);
  const char* r0[7] = {"1", "40m", "100.0", "2", "On", "2", "On"};
  const char* r1[7] = {"2", "10m", "55.5", "3", "Off", "3", "Off"};
  const int xs[7] = {50, 90, 170, 250, 350, 470, 540};
  for (int c = 0; c < 7; c++) put(8, xs[c], 130, r0[c], 250, 250, 250);
  for (int c = 0; c < 7; c++) {
    if (c == 5)
      put(7, xs[c], 152, r1[c], 255, 0, 0);
    else
      put(8, xs[c], 152, r1[c], 250, 150, 0);
  }
  expectSame(0, 20, 800, 175);
  // The main screen's rows are not drawn under the table.
  EXPECT_EQ(regionDiff(fb, ref, 0, 175, 800, 420), 0);
}

TEST_F(Views, FilterScreenListsTheEightFilters) {
  w->MenuIdx = 12;
  w->overlay = 0x04;
  w->filterEditIdx = 1;
  for (int r = 0; r < 8; r++) w->filterTab[r] = FilterRow{1000000u * (r + 1), 1000000u * (r + 1) + 500000u, r == 3 ? uint8_t(0) : uint8_t(1)};
  PublishAmpStatus(w);
  DrawParameters(w);
  put(0, 250, 50, "FILTER SETTINGS", 250, 150, 0);
  put(8, 50, 100, "N    Start (Hz)                 Stop(Hz)                   Enabled", 255, 255, 255);
  for (int r = 0; r < 8; r++) {
    int g = r == 1 ? 150 : 250, b = r == 1 ? 0 : 250;
    char n[4], a[16], z[16];
    snprintf(n, sizeof n, "%d", r + 1);
    snprintf(a, sizeof a, "%d", 1000000 * (r + 1));
    snprintf(z, sizeof z, "%d", 1000000 * (r + 1) + 500000);
    put(8, 50, 22 * r + 130, n, 250, g, b);
    put(8, 90, 22 * r + 130, a, 250, g, b);
    put(8, 290, 22 * r + 130, z, 250, g, b);
    put(8, 490, 22 * r + 130, r == 3 ? "Off" : "On", 250, g, b);
  }
  expectSame(0, 20, 800, 300);
}

TEST_F(Views, StatusBarBandBoxAndTheRestOfTheMainScreenRows) {
  auto bandBox = [&](long f, const char* expect) {
    fillBuffer(fb, fb->workBuf, 0, 0, 255);
    fillBuffer(ref, ref->workBuf, 0, 0, 255);
    w->freq = f;
    PublishAmpStatus(w);
    DrawParameters(w);
    put(8, 275, 298, expect, 0, 200, 255);
    EXPECT_EQ(regionDiff(fb, ref, 266, 279, 400, 303), 0) << f << " " << expect;
  };
  bandBox(27000000, "NOPA");
  bandBox(28000000, "NOPA");
  bandBox(28001000, "Band:10m");
  bandBox(7100000, "Band:40m");
  bandBox(3600000, "Band:---");

  // The whole first row and the second.
  fillBuffer(fb, fb->workBuf, 0, 0, 255);
  fillBuffer(ref, ref->workBuf, 0, 0, 255);
  w->freq = 7100000;
  w->ampStatus[0] = 0x01;
  w->Attenuator = 2;
  w->AntennaIdx = 1;
  w->AtuBypassFlag = 1;
  w->remoteStarted = 1;
  w->remoteFault = 1;
  w->tempBoard = 35.25f;
  w->tempHeatsink = 41.0f;
  w->paCurrentRaw = 2048;  // 7.0 A
  w->tinyAnswer[kTinyVamp] = 100;  // 100 x 3.3 x 118 / 255 / 18 = 8.5 V
  w->keyFlags = 0x06;  // the first that applies: "not saved"
  PublishAmpStatus(w);
  DrawParameters(w);
  put(8, 10, 298, "QVRZEL", 0, 200, 255);
  put(8, 125, 298, "Coax:RX+TX", 0, 200, 255);
  put(8, 275, 298, "Band:40m", 0, 200, 255);
  put(8, 415, 298, "Att 3dB", 0, 200, 255);
  put(8, 535, 298, "Ant 2", 0, 200, 255);
  put(8, 615, 298, "Atu: Bpy", 0, 200, 255);
  put(8, 725, 298, "Remote", 250, 0, 0);
  put(8, 10, 327, "PA Temp1: 35.2°C      Temp2: 41.0°C", 0, 200, 0);
  put(8, 415, 327, "PA Voltage: 08.5V       Current: 07.0A", 0, 200, 0);
  put(8, 5, 350, "ATU ByPass not saved!", 250, 250, 250);
  const int boxes[7][2] = {{1, 110}, {115, 260}, {265, 400}, {405, 520}, {525, 600}, {605, 710}, {715, 799}};
  for (const auto& b : boxes) {
    EXPECT_EQ(workPixel(fb, b[0], 290), (Rgb3{200, 200, 200}));
    EXPECT_EQ(workPixel(fb, b[1], 278), (Rgb3{200, 200, 200}));
    EXPECT_EQ(regionDiff(fb, ref, b[0] + 1, 279, b[1], 303), 0) << b[0];
  }
  EXPECT_EQ(workPixel(fb, 1, 320), (Rgb3{100, 100, 100}));
  EXPECT_EQ(workPixel(fb, 799, 320), (Rgb3{100, 100, 100}));
  EXPECT_EQ(regionDiff(fb, ref, 2, 308, 400, 332), 0);
  EXPECT_EQ(regionDiff(fb, ref, 406, 308, 799, 332), 0);
  expectSame(0, 333, 800, 420);

  // The 60 W model above 20 V shows no voltage.
  fillBuffer(fb, fb->workBuf, 0, 0, 255);
  fillBuffer(ref, ref->workBuf, 0, 0, 255);
  w->tinyAnswer[kTinyVamp] = 255;
  PublishAmpStatus(w);
  DrawParameters(w);
  put(8, 415, 327, "PA Voltage: -----       Current: 07.0A", 0, 200, 0);
  EXPECT_EQ(regionDiff(fb, ref, 406, 308, 799, 332), 0);

  // A remote peer refused for want of TLS: said on the message line.
  fillBuffer(fb, fb->workBuf, 0, 0, 255);
  fillBuffer(ref, ref->workBuf, 0, 0, 255);
  w->keyFlags = 0;
  w->tlsRefused = 1;
  w->linkTls = 1;
  DrawParameters(w);
  put(8, 5, 350, "Remote: peer without TLS refused (tls on in remote.txt)", 250, 250, 250);
  EXPECT_EQ(regionDiff(fb, ref, 0, 333, 800, 360), 0);
}

TEST_F(Views, InformationScreenReplacesTheStatusRows) {
  w->overlay = 1;
  w->MenuIdx = 0;
  snprintf(w->version, sizeof w->version, "0.054");
  snprintf(w->ampVersion, sizeof w->ampVersion, "1.23");
  memset(w->ampEeprom0, 'A', sizeof w->ampEeprom0);  // all 32 bytes used, no terminator
  snprintf(w->ampEeprom1, sizeof w->ampEeprom1, "B7");
  w->ampConfig = '1';
  w->ampModel = '1';
  w->freq = 7074000;
  zp.freq = 7074100;
  w->tinyAnswer[kTinyVersion] = 0x2A;
  w->tinyAnswer[kTinyV12] = 10;
  w->tinyAnswer[kTinyV15] = 20;
  w->tinyAnswer[kTinyVamp] = 30;
  snprintf(w->DataOraStr, sizeof w->DataOraStr, "2026-12-08 03:00:00");
  setAccessKey(w, "Ab3dEf6hIj9L");
  w->linkTls = 1;
  PublishAmpStatus(w);
  DrawParameters(w);  // nothing: the information screen has the space
  PublishAmpStatus(w);
  ViewStatusInfo(w);
  PublishAmpStatus(w);
  ViewStatusTX(w);
  const std::string sn = std::string(32, 'A') + " (B7), TYPE: USA, MAXPOWER: 120W";
  put(8, 5, 110, "VERSION", 255, 255, 255);
  put(8, 180, 110, "SW ver. 0.054, FW ver. 1.23", 255, 255, 255);
  put(8, 5, 132, "SN", 255, 255, 255);
  put(8, 180, 132, sn.c_str(), 255, 255, 255);
  put(8, 5, 176, "FREQUENCY", 255, 255, 255);
  put(8, 180, 176, "7074000Hz(7074100)", 255, 255, 255);
  put(8, 180, 330, "EXT IO connected", 255, 255, 255);
  // 348 / 255 x 3.3 / 18 per step of the 120 W model.
  put(8, 5, 352, "AMPL", 255, 255, 255);
  put(8, 180, 352, "ver. 2a, V12: 2.5V, V15: 5.0V, Vamp: 7.5V", 255, 255, 255);
  // The owner reads the unit's access key here.
  put(8, 5, 374, "REMOTE", 255, 255, 255);
  put(8, 180, 374, "Key: Ab3dEf6hIj9L, TLS: on, listen: any", 255, 255, 255);
  put(8, 560, 58, "2026-12-08 03:00:00", 255, 255, 255);
  expectSame(0, 88, 800, 137);
  expectSame(0, 158, 800, 181);
  expectSame(0, 312, 800, 420);
  // No status-bar outline anywhere on its left edge.
  EXPECT_EQ(regionCount(fb, 1, 278, 2, 333, [](const Rgb3& p) { return !(p == Rgb3{0, 0, 255}); }), 0);
  // With error 8 listed the line says so.
  w->errorsMuted = 0;
  AddErrore(w, 8);
  fillBuffer(fb, fb->workBuf, 0, 0, 255);
  fillBuffer(ref, ref->workBuf, 0, 0, 255);
  PublishAmpStatus(w);
  ViewStatusInfo(w);
  put(8, 180, 330, "No EXT IO data", 255, 255, 255);
  EXPECT_EQ(regionDiff(fb, ref, 150, 312, 800, 335), 0);
}

TEST_F(Views, TransmitBoxOutsideTheInformationScreen) {
  w->ampStatus[1] = 0x01;
  PublishAmpStatus(w);
  ViewStatusTX(w);
  FillBox(375, 175, 430, 209, 250, 0, 0, ref, 0);
  put(8, 390, 200, "TX", 255, 255, 255);
  expectSame(360, 160, 450, 220);
  fillBuffer(fb, fb->workBuf, 0, 0, 255);
  w->overlay = 1;
  PublishAmpStatus(w);
  ViewStatusTX(w);
  EXPECT_EQ(regionCount(fb, 360, 160, 450, 220, [](const Rgb3& p) { return !(p == Rgb3{0, 0, 255}); }), 0);
}

TEST_F(Views, ParameterValueTextsNeverReadPastTheirTables) {
  char v[kParValueLen];
  auto val = [&](int par, int item = 0) {
    LoadParameterMenu(w, v, par, item);
    return std::string(v);
  };
  w->AttenuatorTune = 2;
  w->AutoTuneMaxCicli = 3;
  w->SaveScreenIdx = 1;
  w->factoryArmed = 1;
  EXPECT_EQ(val(4), "3dB");
  EXPECT_EQ(val(6), "10sec");
  EXPECT_EQ(val(25), "10min");
  EXPECT_EQ(val(27), "0.5 sec");
  EXPECT_EQ(val(26), "Set Default");
  EXPECT_EQ(val(26, 1), "");  // shown on its first item only
  // Values from a file or the menu outside their table show "?".
  w->AttenuatorTune = 200;
  w->AutoTuneMaxCicli = 9;
  w->SaveScreenIdx = 5;
  EXPECT_EQ(val(4), "?dB");
  EXPECT_EQ(val(6), "?");
  EXPECT_EQ(val(25), "?");
  char small[4];  // a short buffer is cut, not overrun
  LoadParameterMenu(w, small, 26, 0, sizeof small);
  EXPECT_STREQ(small, "Set");
}

TEST_F(Views, OnlyTemperatureErrorsAreNoError) {
  w->errorsMuted = 0;
  for (int c : {2, 22, 23, 24}) AddErrore(w, c);
  EXPECT_FALSE(VerifyError(w));
  AddErrore(w, 1);
  EXPECT_TRUE(VerifyError(w));
}

}  // namespace
