// PLACEHOLDER until the menu model lands: the label routines do nothing.
#include "menus/labels.h"
void SetAttenuatorLabel(Works*) {}
void SetModeWorkLabel(Works*) {}
void LabelByPassATU(Works*) {}
void LabelByPassZarn(Works*, const char*) {}
void LabelSAVEATU(Works*) {}
void LblCOPY(Works*) {}
void LblRESET(Works*) {}
void LblMenuAntenna(Works*) {}
void ImpostaLblManuale(Works*) {}
