// Senders of the frames the units exchange. Each returns at once while no
// peer is connected and writes every frame (every chunk) whole, in one
// call, under sendMut. A write that fails or comes out short breaks the
// link (the socket is shut down and the link thread reconnects), since
// the peer's framing would be lost.
#pragma once
#include <cstdint>

struct Works;

// "CA": one CAT text read from the companion radio's CAT port, ";" included.
void sendWebSockCatFrame(Works* w, const char* text, int length);
// "ST": the station status text or a remote command.
void sendWebSockStatusFrame(Works* w, const char* text, int length);
// "SC": raw bytes for the peer's companion-radio data port.
void sendWebSockSerFrame(Works* w, const uint8_t* data, int length);
// "PA": one raw parameter block of the companion radio.
void sendWebSockSerParFrame(Works* w, const uint8_t* block, int length);
// "SP": one spectrum line, in 512-byte chunks.
void sendWebSockSerSpectrFrame(Works* w, const uint8_t* line, int length);
// "FB": the station's screen (JPEG when jpegQuality is not 0, else raw);
// station role only. Sent when the peer asks for it with the remote
// command "MIRKFB" (at most one every 2 s). Uses the record given to the
// link thread.
void sendWebSockFbFrame();
void sendWebSockFbFrameOf(Works* w);
// "SO": one packet of audioFrame stereo frames (16-bit little-endian,
// interleaved), Opus-encoded when AudioCompress is set, else raw. The
// encoder belongs to the capture thread, the only caller.
void sendWebSockAudioFrame(Works* w, const uint8_t* pcm);
// "XY": a touch position as a masked text frame.
void sendWebSockEventFrame(Works* w, int x, int y);

// Writes one whole frame under sendMut. Returns the bytes written, or -1
// (not connected, no socket, or a failed or short write).
int wsSendLocked(Works* w, const void* frame, int n);

// The record the link thread was started with (the screen sender's).
extern Works* staticworks;
