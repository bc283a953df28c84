// Button-label routines of the menu model: each rewrites one label line
// of a menu page from the current state, and only while that page is
// shown.
#pragma once
struct Works;
void SetAttenuatorLabel(Works* w);
void SetModeWorkLabel(Works* w);
void LabelByPassATU(Works* w);
void LabelByPassZarn(Works* w, const char* text);
void LabelSAVEATU(Works* w);
void LblCOPY(Works* w);
void LblRESET(Works* w);
void LblMenuAntenna(Works* w);
void ImpostaLblManuale(Works* w);
// Copies the name of interface mode 0 to 3 into dest (12 bytes); other
// modes leave dest as it is.
void GetLblInterface(int mode, char* dest);
