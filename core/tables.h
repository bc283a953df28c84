// Band (config.txt), fan (ventola.txt) and filter (filter.txt) tables.
#pragma once
struct Works;

void ReadConfigFile(Works* w);
void ReadVentolaFile(Works* w);
void LoadTabFiltri(Works* w);
// Rewrites filter.txt whole (temporary file and rename) inside the
// remount window. Returns 0 on success, -1 when nothing was written.
int SaveTabFiltri(Works* w);
