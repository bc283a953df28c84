#include "core/globals.h"

int waitZEL = 10;
std::atomic<int> startInitThread{0};
int StepTune1 = 8;
int CntIP = 3, CntDNS = 3, CntNetMask = 3, CntGateway = 3;

std::atomic<double> TIME_LONG_PRESS{0.5};
int number_ofStep_meter_FWD = 60, number_ofStep_meter_REFL = 60,
    number_ofStep_meter_SWR = 60, number_ofStep_meter_PW = 60;
int fattoremedia = 2;
double PeakDecrement = 1.0;
int PeakDecrementTime = 1;
int TimerPeakSec = 3000;

std::thread thrGPIO, thrLin, thInit, thAggFw, thrKey, thrWsock, thrSer,
    thrScrivi, thrLeggi, thrCat, thrFFT, thrCatSer, thrTime, thrHamlib;
