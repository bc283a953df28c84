// The reset procedure of the front panel's error key. The list itself is
// amp/error_list.h, its keys on the panel screens/error_keys.h.
#pragma once
#include "amp/error_list.h"

struct Works;

// Reset action of the error key: 1 when it acted, 0 otherwise.
int GPIO_Errori(Works* w);
void GestErrore(Works* w);
void GestErroreRemote(Works* w);
void ResetBiasCmd(Works* w);
void ClearDisplayError(Works* w);
void GestErroreSerial(Works* w);
void VerificaEsistonoErrori(Works* w);
