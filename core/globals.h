// Process-wide globals of the spine and the values the setup file feeds.
#pragma once
#include <atomic>
#include <thread>

extern int waitZEL;          // splash countdown length, seconds
extern std::atomic<int> startInitThread;  // 1 while the splash countdown runs
extern int StepTune1;
extern int CntIP, CntDNS, CntNetMask, CntGateway;

// Setup-fed globals
// Long-press time, seconds: edited by the menus, read by the panel reader
// and drawn by the timer.
extern std::atomic<double> TIME_LONG_PRESS;
extern int number_ofStep_meter_FWD, number_ofStep_meter_REFL,
    number_ofStep_meter_SWR, number_ofStep_meter_PW;
extern int fattoremedia;
extern double PeakDecrement;
extern int PeakDecrementTime;
extern int TimerPeakSec;

// Thread handles
extern std::thread thrGPIO, thrLin, thInit, thAggFw, thrKey, thrWsock, thrSer,
    thrScrivi, thrLeggi, thrCat, thrFFT, thrCatSer, thrTime, thrHamlib;
