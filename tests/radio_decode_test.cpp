// Decoders of the radio links: parameter blocks, message lengths, spectrum
// rotation and levels, CAT texts, FT-817 answers, and the commands sent to
// the companion radio for the tune handshake.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "radio/cat_serial.h"
#include "radio/zel_link.h"
#include "tests/support/pty.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

// A parameter block written byte by byte from the layout: frequency as
// eight hex digits in bytes 1..8 (0x30 + digit), then the state bytes.
struct Block {
  std::vector<uint8_t> b;
  explicit Block(uint32_t freq, uint8_t byte0 = 0, size_t len = 31) : b(len, 0) {
    b[0] = byte0;
    for (size_t i = 0; i < 8 && 1 + i < len; i++) b[1 + i] = static_cast<uint8_t>(0x30 | ((freq >> (28 - 4 * i)) & 0xF));
  }
  Block& set(size_t i, uint8_t v) {
    b[i] = v;
    return *this;
  }
  Block& digits(size_t at, int n, uint32_t v) {
    for (int i = 0; i < n; i++) b[at + i] = static_cast<uint8_t>(0x30 | ((v >> (4 * (n - 1 - i))) & 0xF));
    return *this;
  }
};

struct ZelRecord : TestWorks {
  ZelParam zp{};
  ZelRecord() { w->zelParam = &zp; }
  void store(const Block& blk) { storeParameters(get(), static_cast<int>(blk.b.size()), blk.b.data()); }
  ZelParam read() {
    ZelParam p;
    getParameters(get(), &p);
    return p;
  }
};

}  // namespace

TEST(ZelParamDecode, FullBlockThenShortBlockKeepsTheRest) {
  ZelRecord r;
  r.zp.freq = 12345;  // whatever was there before the first decode goes
  Block full(14074000);
  full.set(9, 0x80 | 0x40 | 0x03)   // transmitting, mode 3
      .set(10, 0x40 | 0x10 | 0x08 | 0x01)  // volume selector 1, bit 3, bit 0
      .set(11, 0x40 | 0x20 | 0x05)   // AN on, squelch 5
      .set(12, 0x80 | (6 << 3) | 0x02)  // level4 6, level2 2, bit 2 clear
      .set(13, 0x40 | 0x20 | 0x09)   // bit 5, level 9
      .set(14, 0x34)                 // Nr 4
      .set(15, 0x32)                 // Nb 2
      .set(16, 0x60 | 0x11).set(17, 0x60 | 0x02).set(18, 0x37).set(19, 0x60 | (5 << 2) | 2)
      .set(20, 0x40 | 0x10 | 0x08 | (2 << 1) | 1)
      .set(21, 221)
      .set(22, 0x80 | 33)  // aux volume 33 (bit 7 is not part of it)
      .digits(23, 3, 600)
      .digits(26, 5, 0xFFF38);  // -200 Hz
  r.store(full);
  ZelParam p = r.read();
  EXPECT_EQ(p.freq, 14074000);
  EXPECT_EQ(p.freqA, 14074000);
  EXPECT_EQ(p.freqReported, 14074000);
  EXPECT_EQ(p.freqLast, 14074000);
  EXPECT_EQ(p.freqPrev, 0);
  EXPECT_EQ(p.txState, 1);
  EXPECT_EQ(p.mode, 3);
  EXPECT_EQ(p.modeA, 3);
  EXPECT_EQ(p.volumeSel, 1);
  EXPECT_EQ(p.b10Bit3, -1);
  EXPECT_EQ(p.b10Bit2, 1);
  EXPECT_EQ(p.b10Bit0, 1);
  EXPECT_EQ(p.radioAn, 1);
  EXPECT_EQ(p.b11Bit4, 0);
  EXPECT_EQ(p.Squelch, 5);
  EXPECT_EQ(p.b12Level4, 6);
  EXPECT_EQ(p.b12Level2, 2);
  EXPECT_EQ(p.comboIndex, 7);  // bit 2 clear: level4 nibble + 1
  EXPECT_EQ(p.b13Bit5, 1);
  EXPECT_EQ(p.b13Level, 9);
  EXPECT_EQ(p.Nr, 4);
  EXPECT_EQ(p.Nb, 2);
  EXPECT_EQ(p.index16, 0x12);
  EXPECT_EQ(p.index17, 3);
  EXPECT_EQ(p.index18, 8);
  EXPECT_EQ(p.index19a, 6);
  EXPECT_EQ(p.index19b, 3);
  EXPECT_EQ(p.Att, 1);
  EXPECT_EQ(p.Lp, 1);
  EXPECT_EQ(p.An, 2);
  EXPECT_EQ(p.b20Bit0, 1);
  EXPECT_EQ(p.level21, 10);
  EXPECT_EQ(p.VolumeAux, 33);
  EXPECT_EQ(p.Volume, 0);
  EXPECT_EQ(p.pitch, 600);
  EXPECT_EQ(p.offset, -200);
  EXPECT_EQ(p.reserved22, 0);

  // Nine bytes: only VFO flags and frequencies move.
  Block nine(7100000, 0, 9);
  r.store(nine);
  p = r.read();
  EXPECT_EQ(p.freq, 7100000);
  EXPECT_EQ(p.freqPrev, 14074000);
  EXPECT_EQ(p.freqLast, 7100000);
  EXPECT_EQ(p.mode, 3);
  EXPECT_EQ(p.txState, 1);
  EXPECT_EQ(p.Squelch, 5);
  EXPECT_EQ(p.VolumeAux, 33);
  EXPECT_EQ(p.pitch, 600);
  EXPECT_EQ(p.offset, -200);
}

