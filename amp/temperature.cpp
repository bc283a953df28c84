// Temperatures, power factors, fan step and over-temperature protection.
#include "amp/temperature.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <syslog.h>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/linear.h"
#include "amp/cmd_queue.h"
#include "core/tables.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// 10 kohm NTC: (degrees C, kohm), hottest last.
const float K_T_R[68] = {
    -40, 347.808f, -35, 248.591f, -30, 179.973f, -25, 131.832f, -20, 97.679f, -15, 73.119f,
    -10, 55.301f,  -5,  42.257f,  0,   32.582f,  5,   25.324f,  10,  19.847f, 15,  15.679f,
    20,  12.478f,  25,  10.000f,  30,  8.068f,   35,  6.552f,   40,  5.353f,  45,  4.399f,
    50,  3.635f,   55,  3.020f,   60,  2.521f,   65,  2.115f,   70,  1.783f,  75,  1.510f,
    80,  1.284f,   85,  1.096f,   90,  0.939f,   95,  0.808f,   100, 0.698f,  105, 0.605f,
    110, 0.527f,   115, 0.460f,   120, 0.403f,   125, 0.354f,
};

const float kDefaultK[4] = {5.156579e-6f, 3.3262754e-6f, 5.5078103e-6f, -0.007f};

float factorOf(const ConfigRow& r, int kind) {
  switch (kind) {
    case 0: return r.K0;
    case 1: return r.K1;
    case 2: return r.K2;
    case 3: return r.K3;
    default: return 1.0f;
  }
}

}  // namespace

float CalcolaTemp(int raw) {
  if (raw == 4095) return -10.0f;  // open sensor (infinite resistance): coldest end, clamped
  // Out-of-range readings give a negative resistance, past the hot end of
  // the table: they read as the upper clamp, so garbage errs on the safe side.
  if (raw < 0) raw = 0;
  float R = static_cast<float>(static_cast<double>(raw) * 10.0 / (4095 - raw));
  int i = 0;
  while (i < 34 && !(K_T_R[2 * i + 1] < R)) i++;
  float t;
  if (i == 0) {
    t = -40.0f;
  } else if (i == 34) {
    t = 80.0f;  // hotter than the table: upper clamp
  } else {
    float T1 = K_T_R[2 * i], R1 = K_T_R[2 * i + 1];
    float T0 = K_T_R[2 * i - 2], R0 = K_T_R[2 * i - 1];
    t = (T1 - T0) / (R1 - R0) * (R - R0) + T0;
  }
  if (t < -10.0f) t = -10.0f;
  if (t > 80.0f) t = 80.0f;
  return t;
}

float SearchK(Works* w, int kind) {
  int n = w->configCount;
  if (n <= 0 || !w->configRows) return kind >= 0 && kind <= 3 ? kDefaultK[kind] : 1.0f;
  unsigned long f = static_cast<unsigned long>(w->freq.load() < 0 ? 0 : w->freq.load());
  // Every row is tried: with starts out of order the last row whose range
  // holds the frequency wins.
  float k = 1.0f;
  for (int i = 0; i + 1 < n; i++) {
    if (w->configRows[i].fStart <= f && f < w->configRows[i + 1].fStart) k = factorOf(w->configRows[i], kind);
  }
  return k;
}

float SearchTemperatureFromVentola(Works* w, int percent) {
  for (int i = 0; i < w->fanCount; i++)
    if (w->fanRows[i].step == percent) return w->fanRows[i].temp;
  return 0.0f;
}

void searchPercentVentola(Works* w) {
  int n = w->fanCount;
  if (n <= 0 || !w->fanRows) return;  // no fan curve: the step stays as it is
  float t = w->tempBoard > w->tempHeatsink ? w->tempBoard : w->tempHeatsink;
  const FanRow* rows = w->fanRows.get();
  int step = rows[0].step;
  bool matched = false;
  for (int i = 0; i + 1 < n; i++) {
    if (rows[i].temp <= t && t < rows[i + 1].temp) {
      step = rows[i].step;
      matched = true;
      break;
    }
  }
  if (!matched && t >= rows[n - 1].temp) step = rows[n - 1].step;
  w->fanStep = step;
  if (step == w->fanStepSent) return;
  float c = SearchTemperatureFromVentola(w, w->fanStepSent);
  if (step > w->fanStepSent || t < c - static_cast<float>(w->Isteresi2)) {
    w->fanStepSent = step;
    IncPNTIn_CMDLinear(w, CMD_FN);
    fprintf(stderr, "--->1 VENTOLA: %d (%02.02f°C)\n", step, t);
  }
}

