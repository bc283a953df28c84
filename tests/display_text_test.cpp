// UTF-8 decoding, the font table and text drawing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "display/fb.h"
#include "display/text.h"
#include "platform/log.h"

namespace {

struct Decoded {
  int valid;
  unsigned cp;
  unsigned bytes;
  bool operator==(const Decoded& o) const { return valid == o.valid && cp == o.cp && bytes == o.bytes; }
};

std::ostream& operator<<(std::ostream& os, const Decoded& d) {
  return os << "{" << d.valid << ", 0x" << std::hex << d.cp << std::dec << ", " << d.bytes << "}";
}

std::vector<Decoded> decodeAll(const std::string& s) {
  std::vector<Decoded> out;
  unsigned pos = 0;
  int valid = 7;
  unsigned cp = 7;
  for (;;) {
    unsigned before = pos;
    int r = utf8_get_next_char(s.data(), (unsigned)s.size(), &pos, &valid, &cp);
    if (r == -1) {
      EXPECT_EQ(pos, before);
      break;
    }
    EXPECT_EQ(r, 1);
    out.push_back({valid, cp, pos - before});
  }
  return out;
}

const char* kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int kFont = 8;

std::string makeTempDir() {
  char tmpl[] = "/tmp/zeltextXXXXXX";
  char* d = mkdtemp(tmpl);
  EXPECT_NE(d, nullptr);
  return d ? d : "";
}

struct Screen {
  FbInfo* fb;
  Screen(int w, int h) : fb(fbCreateMemory(w, h)) {}
  ~Screen() { fbRelease(fb); }
  void fill(uint8_t v) { memset(fb->workBuf, v, fb->memSize); }
  uint8_t* px(int x, int y) { return fb->workBuf + y * fb->lineSize + x * 4; }
  std::set<std::pair<int, int>> ink() {
    std::set<std::pair<int, int>> s;
    for (int y = 0; y < fb->ySize; y++)
      for (int x = 0; x < fb->xSize; x++)
        if (px(x, y)[0] | px(x, y)[1] | px(x, y)[2]) s.insert({x, y});
    return s;
  }
};

class Text : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TTFLoad(kSans, 20, kFont); }
  static void TearDownTestSuite() { TTFUnloadAll(); }
};

}  // namespace

TEST(Utf8, WellFormedSequences) {
  EXPECT_EQ(decodeAll("A\xC3\xA8\xE2\x82\xAC\xF0\x9F\x98\x80"),
            (std::vector<Decoded>{{1, 'A', 1}, {1, 0xE8, 2}, {1, 0x20AC, 3}, {1, 0x1F600, 4}}));
  // Range edges of the well-formed table.
  EXPECT_EQ(decodeAll("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"),
            (std::vector<Decoded>{{1, 0x80, 2}, {1, 0x7FF, 2}, {1, 0x800, 3}, {1, 0xD7FF, 3},
                                  {1, 0xE000, 3}, {1, 0x10000, 4}, {1, 0x10FFFF, 4}}));
}

TEST(Utf8, IllFormedSequencesConsumeMaximalSubparts) {
  // Overlong two-byte form.
  EXPECT_EQ(decodeAll("\xC0\x80"), (std::vector<Decoded>{{0, 0, 1}, {0, 0, 1}}));
  // Overlong three-byte lead.
  EXPECT_EQ(decodeAll("\xE0\x80"), (std::vector<Decoded>{{0, 0, 1}, {0, 0, 1}}));
  // Surrogate.
  EXPECT_EQ(decodeAll("\xED\xA0\x80"), (std::vector<Decoded>{{0, 0, 1}, {0, 0, 1}, {0, 0, 1}}));
  // Truncated at the end of the text.
  EXPECT_EQ(decodeAll("\xE2\x82"), (std::vector<Decoded>{{0, 0, 2}}));
  EXPECT_EQ(decodeAll("\xF0\x9F\x98" "A"), (std::vector<Decoded>{{0, 0, 3}, {1, 'A', 1}}));
  // Lone continuation byte.
  EXPECT_EQ(decodeAll("\x80"), (std::vector<Decoded>{{0, 0, 1}}));
  // Leads above U+10FFFF and bad second bytes of the four-byte forms.
  EXPECT_EQ(decodeAll("\xF5\x80"), (std::vector<Decoded>{{0, 0, 1}, {0, 0, 1}}));
  EXPECT_EQ(decodeAll("\xF0\x8F\xBF\xBF").front(), (Decoded{0, 0, 1}));
  EXPECT_EQ(decodeAll("\xF4\x90\x80\x80").front(), (Decoded{0, 0, 1}));
  // Bad third and fourth bytes.
  EXPECT_EQ(decodeAll("\xE2\x82" "A"), (std::vector<Decoded>{{0, 0, 2}, {1, 'A', 1}}));
  EXPECT_EQ(decodeAll("\xF0\x9F" "A"), (std::vector<Decoded>{{0, 0, 2}, {1, 'A', 1}}));
  EXPECT_EQ(decodeAll("\xC3" "A"), (std::vector<Decoded>{{0, 0, 1}, {1, 'A', 1}}));
}

