// Dense arithmetic and decisions of the amplifier link: check value,
// command texts, queue, reply decoding, powers and SWR, temperatures, fan
// steps, over-temperature protection and the station status text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/linear.h"
#include "amp/temperature.h"
#include "core/globals.h"
#include "app/spine.h"
#include "core/works.h"
#include "platform/log.h"
#include "tests/support/amp_frames.h"
#include "tests/support/test_works.h"

namespace {

struct AmpUnit : ::testing::Test {
  TestWorks tw;
  Works* w = nullptr;
  LinearState st;  // the link's own state, fresh for each test
  void SetUp() override {
    w = tw.get();
    InitGlobalVar(w);
    InstallStationHooks(w);
    w->errorsMuted = 0;
  }
  std::vector<int> drain() {
    std::vector<int> out;
    for (int c; (c = TakeQueuedCmd(w)) >= 0;) out.push_back(c);
    return out;
  }
  std::string text(int cmd) {
    char b[64];
    int n = LinearCmdText(w, cmd, b);
    return n < 0 ? std::string("<none>") : std::string(b, static_cast<size_t>(n));
  }
  int decode(const std::string& t) { return DecodeCatCmd(w, &st, t.c_str(), static_cast<int>(t.size())); }
  // Two config rows so that frequencies from 1 MHz to 30 MHz use row 0.
  void setFactors(float k0, float k1, float k2, float k3) {
    w->configRows.reset(new ConfigRow[2]);
    w->configRows[0].fStart = 1000000;
    w->configRows[0].K0 = k0;
    w->configRows[0].K1 = k1;
    w->configRows[0].K2 = k2;
    w->configRows[0].K3 = k3;
    w->configRows[1].fStart = 30000000;
    w->configCount = 2;
  }
};

TEST(AmpCrc, CheckValueAndHexDigits) {
  EXPECT_EQ(Sys_Crc8Calculation("123456789", 9), 0xA1);
  EXPECT_EQ(Sys_Crc8Calculation("ST;", 3), 0x4D);
  EXPECT_EQ(Sys_Crc8Calculation("", 0), 0);
  EXPECT_EQ(charToInt('0'), 0);
  EXPECT_EQ(charToInt('9'), 9);
  EXPECT_EQ(charToInt('A'), 10);
  EXPECT_EQ(charToInt('f'), 15);
  EXPECT_EQ(charToInt('G'), -1);
  EXPECT_EQ(charToInt(';'), -1);
}

TEST(AmpCrc, FrameCheckComparesUpperCase) {
  std::string up = ampReply("ST;");  // "4DST;"
  EXPECT_EQ(up, "4DST;");
  EXPECT_TRUE(LinFrameCheckOk(up.c_str(), static_cast<int>(up.size())));
  std::string low = ampCommand("ST;");  // "4dST;"
  EXPECT_FALSE(LinFrameCheckOk(low.c_str(), static_cast<int>(low.size())));
  // A check value made of decimal digits reads the same in either case.
  std::string t = "FM;";
  char chk[3];
  snprintf(chk, sizeof chk, "%02X", Sys_Crc8Calculation(t.data(), t.size()));
  if (isdigit(chk[0]) && isdigit(chk[1])) {
    std::string f = ampCommand(t);
    EXPECT_TRUE(LinFrameCheckOk(f.c_str(), static_cast<int>(f.size())));
  }
}

TEST(AmpRx, ReplyMayFillTheWholeBuffer) {
  LinRx rx;
  // 499 bytes without ";" and then ";": one frame of 500 bytes.
  for (int i = 0; i < kLinRxSize - 1; i++) ASSERT_EQ(LinRxByte(&rx, 'A'), 0) << i;
  EXPECT_EQ(LinRxByte(&rx, ';'), 1);
  EXPECT_EQ(rx.count, kLinRxSize);
  EXPECT_EQ(rx.buf[kLinRxSize - 1], ';');
  // 500 bytes without ";": the buffer starts over, the next frame is whole.
  rx.count = 0;
  for (int i = 0; i < kLinRxSize; i++) ASSERT_EQ(LinRxByte(&rx, 'A'), 0) << i;
  EXPECT_EQ(rx.count, 0);
  const std::string f = ampReply("FM00007074000;");
  int done = 0;
  for (char c : f) done += LinRxByte(&rx, c);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(std::string(rx.buf, static_cast<size_t>(rx.count)), f);
}

TEST_F(AmpUnit, CommandTextsAndLengths) {
  w->AntennaIdx = 2;  // "NumAntenna" 3
  EXPECT_EQ(text(CMD_SA), "SA3;");
  EXPECT_EQ(text(CMD_VSM), "VSM;");
  EXPECT_EQ(text(CMD_ST), "ST;");
  w->freq = 7100000;
  EXPECT_EQ(text(CMD_FA), "FA00007100000;");
  // The largest frequency a 32-bit long holds goes out as it is.
  w->freq = 2147483647L;
  EXPECT_EQ(text(CMD_FA), "FA02147483647;");
  w->freq = -5;
  EXPECT_EQ(text(CMD_FA), "FA00000000000;");
  w->Tuneval = 0x00812345;
  EXPECT_EQ(text(CMD_MT1), "MT100812345;");
  w->FreqSensIn = 1;
  w->FreqPeriodTime = 250;
  EXPECT_EQ(text(CMD_FS), "FS10025;");
  EXPECT_EQ(text(CMD_CP), "CPFFFF;");
  w->Attenuator = 2;
  EXPECT_EQ(text(CMD_AT), "AT10;");
  w->AttenuatorTune = 1;
  EXPECT_EQ(text(CMD_AT_TUNE), "AT01;");
  EXPECT_EQ(text(CMD_AT11), "AT11;");
  w->anState = 1;
  EXPECT_EQ(text(CMD_AN), "AN1;");
  EXPECT_EQ(text(CMD_TS), "TS4095409515003700;");
  w->fanStepSent = 50;
  EXPECT_EQ(text(CMD_FN), "FN1050;");
  w->PSpar3 = 7;
  EXPECT_EQ(text(CMD_PS), "PS0001100000070000;");
  w->filterSel = 0x04;
  EXPECT_EQ(text(CMD_SF_FILTER), "SF3000004;");
  EXPECT_EQ(text(CMD_GM), "GM00020100;");
  EXPECT_EQ(text(CMD_GS_QUERY), "GS;");
  EXPECT_EQ(text(CMD_ER2), "ER0002;");
  EXPECT_EQ(text(CMD_MR1), "MR1;");
  EXPECT_EQ(text(CMD_MR0), "MR0;");
  // not commands
  EXPECT_EQ(text(2), "<none>");
  EXPECT_EQ(text(25), "<none>");
  EXPECT_EQ(text(29), "<none>");
  EXPECT_EQ(text(41), "<none>");
}

TEST_F(AmpUnit, WideValuesAreHeldToTheirFieldWidth) {
  // Only the fixed length goes out: a wider value would be cut into a
  // different command.
  w->PSpar2 = 12345;
  w->PSpar1 = -3;
  EXPECT_EQ(text(CMD_PS), "PS0000999900000000;");
  w->AntennaIdx = 12;
  EXPECT_EQ(text(CMD_SA), "SA9;");
  // The general settings go back only when all ten characters are known.
  EXPECT_EQ(text(CMD_GS_SET), "<none>");
  strcpy(w->gsSettings, "0100000001");
  EXPECT_EQ(text(CMD_GS_SET), "GS0100000001;");
}

TEST_F(AmpUnit, QueueKeepsOrderAndDropsWhenFull) {
  logCaptureStart();
  std::vector<int> cmds;
  for (int c = 0; cmds.size() < 29; c = (c + 1) % 41)
    if (IsLinearCmd(c)) cmds.push_back(c);
  for (int c : cmds) IncPNTIn_CMDLinear(w, c);
  EXPECT_EQ(QueuedCmdCount(w), 29);
  IncPNTIn_CMDLinear(w, CMD_MP1);  // 30th: no room
  EXPECT_TRUE(logContains("queue full"));
  EXPECT_EQ(drain(), cmds);
  logCaptureStop();
  // state numbers never enter the ring
  for (int c : {-1, 2, 3, 25, 29, 31, 41}) IncPNTIn_CMDLinear(w, c);
  EXPECT_EQ(QueuedCmdCount(w), 0);
  // The ring wraps cleanly afterwards.
  IncPNTIn_CMDLinear(w, 7);
  IncPNTIn_CMDLinear(w, 8);
  EXPECT_EQ(drain(), (std::vector<int>{7, 8}));
}

TEST_F(AmpUnit, QueueIsSafeForSeveralProducers) {
  std::vector<int> valid;
  for (int c = 0; c <= 40; c++)
    if (IsLinearCmd(c)) valid.push_back(c);
  ASSERT_GE(valid.size(), 28u);
  std::vector<std::thread> ths;
  for (size_t t = 0; t < 4; t++)
    ths.emplace_back([this, t, &valid] {
      for (size_t i = 0; i < 7; i++) IncPNTIn_CMDLinear(w, valid[7 * t + i]);
    });
  for (auto& th : ths) th.join();
  std::vector<int> got = drain();
  ASSERT_EQ(got.size(), 28u);
  // every producer's commands arrive, each in its own order
  for (size_t t = 0; t < 4; t++) {
    std::vector<int> mine;
    for (int c : got)
      if (c >= valid[7 * t] && c <= valid[7 * t + 6]) mine.push_back(c);
    EXPECT_EQ(mine, std::vector<int>(valid.begin() + 7 * t, valid.begin() + 7 * t + 7));
  }
}

TEST_F(AmpUnit, AnUrgentBatchStaysTogetherOrIsNotQueuedAtAll) {
  std::thread other([this] {
    for (int i = 0; i < 8; i++) IncPNTIn_CMDLinear(w, CMD_FS);
  });
  IncPNTIn_CMDLinearUrgent(w, {CMD_MP1, CMD_AT_TUNE, CMD_TS, CMD_CP, CMD_MP0});
  other.join();
  EXPECT_EQ(w->cmdQ.urgent.load(), 1);
  std::vector<int> got = drain();
  auto at = std::find(got.begin(), got.end(), CMD_MP1);
  ASSERT_LE(at + 5, got.end());
  EXPECT_EQ(std::vector<int>(at, at + 5), (std::vector<int>{CMD_MP1, CMD_AT_TUNE, CMD_TS, CMD_CP, CMD_MP0}));

  // A batch that would not fit, or that holds a state number, queues nothing.
  w->cmdQ.urgent = 0;
  logCaptureStart();
  for (int i = 0; i < 26; i++) IncPNTIn_CMDLinear(w, CMD_FS);
  IncPNTIn_CMDLinearUrgent(w, {CMD_MP1, CMD_CP, CMD_MP0, CMD_AT});
  IncPNTIn_CMDLinearUrgent(w, {CMD_MP1, LIN_IDLE});
  logCaptureStop();
  EXPECT_EQ(QueuedCmdCount(w), 26);
  EXPECT_EQ(w->cmdQ.urgent.load(), 0);
}

TEST_F(AmpUnit, NextCommandDrainsUrgentQueueThenPolls) {
  IncPNTIn_CMDLinear(w, CMD_MP0);
  IncPNTIn_CMDLinear(w, CMD_AB1);
  EXPECT_EQ(NextCmdPriority(w, &st, CMD_ST), CMD_ST);  // not urgent: the queue waits
  w->cmdQ.urgent = 1;
  w->errResend = 1;
  EXPECT_EQ(NextCmdPriority(w, &st, CMD_ST), CMD_MP0);
  EXPECT_EQ(NextCmdPriority(w, &st, CMD_ST), CMD_AB1);
  EXPECT_EQ(w->errResend.load(), 1);
  EXPECT_EQ(NextCmdPriority(w, &st, CMD_ST), CMD_ST);
  EXPECT_EQ(w->cmdQ.urgent.load(), 0);
  EXPECT_EQ(w->errResend.load(), 2);
}

TEST_F(AmpUnit, RetriesThenRestartFromStatusWithError4) {
  LastCmdSent(&st, 'F', 'M', CMD_FM);
  for (int i = 1; i <= 3; i++) {
    GestRetrayCMD(w, &st);
    EXPECT_EQ(st.status, CMD_FM);
    EXPECT_EQ(st.retryCount, i);
  }
  EXPECT_FALSE(ExistError(w, 4));
  GestRetrayCMD(w, &st);
  EXPECT_EQ(st.status, CMD_ST);
  EXPECT_EQ(st.retryCount, 0);
  EXPECT_EQ(w->retryStops, 1);
  EXPECT_EQ(w->retryTotal, 4);
  EXPECT_TRUE(ExistError(w, 4));
  EXPECT_STREQ(w->errTable[4].line2, "Err FM");
  EXPECT_EQ(w->commErrHoldMs.load(), 2000);
}

TEST_F(AmpUnit, LinkLossIsReportedEvenBeforeTheFirstCP) {
  w->errorsMuted = 1;
  LastCmdSent(&st, 'S', 'T', CMD_ST);
  for (int i = 0; i < 4; i++) GestRetrayCMD(w, &st);
  EXPECT_TRUE(ExistError(w, 4));
  EXPECT_EQ(w->errorsMuted & 1, 1);  // other errors stay muted
  AddErrore(w, 1);
  EXPECT_FALSE(ExistError(w, 1));
}

TEST_F(AmpUnit, RejectedAndUnknownRepliesRetry) {
  LastCmdSent(&st, 'M', 'P', CMD_MP1);
  EXPECT_EQ(decode("MP?;"), 20);
  EXPECT_EQ(st.status, CMD_MP1);
  EXPECT_EQ(decode("MP!;"), 20);
  EXPECT_EQ(decode("MP&;"), 20);
  EXPECT_EQ(st.retryCount, 3);
  EXPECT_EQ(decode("QQ1;"), 20);  // unknown reply: fourth failure gives up
  EXPECT_EQ(st.status, CMD_ST);
  EXPECT_EQ(w->retryStops, 1);
}

TEST_F(AmpUnit, RepliesUpdateTheRecord) {
  decode("VSMSIM1.00;");
  EXPECT_STREQ(w->ampVersion, "SIM1.00");
  EXPECT_EQ(st.status, CMD_ST);
  decode("SA2;");
  EXPECT_EQ(w->AntennaIdx, 1);
  decode("SA7;");  // no such antenna: kept
  EXPECT_EQ(w->AntennaIdx, 1);
  decode("FM00007074000;");
  EXPECT_EQ(w->freqMeasured, 7074000);
  decode("FM00000000000;");
  EXPECT_EQ(w->freqMeasured, 7074000);
  decode("TU1;");
  EXPECT_EQ(w->tuState, 1);
  w->errorsMuted = 1;
  decode("CPFFFF;");
  EXPECT_EQ(w->errorsMuted.load(), 0);
  decode("AB0;");
  EXPECT_EQ(w->AmpBypassFlag, 0);
  decode("AB1;");
  EXPECT_EQ(w->AmpBypassFlag, 1);
  w->txReqFlags = 0x10;
  decode("AN1;");
  EXPECT_EQ(w->anState, 1);
  EXPECT_EQ(w->txReqFlags.load(), 0x30);
  decode("MR0;");
  EXPECT_EQ(w->resetMicro, 1);
  decode("GS0100000001;");
  EXPECT_STREQ(w->gsSettings, "0100000001");
  decode("GS01;");
  EXPECT_STREQ(w->gsSettings, "01");
  decode("ER00023031;");
  EXPECT_EQ(w->ampConfig, 0x30);
  EXPECT_EQ(w->ampModel, '1');
  EXPECT_EQ(number_ofStep_meter_FWD, 120);
  std::string ee = "ER0000";
  for (int k = 0; k < 32; k++) {
    char b[3];
    snprintf(b, sizeof b, "%02X", 0x41 + k);
    ee += b;
  }
  decode(ee + ";");
  EXPECT_EQ(w->ampEeprom0[0], 'A');
  EXPECT_EQ(w->ampEeprom0[31], static_cast<char>(0x41 + 31));
  decode("ER00023030;");
  EXPECT_EQ(number_ofStep_meter_FWD, 60);
}

TEST_F(AmpUnit, StatusPowersAndSwr) {
  setFactors(1e-4f, 1.11e-5f, 1e-6f, 0.0f);
  AmpStatus s;
  s.fwd = 1000;
  s.refl = 1000;
  s.in = 2000;
  s.current = 2048;
  decode(ampStatusText(s));
  EXPECT_NEAR(w->FWD, 100.0, 0.01);
  EXPECT_NEAR(w->pwrRefl, 11.1, 0.01);
  EXPECT_NEAR(w->pwrIn, 4.0, 0.01);
  EXPECT_NEAR(w->SWR, 2.0, 0.01);
  EXPECT_EQ(w->rawFwd, 1000);
  EXPECT_FLOAT_EQ(w->paCurrentRaw, 2048);

  setFactors(0.2e-6f, 0.6e-6f, 0, 0);  // 0.2 W forward, 0.6 W reflected
  decode(ampStatusText(s));
  EXPECT_FLOAT_EQ(w->SWR, 100);

  setFactors(0.2e-6f, 0.4e-6f, 0, 0);  // below 0.3 W, reflected below 0.5 W
  decode(ampStatusText(s));
  EXPECT_FLOAT_EQ(w->SWR, 0);

  setFactors(1e-4f, 2e-4f, 0, 0);  // reflected above forward
  decode(ampStatusText(s));
  EXPECT_FLOAT_EQ(w->SWR, 100);

  setFactors(1e-4f, 0, 0, -0.007f);  // directivity correction never below 0
  decode(ampStatusText(s));
  EXPECT_FLOAT_EQ(w->pwrRefl, 0);
  EXPECT_NEAR(w->SWR, 1.0, 1e-6);
}

TEST_F(AmpUnit, StatusFaultBitsRaiseAndClearErrors) {
  AmpStatus s;
  s.c = 0x05;  // bits 0 and 2: the later bit names the fault
  decode(ampStatusText(s));
  EXPECT_TRUE(ExistError(w, 15));
  EXPECT_STREQ(w->errTable[15].line2, "FWD");
  EXPECT_EQ(w->errFlags & 1, 1);  // protection latched
  s.c = 0x10;
  decode(ampStatusText(s));
  EXPECT_STREQ(w->errTable[15].line2, "FILTER TX");
  s.c = 0;
  decode(ampStatusText(s));
  EXPECT_FALSE(ExistError(w, 15));

  s.c = 0x41;  // band warning wins over the fault detail
  decode(ampStatusText(s));
  EXPECT_TRUE(ExistError(w, 19));
  EXPECT_FALSE(ExistError(w, 15));

  s.c = 0x80;
  decode(ampStatusText(s));
  EXPECT_FALSE(ExistError(w, 16));  // no micro reset seen
  w->resetMicro = 1;
  decode(ampStatusText(s));
  EXPECT_TRUE(ExistError(w, 16));

  s = AmpStatus();
  s.b = 2;  // high SWR
  decode(ampStatusText(s));
  EXPECT_TRUE(ExistError(w, 1));
  w->errFlags |= 2;  // a reset is waiting for the amplifier
  s.b = 0;
  decode(ampStatusText(s));
  EXPECT_FALSE(ExistError(w, 1));
  EXPECT_EQ(w->errFlags & 3, 0);

  s.c = 0x20;  // input power error only while the amplifier is keyed by the operator
  w->anState = 1;
  w->tuneFlags = 0x02;
  decode(ampStatusText(s));
  EXPECT_FALSE(ExistError(w, 3));
  w->tuneFlags = 0;
  decode(ampStatusText(s));
  EXPECT_TRUE(ExistError(w, 3));
}

TEST_F(AmpUnit, StatusBypassAndStateAfterLinkLoss) {
  AmpStatus s;
  w->AmpBypassFlag = 0;
  w->abState = 1;  // "AB1" sent, amplifier reports bypass
  s.b = 8;
  decode(ampStatusText(s));
  EXPECT_EQ(w->AmpBypassFlag, 1);
  w->abState = 0;
  s.b = 0;
  decode(ampStatusText(s));
  EXPECT_EQ(w->AmpBypassFlag, 0);

  // Attenuator is adopted from status A only after a lost link.
  w->Attenuator = 0;
  s.a = 0xC;
  decode(ampStatusText(s));
  EXPECT_EQ(w->Attenuator, 0);
  AddErrore(w, 4);
  decode(ampStatusText(s));
  EXPECT_EQ(w->Attenuator, 3);
  s.a = 0x8;
  decode(ampStatusText(s));
  EXPECT_EQ(w->Attenuator, 2);
  s.a = 0x4;
  s.b = 8;
  w->abState = 0;
  decode(ampStatusText(s));
  EXPECT_EQ(w->Attenuator, 1);
  EXPECT_EQ(w->AmpBypassFlag, 1);
}

TEST_F(AmpUnit, StatusChoosesNextByTuneState) {
  AmpStatus s;
  std::string reply = ampStatusText(s);
  decode(reply);
  EXPECT_EQ(st.status, CMD_FM);
  IncPNTIn_CMDLinear(w, CMD_AB0);
  decode(reply);
  EXPECT_EQ(st.status, CMD_AB0);
  w->TuneRunState = 2;
  decode(reply);
  EXPECT_EQ(st.status, CMD_CP);
  EXPECT_EQ(w->TuneRunState.load(), 1);
  w->TuneRunState = 3;
  decode(reply);
  EXPECT_EQ(st.status, CMD_ST);
  EXPECT_EQ(w->TuneRunState.load(), 1);
  // A truncated status reply is not decoded: it is retried.
  LastCmdSent(&st, 'S', 'T', CMD_ST);
  w->TuneRunState = 0;
  decode("ST00000;");
  EXPECT_EQ(st.retryCount, 1);
}

TEST_F(AmpUnit, ErrorResendFinishesAtTheNextStatus) {
  AddErrore(w, 12);
  AddErrore(w, 23);
  w->errResend = 2;
  AmpStatus s;
  decode(ampStatusText(s));
  EXPECT_EQ(w->errResend.load(), 0);
  EXPECT_FALSE(ExistError(w, 12));
}

TEST(AmpTemp, NtcConversion) {
  EXPECT_NEAR(CalcolaTemp(2048), 25.0, 0.05);
  EXPECT_NEAR(CalcolaTemp(1092), 50.0, 0.1);   // 3.635 kohm
  EXPECT_FLOAT_EQ(CalcolaTemp(4095), -10.0f);  // open sensor, clamped
  // No 12-bit reading lies above 4095: a negative resistance is past the
  // hot end of the table and reads as the upper clamp.
  EXPECT_FLOAT_EQ(CalcolaTemp(4096), 80.0f);
  EXPECT_FLOAT_EQ(CalcolaTemp(9999), 80.0f);
  EXPECT_FLOAT_EQ(CalcolaTemp(0), 80.0f);      // shorted sensor reads hot
  EXPECT_FLOAT_EQ(CalcolaTemp(372), 80.0f);    // about 1 kohm, above 80 C
  EXPECT_FLOAT_EQ(CalcolaTemp(3800), -10.0f);  // very cold, clamped
  // monotonic: hotter sensor, lower reading
  float prev = 100;
  for (int raw = 300; raw < 3900; raw += 50) {
    float t = CalcolaTemp(raw);
    EXPECT_LE(t, prev) << raw;
    prev = t;
  }
}

TEST_F(AmpUnit, PowerFactorsByFrequency) {
  EXPECT_FLOAT_EQ(SearchK(w, 0), 5.156579e-6f);
  EXPECT_FLOAT_EQ(SearchK(w, 1), 3.3262754e-6f);
  EXPECT_FLOAT_EQ(SearchK(w, 2), 5.5078103e-6f);
  EXPECT_FLOAT_EQ(SearchK(w, 3), -0.007f);
  EXPECT_FLOAT_EQ(SearchK(w, 4), 1.0f);
  w->configRows.reset(new ConfigRow[3]);
  w->configRows[0].fStart = 7000000;
  w->configRows[0].K0 = 2.0f;
  w->configRows[1].fStart = 14000000;
  w->configRows[1].K0 = 3.0f;
  w->configRows[2].fStart = 21000000;
  w->configRows[2].K0 = 4.0f;
  w->configCount = 3;
  w->freq = 7000000;
  EXPECT_FLOAT_EQ(SearchK(w, 0), 2.0f);
  w->freq = 14000000;  // a row's own start belongs to it
  EXPECT_FLOAT_EQ(SearchK(w, 0), 3.0f);
  w->freq = 21000000;  // the last row only bounds the one before it
  EXPECT_FLOAT_EQ(SearchK(w, 0), 1.0f);
  w->freq = 1800000;  // below the first row
  for (int k = 0; k < 4; k++) EXPECT_FLOAT_EQ(SearchK(w, k), 1.0f);
  // Starts out of order: 7-14 MHz (row 0) and 3-21 MHz (row 2) both hold
  // 10 MHz; the later row wins.
  w->configRows.reset(new ConfigRow[4]);
  w->configRows[0].fStart = 7000000;
  w->configRows[0].K1 = 2.0f;
  w->configRows[1].fStart = 14000000;
  w->configRows[1].K1 = 3.0f;
  w->configRows[2].fStart = 3000000;
  w->configRows[2].K1 = 4.0f;
  w->configRows[3].fStart = 21000000;
  w->configCount = 4;
  w->freq = 10000000;
  EXPECT_FLOAT_EQ(SearchK(w, 1), 4.0f);
  w->freq = 5000000;  // only row 2
  EXPECT_FLOAT_EQ(SearchK(w, 1), 4.0f);
  w->freq = 16000000;  // only row 2: row 1 would run from 14 MHz down to 3 MHz
  EXPECT_FLOAT_EQ(SearchK(w, 1), 4.0f);
}

TEST_F(AmpUnit, FanStepsUpAtOnceAndDownWithHysteresis) {
  w->fanRows.reset(new FanRow[3]{{30, 0}, {40, 50}, {50, 100}});
  w->fanCount = 3;
  w->Isteresi2 = 1;
  w->tempBoard = 45;
  w->tempHeatsink = 20;
  searchPercentVentola(w);  // first evaluation always sends
  EXPECT_EQ(w->fanStepSent, 50);
  EXPECT_EQ(drain(), (std::vector<int>{CMD_FN}));
  w->tempHeatsink = 55;  // up at once
  searchPercentVentola(w);
  EXPECT_EQ(w->fanStepSent, 100);
  EXPECT_EQ(text(CMD_FN), "FN1100;");
  drain();
  w->tempHeatsink = 49.5f;  // within the hysteresis: stays
  searchPercentVentola(w);
  EXPECT_EQ(w->fanStep, 50);
  EXPECT_EQ(w->fanStepSent, 100);
  EXPECT_TRUE(drain().empty());
  w->tempHeatsink = 45;  // 45 < 50 - 1
  searchPercentVentola(w);
  EXPECT_EQ(w->fanStepSent, 50);
  EXPECT_EQ(drain(), (std::vector<int>{CMD_FN}));
  w->tempHeatsink = 80;
  w->tempBoard = 80;
  searchPercentVentola(w);  // above the last row: its step
  EXPECT_EQ(w->fanStepSent, 100);
  w->tempBoard = w->tempHeatsink = 10;  // below the first row: row 0
  w->Isteresi2 = 0;
  searchPercentVentola(w);
  EXPECT_EQ(w->fanStepSent, 0);
}

TEST_F(AmpUnit, EmptyFanTableKeepsTheStep) {
  w->fanStep = 30;
  w->fanStepSent = 30;
  w->tempBoard = 70;
  searchPercentVentola(w);
  EXPECT_EQ(w->fanStep, 30);
  EXPECT_EQ(w->fanStepSent, 30);
  EXPECT_TRUE(drain().empty());
}

TEST_F(AmpUnit, TemperatureWarningAlarmAndEnd) {
  w->MaxTemperature = 60.0f;
  w->Isteresi1 = 1;
  GestTemperatureFunction(w, 2, 0, 23, 59.5f, 60.0f);
  EXPECT_TRUE(ExistError(w, 23));
  EXPECT_TRUE(drain().empty());
  GestTemperatureFunction(w, 2, 0, 23, 60.5f, 60.0f);
  EXPECT_TRUE(ExistError(w, 2));
  EXPECT_FALSE(ExistError(w, 23));
  EXPECT_EQ(drain(), (std::vector<int>{CMD_MP1, CMD_AT11, CMD_AB0}));
  GestTemperatureFunction(w, 2, 0, 23, 60.5f, 60.0f);  // already in alarm
  EXPECT_TRUE(drain().empty());
  GestTemperatureFunction(w, 2, 0, 23, 59.5f, 60.0f);  // in the band: nothing
  EXPECT_TRUE(drain().empty());
  EXPECT_TRUE(ExistError(w, 2));
  GestTemperatureFunction(w, 2, 0, 23, 58.9f, 60.0f);
  EXPECT_FALSE(ExistError(w, 2));
  EXPECT_TRUE(ExistError(w, 0));
  EXPECT_EQ(drain(), (std::vector<int>{CMD_AB1}));
  // muted errors: protection still switched on, no bypass command
  TestWorks other;
  InitGlobalVar(other.get());
  GestTemperatureFunction(other.get(), 22, 21, 24, 81.0f, 80.0f);
  std::vector<int> q;
  for (int c; (c = TakeQueuedCmd(other.get())) >= 0;) q.push_back(c);
  EXPECT_EQ(q, (std::vector<int>{CMD_MP1, CMD_AT11}));
}

TEST_F(AmpUnit, StatusTextLayout) {
  w->freq = 14070000;
  w->ModeWorkIdx = 1;
  w->Attenuator = 2;
  w->AntennaIdx = 1;
  w->AmpBypassFlag = 0;
  w->AtuBypassFlag = 1;
  w->SWR = 1.5f;
  w->FWD = 100.0f;
  w->pwrIn = 5.0f;
  w->tempBoard = 35.2f;
  w->tempHeatsink = 40.06f;
  w->paCurrentRaw = 2048;
  w->NumBanco = 3;
  AddErrore(w, 4);
  AddErrore(w, 15);
  char out[64];
  PublishAmpStatus(w);
  CreaBufferDiStato(w, out);
  std::string expect = std::string("----1210B0001.50100.00005.0040.1 0.007.003") + char(16) + "00000000;";
  EXPECT_EQ(std::string(out), expect);
  EXPECT_EQ(strlen(out), 52u);

  // Out-of-range values never shift the later fields.
  w->FWD = 1234.5f;
  w->tempBoard = -10;
  w->tempHeatsink = -10;
  w->TUNEenabled = 0x80;
  w->TuneRunState = 1;
  DeleteErrore(w, 4);
  DeleteErrore(w, 15);
  PublishAmpStatus(w);
  CreaBufferDiStato(w, out);
  std::string s(out);
  ASSERT_EQ(s.size(), 52u);
  EXPECT_EQ(s.substr(8, 2), "N1");
  EXPECT_EQ(s.substr(16, 6), "999.99");
  EXPECT_EQ(s.substr(28, 4), "-9.9");
  EXPECT_EQ(s[42], '0');
  EXPECT_EQ(s.back(), ';');
}

}  // namespace
