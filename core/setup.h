// The setup file "/opt/set/setup.txt": one "Key: value" line per setting.
#pragma once
struct Works;

// "Multiplier" N makes audio packets of N x 240 frames; one packet of
// stereo frames has to fit the 20480-byte capture buffer.
constexpr int kMaxMultiplier = 20480 / (240 * 2 * 2);  // 21
constexpr int kMaxAudioPacketFrames = kMaxMultiplier * 240;

void initSetup(Works* w);
// The defaults of the keys whose value is in force in works or a global
// (not those kept only as text in the setup record).
void setupDefaultsInForce(Works* w);
void readSetup(Works* w);
int writeSetup(Works* w);
