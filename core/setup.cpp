#include "core/setup.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>

#include "core/file_problems.h"
#include "core/globals.h"
#include "core/num_conv.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"

namespace {

const char kSetupPath[] = "/opt/set/setup.txt";

// How a key's value is kept besides its text in the setup record.
enum class Kind {
  Char,  // one character in the setup record
  Text,  // a text field of the setup record
  Port,  // "TcpPort": no setup field, only works->TcpPort
};

struct KeyDef {
  const char* key;
  Kind kind;
  size_t off;  // position in the setup record
  size_t cap;  // capacity with the terminator (text keys)
  const char* def;  // default of a freshly created file
};

#define CH(name, d) {#name, Kind::Char, offsetof(SetupRec, name), 1, d}
#define TX(name, d) {#name, Kind::Text, offsetof(SetupRec, name), sizeof(SetupRec::name), d}

// File order.
const KeyDef kKeys[] = {
    CH(EnableKeyb, "1"),    CH(EnableSpi, "0"),      CH(EnableTouch, "0"),
    CH(DelayedTouch, "0"),  CH(EnableGPIO, "1"),     CH(EnableRead, "0"),
    CH(EnableWrite, "0"),   CH(EnableCAT, "0"),      CH(EnableLinear, "1"),
    CH(EnableTime, "1"),    CH(WebSocket, "1"),      TX(Pitch, "2500"),
    TX(Quality, "100"),     TX(AudioIn, "hw:1"),     TX(InChannels, "1"),
    TX(AudioCompress, "0"), TX(Multiplier, "2"),     TX(AudioOut, "hw:1"),
    TX(Server, "127.0.0.1"),
    {"TcpPort", Kind::Port, 0, 0, "6666"},
    TX(CatPort, "/dev/ttyUSB0"), TX(SerPort, "/dev/ttyUSB1"), TX(LinPort, "/dev/ttyAMA0"),
    CH(NumAntenna, "1"),    CH(EnablePwrPeak, "0"),  CH(TempMode, "0"),
    CH(FreqSensIn, "0"),    TX(FreqPeriodTime, "10"), CH(Attenuator, "0"),
    CH(AttenuatorTune, "0"), TX(SWRescAutoTune, "0"), CH(ViewTimeStr, "0"),
    CH(ViewTemp, "0"),      TX(MaxTemperature, "600"), TX(MaxTemperature2, "800"),
    CH(AutoTuneMaxCicli, "0"), CH(PowerUnits, "0"),  CH(SaveScreenIdx, "0"),
    CH(AutoTuneMode, "0"),  CH(EnableFFT, "0"),      TX(Divide, "0"),
    TX(MaxTempAllowed, "60"), TX(PSpar1, "1"),       TX(PSpar2, "1000"),
    CH(Isteresi1, "1"),     CH(Isteresi2, "1"),      TX(PSpar3, "0"),
    TX(PSpar4, "0"),        TX(OffsetPlot, "0"),     TX(CatSerialPort, "/dev/ttyUSB1"),
    TX(TUNEenabled, "0"),   TX(NumBanco, "1"),       TX(GMpar1, "2"),
    TX(GMpar2, "100"),      TX(Peak_media, "2"),     TX(Peak_ValDec, "10"),
    TX(Peak_TimeDec, "1"),  TX(Peak_Time, "3000"),   TX(MAXbank, "20"),
    TX(BTN_longpress_Time, "5"), CH(EnableDebug, "0"), CH(Enable1600, "1"),
    CH(EnableLOGTemp, "0"), TX(AudioBuffers, "20"),
};
#undef CH
#undef TX

char* field(Works* w, const KeyDef& k) { return reinterpret_cast<char*>(w->setup) + k.off; }

bool is(const KeyDef& k, const char* name) { return strcmp(k.key, name) == 0; }

// Leading-integer scan of a stored text; false when there is no number,
// so the caller keeps its default. A number beyond int is held to its
// range rather than overflowing.
bool scanInt(const char* text, int* out) {
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (end == text) return false;
  *out = static_cast<int>(clampToLong(v, INT32_MIN, INT32_MAX));
  return true;
}

// Keys whose text is converted into works or a global after reading.
void applyText(Works* w, const KeyDef& k, const char* text) {
  int v = 0;
  if (is(k, "Divide")) {  // atoi, as the plot divider always was
    w->Divide = parseIntClamped(text, INT32_MIN, INT32_MAX);
    return;
  }
  if (is(k, "Server")) {
    snprintf(w->Server, sizeof w->Server, "%s", text);
    return;
  }
  if (!scanInt(text, &v)) return;
  if (is(k, "AudioCompress")) w->AudioCompress = v;
  else if (is(k, "Multiplier")) {
    // One packet of stereo frames has to fit the 20480-byte capture buffer.
    if (v >= 1 && v <= kMaxMultiplier) {
      w->audioFrame = v * 240;
    } else {
      zlog(LOG_ERR, "Multiplier: %d outside 1..%d, the audio packet would not fit; 2 used", v, kMaxMultiplier);
      w->audioFrame = 2 * 240;
    }
  }
  else if (is(k, "FreqPeriodTime")) w->FreqPeriodTime = v;
  else if (is(k, "SWRescAutoTune")) w->SWRescAutoTune = v / 100.0f;
  else if (is(k, "MaxTemperature")) w->MaxTemperature = v / 10.0f;
  else if (is(k, "MaxTemperature2")) w->MaxTemperature2 = v / 10.0f;
  else if (is(k, "MaxTempAllowed")) w->MaxTempAllowed = v;
  else if (is(k, "PSpar1")) w->PSpar1 = v;
  else if (is(k, "PSpar2")) w->PSpar2 = v;
  else if (is(k, "PSpar3")) w->PSpar3 = v;
  else if (is(k, "PSpar4")) w->PSpar4 = v;
  else if (is(k, "OffsetPlot")) w->OffsetPlot = v / 10;  // integer tenths: "25" gives 2.0
  else if (is(k, "TUNEenabled")) w->TUNEenabled = static_cast<uint8_t>(v);
  else if (is(k, "NumBanco")) {
    // The bank indexes the antenna and tune-memory tables.
    if (v >= 0 && v < 20) w->NumBanco = v;
  } else if (is(k, "GMpar1")) w->GMpar1 = v;
  else if (is(k, "GMpar2")) w->GMpar2 = v;
  else if (is(k, "Peak_media")) {
    // The meters divide by it plus one.
    if (v >= 0) fattoremedia = v;
  }
  else if (is(k, "Peak_ValDec")) PeakDecrement = v / 10.0;
  else if (is(k, "Peak_TimeDec")) PeakDecrementTime = v;
  else if (is(k, "Peak_Time")) TimerPeakSec = v;
  else if (is(k, "MAXbank")) {
    if (v >= 2 && v <= 20) w->MAXbank = v;
  } else if (is(k, "BTN_longpress_Time")) TIME_LONG_PRESS = v / 10.0;
  else if (is(k, "AudioBuffers")) w->AudioBuffers = v;
}

void applyChar(Works* w, const KeyDef& k, char c) {
  const uint8_t v = static_cast<uint8_t>(c - '0');
  if (is(k, "NumAntenna")) {
    // Three antenna outputs; anything else would index past the tables.
    if (c >= '1' && c <= '3') w->AntennaIdx = c - '1';
  } else if (is(k, "EnablePwrPeak")) w->EnablePwrPeak = v;
  else if (is(k, "TempMode")) w->TempMode = v;
  else if (is(k, "FreqSensIn")) w->FreqSensIn = v;
  else if (is(k, "Attenuator")) w->Attenuator = v;
  else if (is(k, "AttenuatorTune")) w->AttenuatorTune = v;
  else if (is(k, "ViewTimeStr")) w->ViewTimeStr = v;
  else if (is(k, "ViewTemp")) w->ViewTemp = v;
  else if (is(k, "AutoTuneMaxCicli")) w->AutoTuneMaxCicli = v;
  else if (is(k, "PowerUnits")) w->PowerUnits = v;
  else if (is(k, "SaveScreenIdx")) w->SaveScreenIdx = v;
  else if (is(k, "AutoTuneMode")) w->tuneFlags = v;
  else if (is(k, "Isteresi1")) w->Isteresi1 = c - '0';
  else if (is(k, "Isteresi2")) w->Isteresi2 = c - '0';
  else if (is(k, "EnableDebug")) w->EnableDebug = v;
  else if (is(k, "EnableLOGTemp")) w->EnableLOGTemp = v;
  else if (is(k, "EnableFFT")) setRunByte(w->setup->spectrumSource, c);
  else if (is(k, "Enable1600")) setRunByte(w->setup->spectrumSource, '1');
}

// Scaled values are saved as integers; rounding keeps 60.3 degrees as 603
// where a plain truncation of the float product could give 602.
int scaled(double v, double by) {
  double r = std::round(v * by);
  return clampToInt(r, INT32_MIN, INT32_MAX);
}

// The number behind a works-backed text key, as it is saved; false for
// keys that live only as text.
bool worksValue(Works* w, const KeyDef& k, int* v) {
  if (is(k, "AudioCompress")) *v = w->AudioCompress;
  else if (is(k, "FreqPeriodTime")) *v = w->FreqPeriodTime;
  else if (is(k, "SWRescAutoTune")) *v = scaled(w->SWRescAutoTune, 100);
  else if (is(k, "MaxTemperature")) *v = scaled(w->MaxTemperature, 10);
  else if (is(k, "MaxTemperature2")) *v = scaled(w->MaxTemperature2, 10);
  else if (is(k, "MaxTempAllowed")) *v = w->MaxTempAllowed;
  else if (is(k, "PSpar1")) *v = w->PSpar1;
  else if (is(k, "PSpar2")) *v = w->PSpar2;
  else if (is(k, "PSpar3")) *v = w->PSpar3;
  else if (is(k, "PSpar4")) *v = w->PSpar4;
  else if (is(k, "OffsetPlot")) *v = scaled(w->OffsetPlot, 10);
  else if (is(k, "TUNEenabled")) *v = w->TUNEenabled;
  else if (is(k, "NumBanco")) *v = w->NumBanco;
  else if (is(k, "GMpar1")) *v = w->GMpar1;
  else if (is(k, "GMpar2")) *v = w->GMpar2;
  else if (is(k, "Peak_media")) *v = fattoremedia;
  else if (is(k, "Peak_ValDec")) *v = scaled(PeakDecrement, 10);
  else if (is(k, "Peak_TimeDec")) *v = PeakDecrementTime;
  else if (is(k, "Peak_Time")) *v = TimerPeakSec;
  else if (is(k, "MAXbank")) *v = w->MAXbank;
  else if (is(k, "BTN_longpress_Time")) *v = scaled(TIME_LONG_PRESS, 10);
  else if (is(k, "AudioBuffers")) *v = w->AudioBuffers;
  else return false;
  return true;
}

void refreshText(Works* w, const KeyDef& k, char* dst) {
  int v;
  if (worksValue(w, k, &v)) snprintf(dst, k.cap, "%d", v);
}

void refreshChar(Works* w, const KeyDef& k, char* dst) {
  auto ch = [](int v) { return static_cast<char>(v + '0'); };
  if (is(k, "NumAntenna")) setRunByte(*dst, static_cast<char>(w->AntennaIdx + '1'));
  else if (is(k, "EnablePwrPeak")) setRunByte(*dst, ch(w->EnablePwrPeak));
  else if (is(k, "TempMode")) setRunByte(*dst, ch(w->TempMode));
  else if (is(k, "FreqSensIn")) setRunByte(*dst, ch(w->FreqSensIn));
  else if (is(k, "Attenuator")) setRunByte(*dst, ch(w->Attenuator));
  else if (is(k, "AttenuatorTune")) setRunByte(*dst, ch(w->AttenuatorTune));
  else if (is(k, "ViewTimeStr")) setRunByte(*dst, ch(w->ViewTimeStr));
  else if (is(k, "ViewTemp")) setRunByte(*dst, ch(w->ViewTemp));
  else if (is(k, "AutoTuneMaxCicli")) setRunByte(*dst, ch(w->AutoTuneMaxCicli));
  else if (is(k, "PowerUnits")) setRunByte(*dst, ch(w->PowerUnits));
  else if (is(k, "SaveScreenIdx")) setRunByte(*dst, ch(w->SaveScreenIdx));
  else if (is(k, "AutoTuneMode")) setRunByte(*dst, ch(w->tuneFlags & 1));
  else if (is(k, "Isteresi1")) setRunByte(*dst, ch(w->Isteresi1));
  else if (is(k, "Isteresi2")) setRunByte(*dst, ch(w->Isteresi2));
  else if (is(k, "EnableDebug")) setRunByte(*dst, ch(w->EnableDebug));
  else if (is(k, "EnableLOGTemp")) setRunByte(*dst, ch(w->EnableLOGTemp));
}

// The value logged after reading; numbers are shown as they are saved.
void logValue(Works* w, const KeyDef& k) {
  const char* t = field(w, k);
  int v;
  if (k.kind == Kind::Char) zlog(LOG_INFO, "%s: -%c-", k.key, *t);
  else if (k.kind == Kind::Port) zlog(LOG_INFO, "TcpPort: -%d-", w->TcpPort);
  else if (is(k, "TUNEenabled")) zlog(LOG_INFO, "TUNEenabled: -%i-", w->TUNEenabled);
  else if (is(k, "NumBanco")) zlog(LOG_INFO, "NumBanco: -%i-", w->NumBanco);
  else if (is(k, "Divide")) zlog(LOG_INFO, "Divide: -%s- -%d-", t, w->Divide.load());
  else if (worksValue(w, k, &v)) zlog(LOG_INFO, "%s: -%d-", k.key, v);
  else zlog(LOG_INFO, "%s: -%s-", k.key, t);
}

}  // namespace

