#include <gtest/gtest.h>

#include <string>

#include "amp/errors.h"
#include "core/works.h"
#include "screens/buttons.h"
#include "screens/labels.h"
#include "tests/screens_pixels.h"
#include "tests/support/test_works.h"
#include "tuner/tune_memory.h"

namespace {

class Strip : public ::testing::Test {
 protected:
  TestWorks tw;
  Works* w = nullptr;
  FbInfo* fb = nullptr;
  FbInfo* ref = nullptr;
  void SetUp() override {
    loadPanelFonts();
    w = tw.get();
    fb = fbCreateMemory(800, 480);
    ref = fbCreateMemory(800, 480);
    fillBuffer(fb, fb->workBuf, 0, 0, 255);  // blue: anything left undrawn shows
    w->fb = fb;
    w->NumBanco = 1;
    w->MAXbank = 20;
    w->ModeWorkIdx = 1;
    InitMenuZarn(w);
    w->errorsMuted = 0;
  }
  void TearDown() override {
    fbRelease(fb);
    fbRelease(ref);
  }
  // The reference: a plain button face with the two label lines.
  void refButton(int x0, int x1, const char* l1, int lx1, const char* l2, int lx2) {
    FillBox(x0, 421, x1, 478, 40, 40, 40, ref, 0);
    putString(0, lx1, 445, l1, 250, 150, 0, ref, 0, 0, 0, 0);
    putString(1, lx2, 472, l2, 250, 150, 0, ref, 0, 0, 0, 0);
  }
  int orangeIn(int x0, int x1) {
    return regionCount(fb, x0, 421, x1, 478, [](const Rgb3& p) { return p.r > 120 && p.b < 60 && p.g > 60; });
  }
};

const int kBtn[6][2] = {{0, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 799}};
const int kLx[6][2] = {{20, 30}, {143, 153}, {276, 286}, {409, 419}, {542, 552}, {675, 695}};

}  // namespace

TEST_F(Strip, TablesHoldEveryPageAndGroup) {
  EXPECT_EQ(w->NumPar, 32);
  EXPECT_EQ(menuPar[0].id, 1);
  EXPECT_EQ(menuPar[18].id, 50);
  EXPECT_EQ(menuPar[31].id, 99);
  EXPECT_STREQ(menuPar[5].item[0].caption, "Target SWR (0=Off)");
  EXPECT_STREQ(menuPar[25].title, "SCREEN SAVER TIMEOUT");  // 20 letters, kept whole
  EXPECT_STREQ(menuPar[25].item[0].caption, " ");
  EXPECT_STREQ(menuPar[22].title, "1-TEMPERATURE ALARM");
  for (int g = 0; g < 32; g++) {
    EXPECT_EQ(menuPar[g].itemCount, 1) << g;
    EXPECT_EQ(menuPar[g].item[0].noEdit, 0) << g;
    EXPECT_EQ(menuPar[g].item[0].hasCursor, (g >= 9 && g <= 12) ? 1 : 0) << g;
  }
  EXPECT_EQ(Zarnmenu[0].flags, 0x21);
  EXPECT_EQ(Zarnmenu[4].flags, 0x01);
  for (int p : {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12}) EXPECT_EQ(Zarnmenu[p].flags, 0) << p;
  EXPECT_STREQ(Zarnmenu[0].button[5].line1, "   VIEW ");
  EXPECT_STREQ(Zarnmenu[0].button[5].line2, " 1 ");
  EXPECT_STREQ(Zarnmenu[2].button[3].line1, "      - ");
  EXPECT_STREQ(Zarnmenu[3].button[4].line2, "Off");
  EXPECT_STREQ(Zarnmenu[3].button[5].line2, "Tune");
  EXPECT_STREQ(Zarnmenu[4].button[5].line1, "STARTTX");
  EXPECT_STREQ(Zarnmenu[9].button[2].line1, "   RESET");
  EXPECT_STREQ(Zarnmenu[10].button[5].line2, "COPY");
  EXPECT_STREQ(Zarnmenu[11].button[5].line2, "RESET");
  EXPECT_STREQ(Zarnmenu[12].button[5].line1, "Disable");
  EXPECT_STREQ(Zarnmenu[6].button[1].line2, "QVRZEL");
  // The error descriptors are filled too.
  EXPECT_STREQ(w->errTable[1].line1, "HI SWR");
}

TEST_F(Strip, StartValuesThenRedrawnValues) {
  w->AttIdx = 1;
  w->AntennaIdx = 2;
  w->SaveBank = 4;
  w->SaveAnt = 1;
  InitMenuZarn(w);
  EXPECT_STREQ(Zarnmenu[0].button[0].line2, "BANK 1");
  EXPECT_STREQ(Zarnmenu[0].button[1].line2, "2dB");
  EXPECT_STREQ(Zarnmenu[0].button[2].line2, "3");
  EXPECT_STREQ(Zarnmenu[8].button[1].line2, "   4");
  EXPECT_STREQ(Zarnmenu[8].button[2].line2, "     2");
  w->MenuIdx = 0;
  w->AmpBypassFlag = 0;
  w->ViewIdx = 4;
  LoadButtons(w);
  EXPECT_STREQ(Zarnmenu[0].button[0].line2, "BANK1");  // no blank after the first redraw
  EXPECT_STREQ(Zarnmenu[0].button[1].line2, "  2dB");
  EXPECT_STREQ(Zarnmenu[0].button[2].line2, "     3");
  EXPECT_STREQ(Zarnmenu[0].button[5].line2, "    4");
  // An antenna the table chose says so.
  w->antennaAuto = 1;
  LoadButtons(w);
  EXPECT_STREQ(Zarnmenu[0].button[2].line2, "Auto 3");
}