TEST(Utf8, LengthBoundsAndCounting) {
  EXPECT_EQ(utf8_length("a\x80" "b", 3), 3);
  EXPECT_EQ(utf8_length("\xC3\xA8\xE2\x82\xAC", 5), 2);
  EXPECT_EQ(utf8_length("", 0), 0);
  // Bytes beyond the given length are never read as continuation bytes.
  unsigned pos = 0;
  int valid;
  unsigned cp;
  EXPECT_EQ(utf8_get_next_char("\xC3\xA8", 1, &pos, &valid, &cp), 1);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(pos, 1u);
  // At or past the end: -1, code point 0, valid 1, position kept.
  pos = 5;
  cp = 99;
  valid = 0;
  EXPECT_EQ(utf8_get_next_char("abc", 3, &pos, &valid, &cp), -1);
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(cp, 0u);
  EXPECT_EQ(valid, 1);
}

TEST_F(Text, BlendAddsTheCoverageAndedWithTheColour) {
  ASSERT_TRUE(fontLoaded(kFont));
  const char* s = "Wg%@";
  // White on black leaves exactly the coverage in every colour byte.
  Screen cov(200, 60);
  cov.fill(0);
  putString(kFont, 10, 40, s, 255, 255, 255, cov.fb, 0, 0, 0, 0);
  ASSERT_FALSE(cov.ink().empty());

  // Black over a grey background only darkens; 0x96 adds (a AND 0x96).
  for (int colour : {0x00, 0x96, 0xFF}) {
    Screen t(200, 60);
    t.fill(200);
    putString(kFont, 10, 40, s, colour, colour, colour, t.fb, 0, 0, 0, 0);
    bool andDiffersFromProduct = false;
    for (int y = 0; y < 60; y++)
      for (int x = 0; x < 200; x++) {
        unsigned a = cov.px(x, y)[0];
        unsigned want = ((255 - a) * 200) / 255 + (a & (unsigned)colour);
        for (int k = 0; k < 3; k++) ASSERT_EQ(t.px(x, y)[k], want) << x << "," << y << " c=" << colour;
        if (a > 0) {
          EXPECT_EQ(t.px(x, y)[3], 0);
        }
        if ((a & (unsigned)colour) != a * (unsigned)colour / 255) andDiffersFromProduct = true;
      }
    if (colour == 0x96) {
      EXPECT_TRUE(andDiffersFromProduct);
    }
  }
  EXPECT_EQ(0x96 & 0x6A, 0x02);

  // Channel order: blue, green, red.
  Screen r(200, 60);
  r.fill(0);
  putString(kFont, 10, 40, s, 255, 0, 0, r.fb, 0, 0, 0, 0);
  for (int y = 0; y < 60; y++)
    for (int x = 0; x < 200; x++) {
      ASSERT_EQ(r.px(x, y)[2], cov.px(x, y)[0]);
      ASSERT_EQ(r.px(x, y)[0], 0);
      ASSERT_EQ(r.px(x, y)[1], 0);
    }
}