void AttivaDisattivaProtezione(Works* w, int on) {
  if (on) {
    IncPNTIn_CMDLinear(w, CMD_MP1);
    IncPNTIn_CMDLinear(w, CMD_AT11);
    fprintf(stderr, "PROTEZIONE ON -------------\n");
  } else {
    IncPNTIn_CMDLinear(w, CMD_MP0);
    fprintf(stderr, "PROTEZIONE OFF -------------\n");
  }
}

void GestTemperatureFunction(Works* w, int alarmCode, int endCode, int warnCode, float temperature,
                             float threshold) {
  const float low = threshold - static_cast<float>(w->Isteresi1);
  if (temperature > threshold) {
    if (ExistError(w, alarmCode)) return;
    DeleteErrore(w, warnCode);
    DeleteErrore(w, endCode);
    AddErrore(w, alarmCode);
    AttivaDisattivaProtezione(w, 1);
    if (w->EnableLOGTemp == 1) {
      LogTempFunction(w, 1);
      w->logTempRestarted = 0;
    }
    if (!(w->errorsMuted & 1)) IncPNTIn_CMDLinear(w, CMD_AB0);
    fprintf(stderr, "!!!!  TEMP ALLARM: %02.02f (%i)\n", temperature, alarmCode);
  } else if (temperature < low) {
    if (ExistError(w, alarmCode)) {
      DeleteErrore(w, alarmCode);
      IncPNTIn_CMDLinear(w, CMD_AB1);
      AddErrore(w, endCode);
      fprintf(stderr, "!!!! END TEMPERATURE ERROR (%i)\n", alarmCode);
    }
    if (ExistError(w, warnCode)) {
      DeleteErrore(w, warnCode);
      fprintf(stderr, "!!!! WARNING: Warning Temperatura Rientrato!! (%i)\n", warnCode);
    }
  } else {
    if (!ExistError(w, alarmCode) && !ExistError(w, warnCode)) {
      AddErrore(w, warnCode);
      fprintf(stderr, "!!!! WARNING: Quasi in Temperatura!! (%i)\n", warnCode);
    }
  }
}

namespace {

const char* kLogTempPath = "/opt/set/LOGtemp.txt";

// Same text as the screens' clock, formatted here: the Linear thread must
// not read the timer's buffer while it is being rewritten, and the timer
// may not be running at all.
void localDateTime(char* out, size_t cap) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(out, cap, "%Y-%m-%d %H:%M:%S", &tmv);
}

}  // namespace

void LogTempFunction(Works* w, int mode) {
  RemountWindow window(true, true);
  if (!window.isOpen()) return;
  std::string path = rootPath(kLogTempPath);
  if (mode == -1) {
    runCommand("rm " + shellQuote(path));
  } else {
    bool exists = pathExists(kLogTempPath);
    FILE* f = openRooted(kLogTempPath, "a");
    if (f == nullptr) {
      zlog(LOG_ERR, "can't open /opt/set/LOGtemp.txt");
    } else {
      if (!exists) fprintf(f, ";TX,Temp1,Temp2,FDD,SWR\n");
      char when[40];
      localDateTime(when, sizeof when);
      const AmpSnapshot a = GetAmpStatus(w);
      fprintf(f, "%s%s", when, (a.ampStatus[1] & 1) ? " , 1," : " , 0,");
      fprintf(f, "%04.01f,%04.01f,%02.01fW,%03.02f,%04.01fV,%04.01fA", a.tempBoard, a.tempHeatsink, a.FWD,
              a.SWR, AmpSupplyVolts(w), a.paCurrentRaw / 4096.0 * 14.05);
      fprintf(f, mode == 1 ? " -> protezione attiva\n" : "\n");
      if (fclose(f) != 0) zlog(LOG_ERR, "can't write /opt/set/LOGtemp.txt");
    }
  }
}
