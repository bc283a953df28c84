// Bank switching from the front panel.
#pragma once
struct Works;

// Next bank (wrapping to 0 at MAXbank): saved in the setup file, its
// antenna table and tune memories loaded, the band row looked up again.
void ChangeBanco(Works* w);
