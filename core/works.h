// The shared record `works`: one instance for the whole process, handed to
// every thread. There is no general lock: each field has one writer or is
// written whole, and readers accept a stale value. Fields read by other
// threads while being written are atomics; each subsystem keeps its own
// fields in its own folder and they are all part of the one record.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "amp/amp_fields.h"
#include "core/panel_events.h"
#include "core/setup_record.h"
#include "core/station_hooks.h"
#include "core/tables_fields.h"
#include "display/display_fields.h"
#include "menus/menu_fields.h"
#include "radio/radio_fields.h"
#include "remote/remote_fields.h"
#include "screens/screen_fields.h"
#include "tuner/tuner_fields.h"

struct ZelParam;
struct PlotBuffers;

struct CoreFields {
  // Life
  std::atomic<uint32_t> running{0};  // 1 while the system runs
  // Set with `running` at 0 by the operator's stop (F12, SIGTERM, SIGINT)
  // only: the defaults put `running` back to 1 unless a stop was asked
  // for, so a stop during start-up or a factory reset is not lost.
  std::atomic<uint32_t> stopRequested{0};
  uint8_t started = 0;               // set to 1 at start
  // failText is written first, then failCode is stored (release): a reader
  // that loads failCode above 0 sees the whole text.
  std::atomic<int> failCode{0};      // 0 none, 1 amplifier port, 2 FT-817 port, 3 radio data port, -1 dismissed
  char failText[100] = {};

  char version[20] = {};  // this program's version text

  // Remote endpoint
  char Server[100] = {};
  int16_t TcpPort = 0;
  char accessKey[13] = {};  // from remote.txt; written under keyMut (core/remote_config.h)

  // Audio format
  int audioFrame = 0;   // samples per packet = Multiplier x 240
  int audioFormat = 0;  // ALSA sample format code (2 = S16_LE)
  int audioRate = 0;

  // Locks and links
  std::mutex* connMut = nullptr;
  std::mutex* sendMut = nullptr;
  SetupRec* setup = nullptr;
  void* opusEnc = nullptr;
  void* opusDec = nullptr;
  int AudioCompress = 0;  // Opus bit rate, 0 = uncompressed

  // Companion radio
  ZelParam* zelParam = nullptr;
  std::mutex* serMut = nullptr;

  // Radio and band state
  std::atomic<long> freq{0};          // operating frequency, Hz
  std::atomic<int> AntennaIdx{0};     // selected antenna, 0-based (recall, buttons, remote)
  std::atomic<int> AntennaRowIdx{0};              // antenna-table row in use, -1 = re-evaluate
  std::atomic<int> ModeWorkIdx{0};    // work mode, -1 until chosen
  std::atomic<int> NumBanco{0};       // current bank (the panel's: the timer thread writes it)
  int MAXbank = 0;                    // number of banks
  std::atomic<uint8_t> tuneFlags{0};  // bit 0 automatic tune with the companion radio
  std::atomic<uint8_t> txReqFlags{0}; // transmit request of the manual-tune page

  // Setup-backed values
  uint8_t EnablePwrPeak = 0;
  uint8_t TempMode = 0;
  uint8_t FreqSensIn = 0;
  int FreqPeriodTime = 0;
  std::atomic<uint8_t> Attenuator{0};  // written by the recall, the buttons and the decoder
  uint8_t AttenuatorTune = 0;
  float SWRescAutoTune = 0;
  uint8_t ViewTimeStr = 0;
  uint8_t ViewTemp = 0;
  float MaxTemperature = 0;
  float MaxTemperature2 = 0;
  uint8_t AutoTuneMaxCicli = 0;
  uint8_t PowerUnits = 0;
  uint8_t SaveScreenIdx = 0;
  std::atomic<int> Divide{0};
  int MaxTempAllowed = 0;
  int PSpar1 = 0, PSpar2 = 0, PSpar3 = 0, PSpar4 = 0;
  int Isteresi1 = 0, Isteresi2 = 0;
  double OffsetPlot = 0;
  uint8_t TUNEenabled = 0;
  int GMpar1 = 0, GMpar2 = 0;
  uint8_t EnableDebug = 0;
  uint8_t EnableLOGTemp = 0;
  int AudioBuffers = 0;

  // Every operator action on the panel; only the timer thread applies them
  PanelQueue panelQ;
  // Calls up a floor, installed by the start-up
  StationHooks hooks;

  // Front-panel mailbox
  std::atomic<uint8_t> tinyCmd{0};     // command being sent, 255 = none
  std::atomic<uint8_t> tinyCmdReq{0};  // next command, 0 = empty

  // Plot buffers
  PlotBuffers* plot = nullptr;
};

struct Works : CoreFields, DisplayFields, AmpFields, TablesFields, TunerFields,
               RadioFields, ScreenFields, MenuFields, RemoteFields {};

// The defaults of the shared record (the start-up, the setup reader and
// the factory reset); keeps a stop already asked for.
void InitGlobalVar(Works* w);
// Front-panel mailbox: waits until tinyCmdReq is empty, then posts code.
void PostTinyCmd(Works* w, unsigned char code);

// Two arrays of 1024 values for the spectrum plot.
struct PlotBuffers {
  int32_t* a = nullptr;
  int32_t* b = nullptr;
};
