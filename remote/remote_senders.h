// Senders of the frames the radio links hand to the remote peer.
#pragma once
#include <cstdint>

struct Works;

// "CA": one CAT text read from the companion radio's CAT port, ";" included.
void sendWebSockCatFrame(Works* w, const char* text, int length);
// "PA": one raw parameter block of the companion radio.
void sendWebSockSerParFrame(Works* w, const uint8_t* block, int length);
// "SP": one spectrum line.
void sendWebSockSerSpectrFrame(Works* w, const uint8_t* line, int length);