TEST_F(Text, GlyphSitsOnTheBaselineAtThePen) {
  Screen t(200, 60);
  t.fill(0);
  putString(kFont, 20, 40, "H", 255, 255, 255, t.fb, 0, 0, 0, 0);
  auto ink = t.ink();
  ASSERT_FALSE(ink.empty());
  int minX = 1000, maxY = -1, minY = 1000;
  for (auto& p : ink) {
    minX = std::min(minX, p.first);
    maxY = std::max(maxY, p.second);
    minY = std::min(minY, p.second);
  }
  EXPECT_EQ(minX, 20);
  EXPECT_EQ(maxY, 40);
  EXPECT_GT(40 - minY, 10);  // a 20-pixel font's capital

  // A descender reaches below the baseline.
  Screen g(200, 60);
  g.fill(0);
  putString(kFont, 20, 40, "g", 255, 255, 255, g.fb, 0, 0, 0, 0);
  int gMax = -1;
  for (auto& p : g.ink()) gMax = std::max(gMax, p.second);
  EXPECT_GT(gMax, 40);
}

TEST_F(Text, WidthIsTheSumOfAdvancesAndMatchesThePen) {
  int h = getStringSpace(kFont, "H");
  EXPECT_GT(h, 5);
  EXPECT_EQ(getStringSpace(kFont, "HHH"), 3 * h);
  EXPECT_EQ(getStringSpace(kFont, "AV"), getStringSpace(kFont, "A") + getStringSpace(kFont, "V"));
  EXPECT_EQ(getStringSpace(kFont, ""), 0);
  EXPECT_GT(getStringSpace(kFont, "\x80"), 0);  // the missing-glyph box

  // The second H is drawn one measured advance after the first.
  Screen one(200, 60), two(200, 60);
  one.fill(0);
  two.fill(0);
  putString(kFont, 20, 40, "H", 255, 255, 255, one.fb, 0, 0, 0, 0);
  putString(kFont, 20, 40, "HH", 255, 255, 255, two.fb, 0, 0, 0, 0);
  std::set<std::pair<int, int>> want = one.ink();
  for (auto& p : one.ink()) want.insert({p.first + h, p.second});
  EXPECT_EQ(two.ink(), want);
}

TEST_F(Text, FontsThatCannotDrawAreSkipped) {
  Screen t(100, 40);
  t.fill(0);
  for (int f : {3, 12, 19, -1, 20, 1000}) {
    EXPECT_FALSE(fontLoaded(f));
    EXPECT_EQ(putString(f, 10, 30, "Hello", 255, 255, 255, t.fb, 0, 0, 0, 0), -1);
    EXPECT_EQ(getStringSpace(f, "Hello"), 0);
  }
  EXPECT_TRUE(t.ink().empty());
  EXPECT_EQ(putString(kFont, 10, 30, nullptr, 255, 255, 255, t.fb, 0, 0, 0, 0), -1);
  EXPECT_EQ(putString(kFont, 10, 30, "x", 255, 255, 255, nullptr, 0, 0, 0, 0), -1);
  EXPECT_EQ(getStringSpace(kFont, nullptr), 0);
}

TEST_F(Text, TextAtTheEdgesStaysInTheBuffer) {
  Screen t(60, 30);
  t.fill(0);
  for (auto xy : {std::pair<int, int>{55, 29}, {-30, 10}, {0, 2}, {10, 200}, {-500, -500}, {50, 45}})
    putString(kFont, xy.first, xy.second, "WWgg", 255, 255, 255, t.fb, 0, 0, 0, 0);
  // Only the buffer was written (the sanitizer watches the rest).
  SUCCEED();
}

// A long text is cut at the right edge: nothing of it wraps onto the left
// end of the rows below (a long serial number on the information screen).
TEST_F(Text, TextPastTheRightEdgeIsCutNotWrapped) {
  Screen t(200, 80);
  t.fill(0);
  putString(kFont, 150, 30, "WWWWWWWWWWWWWWWWWWWW", 255, 255, 255, t.fb, 0, 0, 0, 0);
  int inkRight = 0;
  for (int y = 0; y < 80; y++)
    for (int x = 0; x < 200; x++) {
      if (t.px(x, y)[0] == 0) continue;
      ASSERT_GE(x, 150) << "ink wrapped to " << x << "," << y;
      if (x == 199) inkRight++;
    }
  EXPECT_GT(inkRight, 0);
  // A text wholly left of the screen leaves no ink at all.
  Screen l(200, 80);
  l.fill(0);
  const int width = getStringSpace(kFont, "WWW");
  ASSERT_GT(width, 0);
  putString(kFont, -width - 5, 30, "WWW", 255, 255, 255, l.fb, 0, 0, 0, 0);
  EXPECT_TRUE(l.ink().empty());
}

