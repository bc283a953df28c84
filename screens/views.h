// Text views drawn over the main screen by the button drawer, in this
// order: parameters, error keys, status information, transmit status.
#pragma once
struct Works;

// True when an error other than the temperature alarms and warnings
// (2, 22, 23, 24) is listed.
bool VerifyError(Works* w);
// Red "TX" box while the amplifier reports transmit (status B bit 0),
// except on the information screen.
void ViewStatusTX(Works* w);
void DrawParameters(Works* w);
void ViewStatusInfo(Works* w);
