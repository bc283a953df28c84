// The six front-panel buttons: one entry point for every short press and
// every long-press step, acting by the menu page shown.
#pragma once
struct Works;

// key: 1..6 from the left. held: 0 for a short press (on release), else
// the held-button mask (key k sets bit k - 1) of a long-press step.
// Returns 1 when the long press is to keep repeating, else 0.
int DecodeTasto(Works* w, int key, int held);