TEST_F(Text, GlyphLoadFailuresDrawAndMeasureNothing) {
  // A face whose glyph outlines are damaged: it opens but no glyph loads.
  std::string dir = makeTempDir();
  std::ifstream in(kSans, std::ios::binary);
  std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(d.size(), 1000u);
  auto be32 = [&](size_t o) {
    return ((uint32_t)(uint8_t)d[o] << 24) | ((uint32_t)(uint8_t)d[o + 1] << 16) |
           ((uint32_t)(uint8_t)d[o + 2] << 8) | (uint8_t)d[o + 3];
  };
  int tables = ((uint8_t)d[4] << 8) | (uint8_t)d[5];
  for (int i = 0; i < tables; i++) {
    size_t e = 12 + 16 * i;
    if (d.compare(e, 4, "glyf") == 0) memset(&d[be32(e + 8)], 0xFF, be32(e + 12));
  }
  std::string bad = dir + "/bad.ttf";
  std::ofstream(bad, std::ios::binary).write(d.data(), d.size());

  logCaptureStart();
  TTFLoad(bad.c_str(), 20, 15);
  EXPECT_TRUE(logContains("Face loaded"));
  logCaptureStop();
  ASSERT_TRUE(fontLoaded(15));
  Screen t(100, 40);
  t.fill(0);
  putString(15, 10, 30, "AB\xE2\x82\xAC", 255, 255, 255, t.fb, 0, 0, 0, 0);
  EXPECT_TRUE(t.ink().empty());
  EXPECT_EQ(getStringSpace(15, "AB\xE2\x82\xAC"), 0);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)system(cmd.c_str());
}

TEST_F(Text, LoadErrorsAreLoggedAndLeaveTheFontUnusable) {
  std::string dir = makeTempDir();
  std::string txt = dir + "/notafont.ttf";
  std::ofstream(txt) << "this is not a font file\n";

  logCaptureStart();
  TTFLoad((dir + "/missing.ttf").c_str(), 20, 16);
  EXPECT_TRUE(logContains("Loading face: filename=" + dir + "/missing.ttf"));
  EXPECT_TRUE(logContains("FreeType: file error"));
  EXPECT_TRUE(logContains("Error Setting Pixel Size"));
  EXPECT_TRUE(logContains("Pixel size sat"));
  EXPECT_FALSE(fontLoaded(16));

  TTFLoad(txt.c_str(), 20, 17);
  EXPECT_TRUE(logContains("FreeType: file format not supported"));
  EXPECT_FALSE(fontLoaded(17));

  TTFLoad(kSans, 20, 25);  // no such slot
  logCaptureStop();
  EXPECT_EQ(getStringSpace(17, "abc"), 0);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)system(cmd.c_str());
}