void initSetup(Works* w) {
  InitGlobalVar(w);
  char* rec = reinterpret_cast<char*>(w->setup);
  memset(rec, 0, sizeof(SetupRec));
  memset(rec, '1', 290);
  for (const KeyDef& k : kKeys) {
    if (k.kind == Kind::Text) snprintf(field(w, k), k.cap, "%s", k.def);
    else if (k.kind == Kind::Char && k.def[0] == '0') *field(w, k) = '0';
  }
  // The defaults go through the same conversions as a read value, so a key
  // whose line is missing runs with the value the log shows and the file
  // saves ("Multiplier" 2 is 480-frame packets, not the record's 240).
  for (const KeyDef& k : kKeys) {
    if (k.kind == Kind::Text) applyText(w, k, field(w, k));
    else if (k.kind == Kind::Char) applyChar(w, k, runByte(*field(w, k)));
  }
  snprintf(w->Server, sizeof w->Server, "%s", w->setup->Server);
}

void readSetup(Works* w) {
  initSetup(w);
  FILE* f = openRooted(kSetupPath, "r");
  if (f == nullptr) {
    fprintf(stderr, "Init Setup! ");
    writeSetup(w);
    zlog(LOG_ERR, "can't open /opt/set/setup.txt");
    return;
  }
  char line[100];
  int lineNo = 0;
  bool continued = false;  // the rest of a line longer than the buffer
  while (fgets(line, sizeof line, f) != nullptr) {
    size_t n = strlen(line);
    const bool whole = n > 0 && line[n - 1] == '\n';
    if (!continued) lineNo++;
    const bool tail = continued;
    continued = !whole;
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
    if (tail) {
      reportFileProblem(kSetupPath, lineNo, false, "line too long: its end is read as a line of its own");
    }
    bool known = false;
    for (const KeyDef& k : kKeys) {
      size_t kl = strlen(k.key);
      if (strncmp(line, k.key, kl) != 0 || line[kl] != ':' || line[kl + 1] != ' ') continue;
      known = true;
      const char* value = line + kl + 2;
      if (k.kind == Kind::Char) {
        // No value, or a "\r" the file could not carry back (the next read
        // strips it from the end of the line): keep the default.
        if (value[0] == '\0' || value[0] == '\r') {
          reportFileProblem(kSetupPath, lineNo, false, std::string(k.key) + ": no value, default kept");
          break;
        }
        setRunByte(*field(w, k), value[0]);
        applyChar(w, k, value[0]);
      } else if (k.kind == Kind::Port) {
        short port;
        if (sscanf(value, "%hd", &port) == 1) w->TcpPort = port;
        else reportFileProblem(kSetupPath, lineNo, false, "TcpPort: not a number, default kept");
      } else {
        if (strlen(value) >= k.cap)
          reportFileProblem(kSetupPath, lineNo, false,
                            std::string(k.key) + ": value cut to " + std::to_string(k.cap - 1) + " characters");
        // Over-long values are cut to the field.
        snprintf(field(w, k), k.cap, "%s", value);
        applyText(w, k, field(w, k));
      }
      break;
    }
    if (!known && line[0] != '\0' && line[0] != ';' && fileProblemsWanted())
      reportFileProblem(kSetupPath, lineNo, false, "not a known \"Key: value\" line, ignored");
  }
  fclose(f);
  for (const KeyDef& k : kKeys) logValue(w, k);
}

int writeSetup(Works* w) {
  for (const KeyDef& k : kKeys) {
    if (k.kind == Kind::Char) refreshChar(w, k, field(w, k));
    else if (k.kind == Kind::Text) refreshText(w, k, field(w, k));
  }
  RemountWindow window;
  if (!window.isOpen()) return 0;
  AtomicWriter out(kSetupPath);
  if (!out.ok()) {
    zlog(LOG_ERR, "can't write /opt/set/setup.txt error %d", errno);
    return 0;
  }
  FILE* f = out.file();
  for (const KeyDef& k : kKeys) {
    const char* t = field(w, k);
    if (k.kind == Kind::Port) fprintf(f, "TcpPort: %d\n", w->TcpPort);
    else if (is(k, "AudioCompress")) fprintf(f, "AudioCompress: %d\n", w->AudioCompress);
    else if (is(k, "Divide")) fprintf(f, "Divide: %d\n", w->Divide.load());
    else if (k.kind == Kind::Char) fprintf(f, "%s: %c\n", k.key, runByte(*t));
    else fprintf(f, "%s: %s\n", k.key, t);
  }
  if (out.commit() != 0) zlog(LOG_ERR, "can't write /opt/set/setup.txt error %d", errno);
  return 0;
}