TEST_F(Strip, LabelRoutinesActOnlyOnTheirPage) {
  w->MenuIdx = 1;
  w->AttIdx = 2;
  w->AmpBypassFlag = 0;
  w->ResetBank = 20;
  SetAttenuatorLabel(w);
  SetModeWorkLabel(w);
  LblRESET(w);
  LabelByPassATU(w);
  LabelByPassZarn(w, "xx");
  LabelSAVEATU(w);
  LblCOPY(w);
  LblMenuAntenna(w);
  ImpostaLblManuale(w);
  EXPECT_STREQ(Zarnmenu[0].button[1].line2, "0dB");
  EXPECT_STREQ(Zarnmenu[0].button[0].line2, "BANK 1");
  EXPECT_STREQ(Zarnmenu[11].button[1].line2, "    0");
  EXPECT_STREQ(Zarnmenu[3].button[4].line2, "Off");
  EXPECT_STREQ(Zarnmenu[4].button[0].line2, " ");

  w->MenuIdx = 0;
  SetAttenuatorLabel(w);
  EXPECT_STREQ(Zarnmenu[0].button[1].line2, "  3dB");  // two blanks, "3", "dB"
  w->AmpBypassFlag = 1;
  SetAttenuatorLabel(w);
  EXPECT_STREQ(Zarnmenu[0].button[1].line2, "  StBy");

  w->MenuIdx = 11;
  LblRESET(w);
  EXPECT_STREQ(Zarnmenu[11].button[1].line2, "  ALL");
  w->ResetBank = 3;
  LblRESET(w);
  EXPECT_STREQ(Zarnmenu[11].button[1].line2, "    3");

  w->MenuIdx = 3;
  w->AtuBypassFlag = 1;
  LabelByPassATU(w);
  EXPECT_STREQ(Zarnmenu[3].button[4].line2, "   Bpy");
  w->AtuBypassFlag = 0;
  LabelByPassATU(w);
  EXPECT_STREQ(Zarnmenu[3].button[4].line2, "   On");
  LabelByPassZarn(w, "Off");
  EXPECT_STREQ(Zarnmenu[3].button[4].line2, "Off");

  w->MenuIdx = 8;
  w->SaveBank = 12;
  w->SaveAnt = 2;
  LabelSAVEATU(w);
  EXPECT_STREQ(Zarnmenu[8].button[1].line2, "   12");
  EXPECT_STREQ(Zarnmenu[8].button[2].line2, "     3");

  w->MenuIdx = 10;
  w->CopyFrom = 5;
  w->CopyTo = 19;
  LblCOPY(w);
  EXPECT_STREQ(Zarnmenu[10].button[1].line2, "    5");
  EXPECT_STREQ(Zarnmenu[10].button[2].line2, "    19");

  w->MenuIdx = 6;
  w->ModeWorkIdx = 2;
  LblMenuAntenna(w);
  EXPECT_STREQ(Zarnmenu[6].button[1].line2, " FT-817");
  w->ModeWorkIdx = 3;
  LblMenuAntenna(w);
  EXPECT_STREQ(Zarnmenu[6].button[1].line2, "Hamlib");
  w->ModeWorkIdx = 4;  // no such interface: the label stays
  LblMenuAntenna(w);
  EXPECT_STREQ(Zarnmenu[6].button[1].line2, "Hamlib");

  w->MenuIdx = 4;
  w->ValI = 17;
  w->ValC = 300;
  w->Tuneval = kTuneLC;
  ImpostaLblManuale(w);
  EXPECT_STREQ(Zarnmenu[4].button[2].line2, "     17");
  EXPECT_STREQ(Zarnmenu[4].button[4].line2, "     300");
  EXPECT_STREQ(Zarnmenu[4].button[0].line2, "LC");
  w->Tuneval = kTuneCL;
  ImpostaLblManuale(w);
  EXPECT_STREQ(Zarnmenu[4].button[0].line2, "CL");
  w->Tuneval = kTuneBypass;
  ImpostaLblManuale(w);
  EXPECT_STREQ(Zarnmenu[4].button[0].line2, "ByP");
  w->Tuneval = 0;
  ImpostaLblManuale(w);
  EXPECT_STREQ(Zarnmenu[4].button[0].line2, "ByP");
}

