// The error keys on the bottom row (newest six).
#pragma once
struct Works;

void DrawError(Works* w);
void DrawTastoErrore(Works* w, int x0, int x1, int index);
