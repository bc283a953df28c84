// Bank switching.
#pragma once
struct Works;

// Next bank: NumBanco + 1, back to 0 at MAXbank; the setup file is saved
// (unless save is false: the remote link saves it at its own pace), the
// bank's antenna table and tune memories are loaded and the antenna row
// is re-evaluated at the next frequency check.
void ChangeBanco(Works* w, bool save = true);
