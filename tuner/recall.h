// Automatic threshold, antenna and tune recall on a frequency change.
#pragma once
struct Works;
void SearchCambioSoglie_TS(Works* w);
void GestioneAntennaAutomatica(Works* w);
