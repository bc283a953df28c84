// Artwork of the work screens (meter scales and spectrum frame), drawn
// with the panel's own primitives into fb's work buffer by the build-time
// screen tool. Returns false for a name it does not draw.
#pragma once
struct FbInfo;
bool drawWorkScreen(const char* name, FbInfo* fb);
