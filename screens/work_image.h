// Background picture of the current main screen.
#pragma once
struct Works;
// Chooses the work picture by ViewIdx ("img1"/"img3" with "b" for the
// 120 W model, "m5a" with the plot width for views 4 and 5), loads it into
// the background and restores it into the work buffer. With an interface
// other than the companion radio its data-port thread is told to stop.
void SetWorkImg(Works* w);
