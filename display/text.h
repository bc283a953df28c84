// TrueType text.
#pragma once
struct FbInfo;
void TTFLoad(const char* file, int pixelHeight, int fontNumber);
int putString(int font, int x, int y, const char* text, int red, int green, int blue,
              FbInfo* fb, int mirror, int rotate, int flip, int toBack);
int getStringSpace(int font, const char* text);
