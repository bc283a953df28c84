// USB identifiers of the radio maker's devices.
#pragma once
#include <cstdint>

constexpr uint16_t kZelUsbVendor = 0xFFFE;
constexpr uint16_t kZelUsbProductZel = 0x5A01;  // the companion radio
constexpr uint16_t kZelUsbProductK2 = 0x5A02;   // sibling receiver, refused
constexpr uint16_t kZelUsbProductK1 = 0x5A03;   // sibling receiver, refused

// The USB audio codec of the companion radio as "lsusb" shows it.
constexpr const char* kZelAudioCodecId = "0d8c:01af";
