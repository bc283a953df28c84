// Band (config.txt), fan (ventola.txt) and filter (filter.txt) tables, and
// the temperature log (LOGtemp.txt).
#pragma once
struct Works;

void ReadConfigFile(Works* w);
void ReadVentolaFile(Works* w);
void LoadTabFiltri(Works* w);
// Rewrites filter.txt whole (temporary file and rename) inside the
// remount window. Returns 0 on success, -1 when nothing was written.
int SaveTabFiltri(Works* w);
// Selects the first enabled filter whose range holds the operating
// frequency and queues "SF30000%02x;" when the selection changes.
void SetFilterFromfreq(Works* w);
// Enables (1) or disables (0) filter row filterEditIdx, reselects, saves.
void EnDisFilter(Works* w, int enabled);
// mode -1 deletes the log, 0 appends a plain line, 1 a protection line.
void LogTempFunction(Works* w, int mode);
