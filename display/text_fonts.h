// The font table in FreeType's own types, for the text routines.
#pragma once
#include <ft2build.h>
#include FT_FREETYPE_H

#include "display/text.h"

extern FT_Library library;
extern FT_Face face[kFontCount];
extern FT_GlyphSlot slot[kFontCount];
