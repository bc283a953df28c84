// The controller's LAN settings, kept in the operating system's
// "/etc/network/interfaces": read at start-up, edited on the parameter
// screen, written back on confirmation.
#pragma once
#include <cstdint>

// Values as read, dotted text.
extern char IP[32], NetMask[32], Gateway[32], DNS[32];
extern char MAC[32];  // cleared at every read; nobody fills it
// Values being shown and edited, most significant byte first.
extern uint8_t IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
// 1 when the file had no gateway (name server) value.
extern uint8_t Gateway_none, DNS_none;

// Reads the four values; 0, or -1 when the file cannot be opened.
int ReadLanParam();
// Rewrites the address lines from the byte arrays and restarts the
// interfaces. Returns the restart command's status, or -1.
int SaveLanParam();
// Splits a dotted address into bytes. Returns 0, or -1 (bytes untouched)
// for a text of more than four parts or a part outside 0..255. An empty
// text changes nothing.
int SplitAddr(const char* text, uint8_t* bytes);
// Formats four bytes as "%i.%i.%i.%i" (text must hold 16 bytes).
void SplitAddrInv(char* text, const uint8_t* bytes);
