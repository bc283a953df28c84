// Error list: 25 numbered errors and warnings, shown as two-line keys,
// and the reset logic of the front panel's error key.
#pragma once
struct Works;

// Fills works->errTable with the 25 descriptors (flags, two lines).
void InitErrTable(Works* w);

void AddErrore(Works* w, int code);
void DeleteErrore(Works* w, int code);
// Records a code even while errors are muted (a dead link must show).
void AddErroreUnmuted(Works* w, int code);
// 1 when code is listed, else 0.
int ExistError(Works* w, int code);
// First listed code, or -1 when the list is empty.
int ExistAnError(Works* w);
// Replaces the second key line of a code (e.g. "Err ST" for error 4).
void SetErrorLine2(Works* w, int code, const char* text);

// Draws the error keys on the bottom row (newest six).
void DrawError(Works* w);
void DrawTastoErrore(Works* w, int x0, int x1, int index);

// Reset action of the error key: 1 when it acted, 0 otherwise.
int GPIO_Errori(Works* w);
void GestErrore(Works* w);
void GestErroreRemote(Works* w);
void ResetBiasCmd(Works* w);
void ClearDisplayError(Works* w);
void GestErroreSerial(Works* w);
void VerificaEsistonoErrori(Works* w);
void VerifyWarningTemporanei(Works* w);
void VerifyWarningTemporaneiDopoResetBias(Works* w);
