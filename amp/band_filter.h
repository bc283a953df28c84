// The amplifier's band filter, chosen from the operating frequency by
// the filter table (filter.txt).
#pragma once
struct Works;

// Selects the first enabled filter whose range holds the operating
// frequency and queues "SF30000%02x;" when the selection changes.
void SetFilterFromfreq(Works* w);
// Enables (1) or disables (0) filter row filterEditIdx, reselects, saves.
void EnDisFilter(Works* w, int enabled);