TEST(ZelParamDecode, VfoSelectionAndAlternateFrequency) {
  ZelRecord r;
  r.store(Block(3500000, 0x00, 9));                       // A reported, A active
  r.store(Block(7000000, 0x10, 9));                       // B reported, A active
  EXPECT_EQ(r.read().freq, 3500000);
  EXPECT_EQ(r.read().freqB, 7000000);
  r.store(Block(7050000, 0x30, 9));                       // B reported, B active
  ZelParam p = r.read();
  EXPECT_EQ(p.freq, 7050000);
  EXPECT_EQ(p.freqA, 3500000);
  EXPECT_EQ(p.vfoBActive, 1);
  r.store(Block(10100000, 0x31, 9));                      // alternate frequency
  p = r.read();
  EXPECT_EQ(p.freq, 10100000);
  EXPECT_EQ(p.freqAlt, 10100000);
  EXPECT_EQ(p.freqB, 7050000);
  EXPECT_EQ(p.altFreqFlag, 1);

  // Mode lands in the reported VFO; the operating one shows.
  Block m(7000000, 0x10, 10);
  m.set(9, 0x80 | 0x06);
  r.store(m);
  p = r.read();
  EXPECT_EQ(p.modeB, 6);
  EXPECT_EQ(p.mode, 0);  // A active, A's mode unknown yet
  // Byte 9 without its marker bit is ignored.
  Block n(7000000, 0x00, 10);
  n.set(9, 0x05);
  r.store(n);
  EXPECT_EQ(r.read().modeA, 0);
}

TEST(ZelParamDecode, LevelRuleRemembersTheLastLevelAndStartsFromInitialValues) {
  ZelRecord r;
  Block b(14000000);
  b.set(10, 0x40).set(11, 0x40).set(14, 0x30).set(15, 0x30).set(20, 0x40).set(22, 0);
  r.store(b);  // every level field zero on a fresh record
  ZelParam p = r.read();
  EXPECT_EQ(p.Squelch, -1);
  EXPECT_EQ(p.Nr, -1);
  EXPECT_EQ(p.Nb, -1);
  EXPECT_EQ(p.Att, -1);
  EXPECT_EQ(p.Lp, -1);
  EXPECT_EQ(p.An, -1);
  EXPECT_EQ(p.Volume, 50);

  b.set(11, 0x47).set(22, 20);
  r.store(b);
  EXPECT_EQ(r.read().Squelch, 7);
  EXPECT_EQ(r.read().Volume, 20);
  b.set(11, 0x40).set(22, 0);
  r.store(b);
  EXPECT_EQ(r.read().Squelch, -7);
  EXPECT_EQ(r.read().Volume, -20);
  r.store(b);  // still off: the remembered level stays
  EXPECT_EQ(r.read().Squelch, -7);

  // Side volume starts at 5.
  b.set(10, 0x40 | 0x20);
  r.store(b);
  EXPECT_EQ(r.read().VolumeSide, 5);
  EXPECT_EQ(r.read().VolumeAux, 0);
  b.set(10, 0x40 | 0x10);
  r.store(b);
  EXPECT_EQ(r.read().VolumeAux, 50);

  // comboIndex from byte 13 when byte 12 bit 2 is set.
  b.set(12, 0x80 | 0x04).set(13, 0x43);
  r.store(b);
  EXPECT_EQ(r.read().comboIndex, 8);
  EXPECT_EQ(r.read().b12Bit2, 1);
}