TEST_F(Text, OtherModesPlaceTheTextAsDescribed) {
  const int x = 100, y = 60;
  auto bounds = [](Screen& s, int& x0, int& x1, int& y0, int& y1) {
    x0 = y0 = 1 << 20;
    x1 = y1 = -1;
    for (auto& p : s.ink()) {
      x0 = std::min(x0, p.first);
      x1 = std::max(x1, p.first);
      y0 = std::min(y0, p.second);
      y1 = std::max(y1, p.second);
    }
  };
  int x0, x1, y0, y1;
  // Mirror: right to left from the pen.
  Screen m(200, 120);
  m.fill(0);
  putString(kFont, x, y, "HH", 255, 255, 255, m.fb, 1, 0, 0, 0);
  bounds(m, x0, x1, y0, y1);
  EXPECT_EQ(x1, x);
  EXPECT_LT(x0, x - getStringSpace(kFont, "H"));
  EXPECT_EQ(y1, y);

  // Flip: upside down, hanging below the baseline.
  Screen f(200, 120);
  f.fill(0);
  putString(kFont, x, y, "HH", 255, 255, 255, f.fb, 0, 0, -1, 0);
  bounds(f, x0, x1, y0, y1);
  EXPECT_EQ(x0, x);
  EXPECT_EQ(y0, y);
  EXPECT_GT(y1, y + 10);

  // Rotated: running from bottom to top, left of the pen.
  Screen r1(200, 120), r2(200, 120);
  r1.fill(0);
  r2.fill(0);
  putString(kFont, x, y, "H", 255, 255, 255, r1.fb, 0, 1, 0, 0);
  putString(kFont, x, y, "HH", 255, 255, 255, r2.fb, 0, 1, 0, 0);
  int a0, a1, b0, b1;
  bounds(r1, x0, x1, a0, a1);
  EXPECT_LE(x1, x);
  EXPECT_LE(a1, y);
  bounds(r2, x0, x1, b0, b1);
  EXPECT_EQ(b1, a1);
  EXPECT_LT(b0, a0 - 5);

  // Into the background buffer.
  Screen bk(200, 120);
  bk.fill(0);
  memset(bk.fb->backBuf, 0, bk.fb->memSize);
  putString(kFont, x, y, "H", 255, 255, 255, bk.fb, 0, 0, 0, 1);
  EXPECT_TRUE(bk.ink().empty());
  fbSetBack(bk.fb);
  EXPECT_FALSE(bk.ink().empty());
}

TEST_F(Text, ThreadsDrawingAtOnceGetWholeGlyphs) {
  // The glyph slot is shared per font; drawing is serialised.
  Screen ref1(300, 40), ref2(300, 40);
  ref1.fill(0);
  ref2.fill(0);
  putString(kFont, 5, 30, "Forward 100W", 255, 255, 255, ref1.fb, 0, 0, 0, 0);
  putString(kFont, 5, 30, "jqy SWR 1.25", 255, 255, 255, ref2.fb, 0, 0, 0, 0);
  auto worker = [](const char* s, Screen* ref, int* bad) {
    Screen t(300, 40);
    for (int i = 0; i < 150; i++) {
      t.fill(0);
      putString(kFont, 5, 30, s, 255, 255, 255, t.fb, 0, 0, 0, 0);
      if (memcmp(t.fb->workBuf, ref->fb->workBuf, t.fb->memSize) != 0) ++*bad;
      if (getStringSpace(kFont, s) != getStringSpace(kFont, s)) ++*bad;
    }
  };
  int bad1 = 0, bad2 = 0;
  std::thread a(worker, "Forward 100W", &ref1, &bad1);
  std::thread b(worker, "jqy SWR 1.25", &ref2, &bad2);
  a.join();
  b.join();
  EXPECT_EQ(bad1, 0);
  EXPECT_EQ(bad2, 0);
}

TEST(FontTable, LoadsThePanelFontsWithTheParaTypeStandIns) {
  // An empty root: the "/opt/fonts" faces come from the distribution.
  std::string dir = makeTempDir();
  setenv("ZELPYX_ROOT", dir.c_str(), 1);
  logCaptureStart();
  LoadFontTable();
  logCaptureStop();
  unsetenv("ZELPYX_ROOT");
  for (int f = 0; f < kFontCount; f++) {
    bool want = f <= 11 && f != 3;
    EXPECT_EQ(fontLoaded(f), want) << f;
  }
  EXPECT_EQ(fontSize[0], 24);
  EXPECT_EQ(fontSize[4], 24);
  EXPECT_EQ(fontSize[5], 8);
  EXPECT_EQ(fontSize[9], 30);
  EXPECT_EQ(fontSize[11], 21);
  EXPECT_TRUE(logContains("Loading face: filename=/opt/fonts/PTS75F_W.ttf"));
  EXPECT_TRUE(logContains("Iinitializing FreeType"));
  EXPECT_FALSE(logContains("FreeType: file error"));
  EXPECT_GT(getStringSpace(4, "14.070.000"), 50);
  TTFUnloadAll();
  EXPECT_FALSE(fontLoaded(0));
  rmdir(dir.c_str());
}
