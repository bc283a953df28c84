// CRC-8 of the amplifier link (1-Wire polynomial, reflected 0x8C, init 0).
#pragma once
#include <cstddef>
#include <cstdint>

uint8_t Sys_Crc8Calculation(const void* bytes, size_t length);
// Hex digit value of '0'..'9', 'A'..'F', 'a'..'f'; -1 for anything else.
int charToInt(char c);
