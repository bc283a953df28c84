// Error list: numbered errors shown as two-line keys.
#pragma once
struct Works;
void AddErrore(Works* w, int code);
void DeleteErrore(Works* w, int code);
