// The error list: 25 numbered errors and warnings, each with a two-line
// key text. Any thread records and removes codes; the list has its own
// lock (errMut) and calls nothing else.
#pragma once
#include "amp/amp_fields.h"

struct Works;

// Fills works->errTable with the 26 descriptors (flags, two lines).
void InitErrTable(Works* w);

void AddErrore(Works* w, int code);
void DeleteErrore(Works* w, int code);
// Records a code even while errors are muted (a dead link must show).
void AddErroreUnmuted(Works* w, int code);
// 1 when code is listed, else 0.
int ExistError(Works* w, int code);
// First listed code, or -1 when the list is empty.
int ExistAnError(Works* w);
// Number of listed codes.
int ErrorCount(Works* w);
// Replaces the second key line of a code (e.g. "Err ST" for error 4).
void SetErrorLine2(Works* w, int code, const char* text);
// A copy of the key of list entry index (flags from the fixed table);
// false when there is no such entry.
bool ErrorKeyAt(Works* w, int index, ErrDesc* out);
// Removes the temporary warnings (flag bit 2).
void VerifyWarningTemporanei(Works* w);
// Empties the list after the protection state was re-sent.
void VerifyWarningTemporaneiDopoResetBias(Works* w);
