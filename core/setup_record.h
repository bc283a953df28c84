// The setup record: the text values of setup.txt, one fixed field per key.
// Single-character fields hold one ASCII character; text fields are
// NUL-terminated within their capacity.
#pragma once
#include <cstddef>

// Single-character fields are the run bytes other threads loop on, and the
// settings the menus change while the timer and the links read them: every
// access after start-up is an atomic byte load or store, so the record
// keeps its plain 291-byte layout and a stop is seen at once on every core.
inline char runByte(const char& b) { return __atomic_load_n(&b, __ATOMIC_ACQUIRE); }
inline void setRunByte(char& b, char v) { __atomic_store_n(&b, v, __ATOMIC_RELEASE); }

struct SetupRec {
  char EnableKeyb;         // 0
  char EnableSpi;          // 1
  char EnableTouch;        // 2
  char DelayedTouch;       // 3
  char EnableRead;         // 4
  char EnableWrite;        // 5
  char EnableCAT;          // 6
  char zelRun;             // 7  run byte of the companion-radio data-port thread
  char EnableLinear;       // 8
  char EnableTime;         // 9
  char EnableGPIO;         // 10
  char WebSocket;          // 11
  char Pitch[10];          // 12
  char Quality[4];         // 22
  char AudioIn[20];        // 26
  char EnableFFT;          // 46
  char spectrumSource;     // 47
  char Enable1600;         // 48
  char Divide[3];          // 49
  char InChannels[2];      // 52
  char AudioCompress[10];  // 54
  char Multiplier[3];      // 64
  char AudioOut[20];       // 67
  char Server[16];         // 87
  char CatPort[13];        // 103
  char SerPort[13];        // 116
  char LinPort[13];        // 129
  char NumAntenna;         // 142
  char EnablePwrPeak;      // 143
  char TempMode;           // 144
  char FreqSensIn;         // 145
  char FreqPeriodTime[5];  // 146
  char Attenuator;         // 151
  char AttenuatorTune;     // 152
  char SWRescAutoTune[6];  // 153
  char ViewTimeStr;        // 159
  char ViewTemp;           // 160
  char MaxTemperature[6];  // 161
  char MaxTemperature2[6]; // 167
  char AutoTuneMaxCicli;   // 173
  char PowerUnits;         // 174
  char SaveScreenIdx;      // 175
  char AutoTuneMode;       // 176
  char MaxTempAllowed[6];  // 177
  char PSpar1[6];          // 183
  char PSpar2[6];          // 189
  char PSpar3[6];          // 195
  char PSpar4[6];          // 201
  char Isteresi1;          // 207
  char Isteresi2;          // 208
  char OffsetPlot[6];      // 209
  char catSerRun;          // 215 run byte of the FT-817 CAT thread
  char CatSerialPort[13];  // 216
  char TUNEenabled[4];     // 229
  char NumBanco[4];        // 233
  char GMpar1[6];          // 237
  char GMpar2[6];          // 243
  char Peak_media[6];      // 249
  char Peak_ValDec[6];     // 255
  char Peak_TimeDec[6];    // 261
  char Peak_Time[6];       // 267
  char MAXbank[4];         // 273
  char BTN_longpress_Time[6]; // 277
  char EnableDebug;        // 283
  char EnableLOGTemp;      // 284
  char AudioBuffers[6];    // 285
};

static_assert(sizeof(SetupRec) == 291, "setup record is 291 bytes");
static_assert(offsetof(SetupRec, Pitch) == 12, "layout");
static_assert(offsetof(SetupRec, EnableFFT) == 46, "layout");
static_assert(offsetof(SetupRec, Server) == 87, "layout");
static_assert(offsetof(SetupRec, NumAntenna) == 142, "layout");
static_assert(offsetof(SetupRec, catSerRun) == 215, "layout");
static_assert(offsetof(SetupRec, AudioBuffers) == 285, "layout");
