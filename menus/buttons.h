// Menu model and button strip.
#pragma once
struct Works;
void InitMenuZarn(Works* w);
void LoadButtons(Works* w);