TEST(ZelParamDecode, BlockTooShortForTheFrequencyIsIgnored) {
  ZelRecord r;
  r.store(Block(14074000));
  Block shortBlk(1, 0x20, 5);
  r.store(shortBlk);
  EXPECT_EQ(r.read().freq, 14074000);
  EXPECT_EQ(r.read().vfoBActive, 0);
}

TEST(MessageLength, DigitsLeastSignificantFirstAndClamp) {
  const uint8_t k1024[4] = {0x30, 0x30, 0x34, 0x30};
  const uint8_t k160[4] = {0x30, 0x3A, 0x30, 0x30};
  const uint8_t kMax[4] = {0x3F, 0x3F, 0x3F, 0x3F};
  const uint8_t k2000[4] = {0x30, 0x3D, 0x37, 0x30};
  const uint8_t k1999[4] = {0x3F, 0x3C, 0x37, 0x30};
  EXPECT_EQ(decodeLengthDigits(k1024), 1024);
  EXPECT_EQ(decodeLengthDigits(k160), 160);
  EXPECT_EQ(decodeLengthDigits(k1999), 1999);
  testing::internal::CaptureStderr();
  EXPECT_EQ(decodeLengthDigits(k2000), 1999);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "----------> 3SERIAL : ERROR dataLength 2000   07=0!!!!!!\n");
  EXPECT_EQ(decodeLengthDigits(kMax), 1999);
}

TEST(Spectrum, StartIndexFollowsModePitchAndOffset) {
  EXPECT_EQ(spectrumStartIndex(4, 600, 0), 81);
  EXPECT_EQ(spectrumStartIndex(6, 600, 0), 88);
  EXPECT_EQ(spectrumStartIndex(1, 600, 0), 85);
  EXPECT_EQ(spectrumStartIndex(1, 0, 1000), 90);
  EXPECT_EQ(spectrumStartIndex(1, 0, -16000), 1023);  // s = -0.33
  EXPECT_EQ(spectrumStartIndex(1, 0, -32000), 938);   // s = -85.7
  for (int off : {-524288, -300000, 200000, 524287}) {
    int k = spectrumStartIndex(4, 4095, off);
    EXPECT_GE(k, 0);
    EXPECT_LT(k, 1024);
  }
  uint8_t body[1024], out[1024];
  for (int i = 0; i < 1024; i++) body[i] = static_cast<uint8_t>(i & 0xFF);
  rotateSpectrum(body, 81, out);
  EXPECT_EQ(out[0], 81);
  EXPECT_EQ(out[1023 - 81], 255);  // body[1023]
  EXPECT_EQ(out[1024 - 81], 0);    // wraps to body[0]
  EXPECT_EQ(out[1023], 80);
}

TEST(Spectrum, StoreFftTakesBytes85To938AndFloorsTheRest) {
  TestWorks t;
  std::vector<uint8_t> line(1024);
  for (size_t i = 0; i < line.size(); i++) line[i] = static_cast<uint8_t>(i % 200);
  storeFFT(t.get(), 1024, line.data());
  float lv[kSpectrumPoints];
  getSpectrumLevels(t.get(), lv);
  EXPECT_FLOAT_EQ(lv[0], 85 - 192);
  EXPECT_FLOAT_EQ(lv[853], (938 % 200) - 192);
  storeFFT(t.get(), 100, line.data());
  getSpectrumLevels(t.get(), lv);
  EXPECT_FLOAT_EQ(lv[14], 99 - 192);
  EXPECT_FLOAT_EQ(lv[15], -192);
  EXPECT_FLOAT_EQ(lv[853], -192);
}

TEST(CatText, CollectedUpToTheSemicolonAndLongJunkDropped) {
  CatCollector c;
  std::string out;
  std::vector<std::string> texts;
  std::string in = "FA00014074000;IF;";
  in += std::string(200, 'x');  // no ";" within 200 bytes
  in += "DT001;";
  for (char ch : in)
    if (catCollectByte(c, static_cast<uint8_t>(ch), out)) texts.push_back(out);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "FA00014074000;");
  EXPECT_EQ(texts[1], "IF;");
  EXPECT_EQ(texts[2], "DT001;");
  // 199 bytes and a ";" still fit.
  std::string edge(199, 'y');
  edge += ";";
  texts.clear();
  for (char ch : edge)
    if (catCollectByte(c, static_cast<uint8_t>(ch), out)) texts.push_back(out);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].size(), 200u);
}

