// Timer thread: composes every frame of the front panel.
#pragma once
struct Works;
void timer(Works* w);
