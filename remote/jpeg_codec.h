// JPEG codec of the screen images exchanged in "FB" messages: whole
// screens of the framebuffer (4 bytes per pixel; bytes 0..2 are the three
// colour components as the framebuffer holds them, byte 3 is ignored).
#pragma once
#include <cstdint>

struct Works;

// Encodes the work buffer (xSize x ySize) with quality jpegQuality,
// 4:2:0 chroma, separate luma and chroma tables, the standard Huffman
// tables. out has *length bytes of room; *length is set to memSize first
// and to the encoded size on return. Returns 0, or -1 when encoding failed
// or the result did not fit (then *length is 0).
int Compress(Works* w, uint8_t* out, unsigned long* length);
// Same over any 4-byte-per-pixel image (the sender encodes a copy of the
// work buffer taken under the drawing lock).
int CompressImage(const uint8_t* pixels, int xSize, int ySize, int quality, uint8_t* out,
                  unsigned long* length);

// Decodes length bytes of JPEG data into the work buffer; byte 3 of every
// pixel becomes 255. Data that does not decode, or decodes to another size
// than the screen, leaves the work buffer as it was. Returns 0 or -1.
int Uncompress(Works* w, const uint8_t* data, unsigned long length);
// Decodes into dst (xSize x ySize x 4) under the same rules.
int UncompressImage(const uint8_t* data, unsigned long length, int xSize, int ySize, uint8_t* dst);
