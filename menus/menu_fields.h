// Menu fields of the shared record: the page and selections of the button
// strip, the values its labels show, and the refresh screen's readings.
#pragma once
#include <atomic>
#include <cstdint>

struct MenuFields {
  std::atomic<int> MenuIdx{0};  // menu page shown, 0..12 (buttons write, timer draws)
  int ParIdx = 0;     // selected parameter group
  int ParSubIdx = 0;  // selected item of that group
  int NumPar = 0;     // number of parameter groups (32)
  std::atomic<uint8_t> overlay{0};  // bit 0 status info, bit 1 utility, bit 2 filter screen
  std::atomic<uint8_t> updateFlags{0};  // bit 0 fw update, bit 1 remote service, bit 2 loader, bit 3 UI update
  std::atomic<uint8_t> keyFlags{0};  // bit 0 long press pending, bit 1 saving refused, bit 2 remote not started, bit 3 UI update

  // Attenuator step being chosen and step applied (index into AttVectStr)
  uint8_t AttSel = 0;
  std::atomic<uint8_t> AttIdx{0};
  uint8_t ManualTune = 0;  // 1 while manual tuning is on

  // Selections of the save, copy and erase pages
  int SaveBank = 0;
  int SaveAnt = 0;
  int CopyFrom = 0;
  int CopyTo = 0;
  int ResetBank = 0;  // MAXbank means all banks

  // Parameter and table editors: changed by the key dispatch (GPIO
  // thread), shown by the timer's views.
  std::atomic<int> tabRowSel{0};         // antenna-table row being edited
  std::atomic<uint8_t> filterView{0};    // 1 while the filter-settings view is selected
  std::atomic<uint8_t> factoryArmed{0};  // 1 after the first press of "FACTORY DEFAULT"

  int reportedPage = -1;  // page named by the last "panel:" line (timer thread)

  // Board readings and clock text of the refresh screen
  float CPUTemp = 0;  // degrees C
  float GPUTemp = 0;  // degrees C
  char DataOraStr[80] = {};
};
