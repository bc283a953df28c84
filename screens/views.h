// Text views drawn over the main screen by the button drawer, in this
// order: parameters, error keys, status information, transmit status.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
struct Works;

// Room every caller of LoadParameterMenu gives the value text.
constexpr size_t kParValueLen = 40;

// The address shown by the last LoadParameterMenu of parameters 9 to 12
// (IP, net mask, gateway, DNS server) and its editing cursor 0..3. Set
// while a frame is drawn, read by the parameter editor in the GPIO thread.
extern std::atomic<uint8_t*> LAN_vect;
extern std::atomic<int> LAN_idx;

// True when an error other than the temperature alarms and warnings
// (2, 22, 23, 24) is listed.
bool VerifyError(Works* w);
// Red "TX" box while the amplifier reports transmit (status B bit 0),
// except on the information screen.
void ViewStatusTX(Works* w);
// Value text of parameter par (0..31), item item, into out (cap bytes).
// Parameters shown on item 0 only give "" for the other items; a value
// outside its table shows "?".
void LoadParameterMenu(Works* w, char* out, int par, int item, size_t cap = kParValueLen);
// Parameter browser and editor (pages 1 and 2), the firmware-update note,
// the memory-table and filter overlays, or the message line and the two
// status rows of the main screen.
void DrawParameters(Works* w);
// The information screen (overlay exactly 1). Starts the companion
// radio's data-port thread when it is not running.
void ViewStatusInfo(Works* w);
