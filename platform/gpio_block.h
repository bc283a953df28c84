// The GPIO register block of the board (a BCM2835-family controller), as
// the front-panel thread maps it and as the simulated station emulates it.
// On a dev machine the rooted "/dev/mem" is a sparse regular file large
// enough to hold the block at its physical address; a button is pressed by
// clearing its bit in the level register there.
#pragma once
#include <cstdint>

namespace gpio {

constexpr long kBase = 0x3F200000L;  // physical address of the block
constexpr long kSize = 4096;         // bytes mapped

// Register byte offsets.
constexpr int kFsel0 = 0x00;    // function select, pins 0-9 (3 bits each)
constexpr int kFsel1 = 0x04;    // pins 10-19
constexpr int kFsel2 = 0x08;    // pins 20-29
constexpr int kSet0 = 0x1C;     // output set, write 1 bits
constexpr int kClr0 = 0x28;     // output clear, write 1 bits
constexpr int kLev0 = 0x34;     // pin levels
constexpr int kPud = 0x94;      // pull-up/down control (2 = pull-up)
constexpr int kPudClk0 = 0x98;  // pull-up/down clock, pins 0-31

// Pins of the front panel.
constexpr int kPinTinyData = 4;   // TINY data: output, input while reading
constexpr int kPinTinyClock = 6;  // TINY clock: output
constexpr int kPinUpdate = 13;    // low while a firmware update is armed
constexpr int kPinAlive = 16;     // driven high on every pass
constexpr int kPinButton1 = 22;   // buttons 1..6 on pins 22..27, active low
constexpr uint32_t kButtonMask = 0x0FC00000u;

// Level bit of button 1..6.
constexpr uint32_t buttonBit(int button) { return 1u << (kPinButton1 + button - 1); }

}  // namespace gpio

// Maps the block from the rooted "/dev/mem" (read-write, synchronous) and
// closes the descriptor. Returns the block as 32-bit registers, or null:
// *openFailed tells an open failure from a mapping failure, *err the errno.
// A regular file too short to hold the block is refused (a mapping past
// its end would fault on the first access).
volatile uint32_t* gpioMapBlock(bool* openFailed, int* err);
void gpioUnmapBlock(volatile uint32_t* block);
