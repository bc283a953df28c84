// Tune memory and the tune-word lock.
#pragma once
struct Works;
// Loads the stored tuning for the operating frequency and AntennaIdx into Tuneval.
void LoadTuneFromMEM(Works* w);
void WaitSemaforoTuneval(Works* w);
void StopSemaforoTuneval(Works* w);
