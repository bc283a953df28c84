// Band (config.txt), fan (ventola.txt) and filter (filter.txt) tables.
#pragma once
struct Works;
void ReadConfigFile(Works* w);
void ReadVentolaFile(Works* w);
void LoadTabFiltri(Works* w);
