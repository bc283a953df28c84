// TrueType text drawn into the framebuffer buffers.
#pragma once
struct FbInfo;

// Number of entries of the font table.
constexpr int kFontCount = 20;

// Pixel height each font number was set to.
extern int fontSize[kFontCount];

// Loads face 0 of a font file at the given pixel height as font number
// fontNumber. Never fails start-up: each problem is logged.
void TTFLoad(const char* file, int pixelHeight, int fontNumber);
// Loads the panel's fonts 0, 1, 2, 4 .. 11 in that order.
void LoadFontTable();
// True when fontNumber has a face that can be drawn with.
bool fontLoaded(int fontNumber);
// Releases every face and the library (tools and tests only).
void TTFUnloadAll();

// Decodes one UTF-8 character at *pos (advanced past it). Ill-formed input
// consumes maximal subparts and gives *valid = 0, *codePoint = 0. Returns 1
// when a character was consumed, -1 when *pos is at or past length.
int utf8_get_next_char(const char* text, unsigned int length, unsigned int* pos, int* valid,
                       unsigned int* codePoint);
// Characters (valid or not) in the first length bytes.
int utf8_length(const char* text, unsigned int length);

// Draws a zero-terminated UTF-8 string with its baseline at y and the pen
// starting at x. Every screen passes 0 for mirror, rotate, flip, toBack.
int putString(int font, int x, int y, const char* text, int red, int green, int blue,
              FbInfo* fb, int mirror, int rotate, int flip, int toBack);
// Rendered glyphs are kept for the next string (on by default); off,
// every glyph is rendered afresh. Tests compare the two.
void TTFGlyphCache(bool on);
// The width in whole pixels putString advances over the string.
int getStringSpace(int font, const char* text);