TEST(Ft817Answer, BcdFrequencyAndRejectedBytes) {
  EXPECT_EQ(VerifyByteFreq(0x99), 0);
  EXPECT_EQ(VerifyByteFreq(0x3A), 1);
  EXPECT_EQ(VerifyByteFreq(0xA0), 1);
  TestWorks t;
  const uint8_t good[5] = {0x01, 0x42, 0x34, 0x56, 0x01};
  CatSerialPoll poll;
  poll.lastCommandSent = 3;
  DecodeCatSerialCmd(t.get(), poll, good, 5);
  EXPECT_EQ(t->catSerFreq.load(), 14234560);
  EXPECT_EQ(t->catSerMode.load(), 0x01);
  EXPECT_EQ(poll.lastCommandSent, 0);

  const uint8_t bad[5] = {0x00, 0x70, 0x3A, 0x00, 0x02};
  poll.lastCommandSent = 3;
  DecodeCatSerialCmd(t.get(), poll, bad, 5);
  EXPECT_EQ(t->catSerFreq.load(), 14234560);
  EXPECT_EQ(t->catSerMode.load(), 0x02);  // the mode byte is kept anyway

  // No command pending: the bytes are not an answer.
  const uint8_t other[5] = {0x00, 0x70, 0x00, 0x00, 0x03};
  DecodeCatSerialCmd(t.get(), poll, other, 5);
  EXPECT_EQ(t->catSerFreq.load(), 14234560);
}

namespace {
std::string drain(int fd) {
  std::string s;
  char buf[256];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}
// Everything the master has received once it stops growing.
std::string received(int fd, size_t want) {
  std::string s;
  waitFor([&] {
    s += drain(fd);
    return s.size() >= want;
  });
  return s;
}
}  // namespace

TEST(RadioCommands, TuneHandshakeAndTransmitRequest) {
  TestWorks t;
  PtyPair pty;
  ASSERT_GE(pty.master, 0);
  t->serFD = pty.slave;

  t->tuneFlags = 0x01 | 0x04;  // run finished: back to receive
  testing::internal::CaptureStderr();
  zelCommandStep(t.get());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "SENT ZEL RX;! (0x5)\n");
  EXPECT_EQ(received(pty.master, 3), "RX;");
  EXPECT_EQ(t->tuneFlags.load(), 0x01 | 0x08);

  t->tuneFlags = 0x10 | 0x20;  // carrier ready
  testing::internal::CaptureStderr();
  zelCommandStep(t.get());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "SENT ZEL TX2;! (0x30)\n");
  EXPECT_EQ(received(pty.master, 10), "TU120;TX2;");
  EXPECT_EQ(t->tuneFlags.load(), 0x10 | 0x40);

  // Both in one step: receive first, then the carrier.
  t->tuneFlags = 0x04 | 0x20;
  zelCommandStep(t.get());
  EXPECT_EQ(received(pty.master, 13), "RX;TU120;TX2;");
  EXPECT_EQ(t->tuneFlags.load(), 0x08 | 0x40);

  // Transmit wanted, antenna not confirmed yet: held.
  t->tuneFlags = 0;
  t->txReqFlags = 0x01 | 0x02 | 0x10;
  zelCommandStep(t.get());
  zelCommandStep(t.get());
  EXPECT_EQ(drain(pty.master), "");
  EXPECT_EQ(t->txReqFlags.load(), 0x13);
  t->txReqFlags |= 0x20;  // the amplifier's "AN" reply arrived
  zelCommandStep(t.get());
  EXPECT_EQ(received(pty.master, 10), "TU120;TX2;");
  EXPECT_EQ(t->txReqFlags.load(), 0x32);

  // Neither bit 4 nor 5: no antenna hand-shake needed.
  t->txReqFlags = 0x03;
  zelCommandStep(t.get());
  EXPECT_EQ(received(pty.master, 10), "TU120;TX2;");

  // Receive wanted.
  t->txReqFlags = 0x01;
  zelCommandStep(t.get());
  EXPECT_EQ(received(pty.master, 3), "RX;");
  EXPECT_EQ(t->txReqFlags.load(), 0);
  EXPECT_EQ(t->txHoldoff.load(), 30);
}
