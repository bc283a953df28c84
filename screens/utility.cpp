#include "screens/utility.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/works.h"
#include "platform/paths.h"

time_t LastSecDataOra = 0;

float ConversionCelsius_to_Fahrenheit(float c) { return c * 9.0f / 5.0f + 32.0f; }

void ParseCPUTemp(Works* w, const char* text) {
  // Lines of at most 31 characters: the first is the CPU temperature, the
  // second reads like temp=52.1'C with the GPU value at offset 5.
  int lineNo = 0;
  const char* p = text;
  while (*p != '\0' && lineNo < 2) {
    const char* nl = strchr(p, '\n');
    size_t len = nl ? static_cast<size_t>(nl - p) : strlen(p);
    char line[32];
    size_t n = len < 31 ? len : 31;
    memcpy(line, p, n);
    line[n] = '\0';
    if (lineNo == 0) {
      w->CPUTemp = static_cast<float>(atof(line));
    } else if (n > 5) {
      char gpu[5];
      strncpy(gpu, line + 5, 4);
      gpu[4] = '\0';
      w->GPUTemp = static_cast<float>(atof(gpu));
    }
    lineNo++;
    if (nl == nullptr) break;
    p = nl + 1;
  }
}

void ReadCPUTemp(Works* w) {
  std::string out;
  // A missing script prints nothing: the stored values stay.
  if (runCommandOutput("my_temp", out, 4096) < 0) return;
  ParseCPUTemp(w, out.c_str());
}

void ReadDataOra(Works* w) { ReadDataOra(w, time(nullptr)); }

void ReadDataOra(Works* w, time_t now) {
  if (now == LastSecDataOra) return;
  LastSecDataOra = now;
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(w->DataOraStr, sizeof w->DataOraStr, "%Y-%m-%d %H:%M:%S", &tmv);
}

float CalvTensVadcAmp(Works* w, uint8_t r) {
  double k = w->ampModel == '1' ? 348.0 : 118.0;
  return static_cast<float>(r * 3.3 * k / 255.0 / 18.0);
}