TEST_F(Strip, GeometryAndColours) {
  w->MenuIdx = 0;
  LoadButtons(w);
  const Rgb3 face{40, 40, 40}, grey{120, 120, 120}, orange{250, 150, 0}, blue{0, 0, 255};
  EXPECT_EQ(workPixel(fb, 0, 479), face);
  EXPECT_EQ(workPixel(fb, 798, 421), face);
  // Gaps between the buttons keep what was there.
  for (int x : {131, 132, 264, 265, 397, 398, 530, 531, 663, 664}) EXPECT_EQ(workPixel(fb, x, 450), blue) << x;
  // Frame: top row and the right edges.
  EXPECT_EQ(workPixel(fb, 1, 420), grey);
  EXPECT_EQ(workPixel(fb, 0, 420), face);
  EXPECT_EQ(workPixel(fb, 133, 420), face);
  EXPECT_EQ(workPixel(fb, 134, 420), grey);
  for (int x : {130, 263, 396, 529, 662, 799}) {
    EXPECT_EQ(workPixel(fb, x, 421), grey) << x;
    EXPECT_EQ(workPixel(fb, x, 478), grey) << x;
  }
  EXPECT_EQ(workPixel(fb, 130, 479), grey);
  EXPECT_EQ(workPixel(fb, 10, 419), blue);
  // Long-press marks of page 0 under buttons 1 and 6.
  EXPECT_EQ(workPixel(fb, 2, 478), orange);
  EXPECT_EQ(workPixel(fb, 127, 479), orange);
  EXPECT_EQ(workPixel(fb, 128, 479), face);
  EXPECT_EQ(workPixel(fb, 1, 479), face);
  EXPECT_EQ(workPixel(fb, 667, 479), orange);
  EXPECT_EQ(workPixel(fb, 796, 478), orange);
  EXPECT_EQ(workPixel(fb, 797, 478), face);
  EXPECT_EQ(workPixel(fb, 2, 477), face);

  w->MenuIdx = 4;  // mark under button 1 only
  LoadButtons(w);
  EXPECT_EQ(workPixel(fb, 50, 478), orange);
  EXPECT_EQ(workPixel(fb, 700, 478), face);
  w->MenuIdx = 1;
  LoadButtons(w);
  EXPECT_EQ(workPixel(fb, 50, 478), face);
}

TEST_F(Strip, PageZeroLabels) {
  w->MenuIdx = 0;
  w->AntennaIdx = 1;
  w->AttIdx = 3;
  w->AmpBypassFlag = 0;
  w->ViewIdx = 2;
  LoadButtons(w);
  const char* l2[6] = {"BANK1", "  5dB", "     2", " ", " ", "    2"};
  for (int b = 0; b < 6; b++) {
    refButton(kBtn[b][0] + 1, kBtn[b][1], Zarnmenu[0].button[b].line1, kLx[b][0], l2[b], kLx[b][1]);
    EXPECT_EQ(regionDiff(fb, ref, kBtn[b][0] + 1, 421, kBtn[b][1], 478), 0) << "button " << b + 1;
  }
  EXPECT_GT(orangeIn(0, 130), 100);  // the labels are really there
}

TEST_F(Strip, PendingErrorTurnsButtonOneIntoReset) {
  w->MenuIdx = 0;
  AddErrore(w, 2);  // a temperature alarm alone does not
  LoadButtons(w);
  refButton(1, 130, "  MEM", 20, "BANK1", 30);
  EXPECT_EQ(regionDiff(fb, ref, 1, 421, 130, 478), 0);
  AddErrore(w, 4);
  LoadButtons(w);
  refButton(1, 130, "RESET", 20, " Error ", 30);
  EXPECT_EQ(regionDiff(fb, ref, 1, 421, 130, 478), 0);
}

TEST_F(Strip, TunerPageAndHiddenEditKeys) {
  w->MenuIdx = 3;
  w->TUNEenabled = 0x80;
  LoadButtons(w);
  EXPECT_STREQ(Zarnmenu[3].button[3].line2, "NotInst");
  w->TUNEenabled = 0;
  w->TuneRunState = 1;
  LoadButtons(w);
  EXPECT_STREQ(Zarnmenu[3].button[3].line2, "    On");
  w->TuneRunState = 0;
  LoadButtons(w);
  EXPECT_STREQ(Zarnmenu[3].button[3].line2, "   Off");

  // Parameter editing: "<" and ">" only for the address groups.
  w->MenuIdx = 2;
  w->ParIdx = 3;
  LoadButtons(w);
  EXPECT_EQ(orangeIn(134, 263), 0);
  EXPECT_EQ(orangeIn(267, 396), 0);
  EXPECT_GT(orangeIn(666, 799), 0);
  w->ParIdx = 9;
  LoadButtons(w);
  EXPECT_GT(orangeIn(134, 263), 0);
  EXPECT_GT(orangeIn(267, 396), 0);

  // The browser hides ENTER for an item that cannot be edited.
  w->MenuIdx = 1;
  w->ParIdx = 0;
  LoadButtons(w);
  EXPECT_GT(orangeIn(666, 799), 0);
  menuPar[0].item[0].noEdit = 1;
  LoadButtons(w);
  EXPECT_EQ(orangeIn(666, 799), 0);
}
