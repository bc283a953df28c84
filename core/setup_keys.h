// The setup keys: one row per "Key: value" line of setup.txt, in file
// order. A row says where the value lives (its text field in the setup
// record, and the works field or global it is converted into), how it is
// written (one character, a text, a decimal number with a scale), its
// default, and the limits the reader and the parameter editor hold it to.
// The reader, the writer, the log of the values in force, the defaults and
// the parameter editor all work from these rows: a new key is one row.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "core/globals.h"
#include "core/setup.h"
#include "core/setup_record.h"
#include "core/works.h"

enum class SetupKind : uint8_t {
  Flag,    // one character
  Text,    // a text saved as it is
  Number,  // a decimal integer: the file holds the working value x scale
};

// How a number is taken from its text.
enum class SetupParse : uint8_t {
  Leading,  // leading integer; no number keeps the value in force
  Atoi,     // leading integer, no number is 0
  Short,    // 16-bit integer; no number is reported and keeps the value
};

// What the reader does with a number outside the row's lo..hi.
enum class SetupCheck : uint8_t {
  None,      // takes it: the limits are the editor's
  Keep,      // keeps the value in force
  Fallback,  // logs the reason and puts the default in force
};

constexpr double kNoLimit = std::numeric_limits<double>::infinity();

struct SetupBind;

struct SetupKey {
  const char* name;  // as written before ": " in the file
  SetupKind kind;
  uint16_t off;  // position in the setup record
  uint8_t cap;   // field capacity with the terminator; 0: no field
  const char* def;  // the text of a freshly created file
  const SetupBind* bind = nullptr;  // null: the record's text is the value
  int scale = 1;
  bool truncates = false;  // read in whole units: "25" tenths is 2.0
  bool wide = false;       // the line carries the whole number, not the field's text
  bool logsText = false;   // the log shows the text beside the number
  SetupParse parse = SetupParse::Leading;
  SetupCheck check = SetupCheck::None;
  // Working units (the file's number / scale). The editor steps by step
  // and stays inside lo..hi; hiKey names a key whose value is the upper
  // limit instead of hi.
  double lo = -kNoLimit, hi = kNoLimit, step = 0;
  const char* hiKey = nullptr;
  const char* why = nullptr;  // logged with a fallback

  constexpr SetupKey at(const SetupBind* b) const { SetupKey k = *this; k.bind = b; return k; }
  constexpr SetupKey per(int s) const { SetupKey k = *this; k.scale = s; return k; }
  constexpr SetupKey truncating() const { SetupKey k = *this; k.truncates = true; return k; }
  constexpr SetupKey wideLine() const { SetupKey k = *this; k.wide = true; return k; }
  constexpr SetupKey textInLog() const { SetupKey k = *this; k.logsText = true; return k; }
  constexpr SetupKey parsedAs(SetupParse p) const { SetupKey k = *this; k.parse = p; return k; }
  constexpr SetupKey range(double l, double h, double s) const {
    SetupKey k = *this;
    k.lo = l;
    k.hi = h;
    k.step = s;
    return k;
  }
  constexpr SetupKey upTo(const char* key) const { SetupKey k = *this; k.hiKey = key; return k; }
  constexpr SetupKey keepInside() const { SetupKey k = *this; k.check = SetupCheck::Keep; return k; }
  constexpr SetupKey orDefault(const char* reason) const {
    SetupKey k = *this;
    k.check = SetupCheck::Fallback;
    k.why = reason;
    return k;
  }
};

// Where a key's value is in force besides its text in the setup record.
struct SetupBind {
  // The file's number (flags: the character - '0') into the value in force.
  void (*load)(Works* w, const SetupKey& k, int v);
  // The value in force in working units; null when the text is what is saved.
  double (*get)(const Works* w);
  // Puts a working value in force (the parameter editor).
  void (*set)(Works* w, double v);
  // A text key whose text is also kept elsewhere.
  void (*text)(Works* w, const char* v);
};

namespace setup_bind {

template <class T> struct Plain { using type = T; };
template <class T> struct Plain<std::atomic<T>> { using type = T; };

// A field of works or a process-wide global.
template <auto R, class W> decltype(auto) ref(W* w) {
  if constexpr (std::is_member_object_pointer_v<decltype(R)>) {
    return (w->*R);
  } else {
    (void)w;
    return (*R);
  }
}

template <class T> double valueOf(const T& f) { return static_cast<double>(f); }
template <class T> double valueOf(const std::atomic<T>& f) { return static_cast<double>(f.load()); }
template <class T> void put(T& f, T v) { f = v; }
template <class T> void put(std::atomic<T>& f, T v) { f.store(v); }

// Integer fields take a working value through a 64-bit integer, so a
// byte field wraps as the byte it is.
template <class T> T fromWorking(double v) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<long long>(v));
  else return static_cast<T>(v);
}

// The file's integer in the field's own arithmetic: "655" tenths is 65.5f
// divided in float.
template <class T> T fromFile(int v, const SetupKey& k) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(v / k.scale);
  else if (k.truncates) return static_cast<T>(v / k.scale);
  else return static_cast<T>(v) / static_cast<T>(k.scale);
}

template <auto R> void load(Works* w, const SetupKey& k, int v) {
  auto& f = ref<R>(w);
  using T = typename Plain<std::remove_reference_t<decltype(f)>>::type;
  put(f, fromFile<T>(v, k));
}
template <auto R> double get(const Works* w) { return valueOf(ref<R>(w)); }
template <auto R> void set(Works* w, double v) {
  auto& f = ref<R>(w);
  using T = typename Plain<std::remove_reference_t<decltype(f)>>::type;
  put(f, fromWorking<T>(v));
}

template <auto R> inline constexpr SetupBind kField{&load<R>, &get<R>, &set<R>, nullptr};

}  // namespace setup_bind

// The binding of a works field (&Works::X) or a global (&X).
template <auto R> constexpr const SetupBind* to() { return &setup_bind::kField<R>; }

// Bindings that are not one plain field.
extern const SetupBind kAntennaBind;     // "NumAntenna" 1..3 is AntennaIdx 0..2
extern const SetupBind kAutoTuneBind;    // whole tuneFlags byte in, bit 0 out
extern const SetupBind kSpectrumBind;    // "EnableFFT" also chooses the spectrum source
extern const SetupBind kUsbSpectrumBind; // "Enable1600" always leaves the USB source
extern const SetupBind kAudioFrameBind;  // "Multiplier" N is N x 240-frame packets
extern const SetupBind kServerBind;      // "Server" text also in works

#define ZEL_FLAG(n, d) SetupKey{#n, SetupKind::Flag, uint16_t(offsetof(SetupRec, n)), 1, d}
#define ZEL_TEXT(n, d) \
  SetupKey { #n, SetupKind::Text, uint16_t(offsetof(SetupRec, n)), uint8_t(sizeof(SetupRec::n)), d }
#define ZEL_NUM(n, d) \
  SetupKey { #n, SetupKind::Number, uint16_t(offsetof(SetupRec, n)), uint8_t(sizeof(SetupRec::n)), d }

// File order.
inline constexpr SetupKey kSetupKeys[] = {
    ZEL_FLAG(EnableKeyb, "1"),
    ZEL_FLAG(EnableSpi, "0"),
    ZEL_FLAG(EnableTouch, "0"),
    ZEL_FLAG(DelayedTouch, "0"),
    ZEL_FLAG(EnableGPIO, "1"),
    ZEL_FLAG(EnableRead, "0"),
    ZEL_FLAG(EnableWrite, "0"),
    ZEL_FLAG(EnableCAT, "0"),
    ZEL_FLAG(EnableLinear, "1"),
    ZEL_FLAG(EnableTime, "1"),
    ZEL_FLAG(WebSocket, "1"),
    ZEL_TEXT(Pitch, "2500"),
    ZEL_TEXT(Quality, "100"),
    ZEL_TEXT(AudioIn, "hw:1"),
    ZEL_TEXT(InChannels, "1"),
    ZEL_NUM(AudioCompress, "0").at(to<&Works::AudioCompress>()).wideLine(),
    // One packet of stereo frames has to fit the 20480-byte capture buffer.
    ZEL_TEXT(Multiplier, "2").at(&kAudioFrameBind).range(1, kMaxMultiplier, 1)
        .orDefault("the audio packet would not fit"),
    ZEL_TEXT(AudioOut, "hw:1"),
    ZEL_TEXT(Server, "127.0.0.1").at(&kServerBind),
    SetupKey{"TcpPort", SetupKind::Number, 0, 0, "6666"}.at(to<&Works::TcpPort>())
        .parsedAs(SetupParse::Short).wideLine(),
    ZEL_TEXT(CatPort, "/dev/ttyUSB0"),
    ZEL_TEXT(SerPort, "/dev/ttyUSB1"),
    ZEL_TEXT(LinPort, "/dev/ttyAMA0"),
    // Three antenna outputs; anything else would index past the tables.
    ZEL_FLAG(NumAntenna, "1").at(&kAntennaBind).range(1, 3, 1).keepInside(),
    ZEL_FLAG(EnablePwrPeak, "0").at(to<&Works::EnablePwrPeak>()).range(0, 1, 1),
    ZEL_FLAG(TempMode, "0").at(to<&Works::TempMode>()).range(0, 1, 1),
    ZEL_FLAG(FreqSensIn, "0").at(to<&Works::FreqSensIn>()).range(0, 1, 1),
    // Four digits in the file.
    ZEL_NUM(FreqPeriodTime, "10").at(to<&Works::FreqPeriodTime>()).range(10, 9999, 10),
    ZEL_FLAG(Attenuator, "0").at(to<&Works::Attenuator>()),
    ZEL_FLAG(AttenuatorTune, "0").at(to<&Works::AttenuatorTune>()).range(0, 3, 1),
    // Below 1 the search is off (0).
    ZEL_NUM(SWRescAutoTune, "0").at(to<&Works::SWRescAutoTune>()).per(100).range(1, 10, 0.01),
    ZEL_FLAG(ViewTimeStr, "0").at(to<&Works::ViewTimeStr>()).range(0, 1, 1),
    ZEL_FLAG(ViewTemp, "0").at(to<&Works::ViewTemp>()),
    ZEL_NUM(MaxTemperature, "600").at(to<&Works::MaxTemperature>()).per(10)
        .range(20, kNoLimit, 0.1).upTo("MaxTempAllowed"),
    ZEL_NUM(MaxTemperature2, "800").at(to<&Works::MaxTemperature2>()).per(10)
        .range(20, kNoLimit, 0.1).upTo("MaxTempAllowed"),
    ZEL_FLAG(AutoTuneMaxCicli, "0").at(to<&Works::AutoTuneMaxCicli>()).range(0, 4, 1),
    ZEL_FLAG(PowerUnits, "0").at(to<&Works::PowerUnits>()).range(0, 1, 1),
    ZEL_FLAG(SaveScreenIdx, "0").at(to<&Works::SaveScreenIdx>()).range(0, 4, 1),
    ZEL_FLAG(AutoTuneMode, "0").at(&kAutoTuneBind).range(0, 1, 1),
    ZEL_FLAG(EnableFFT, "0").at(&kSpectrumBind),
    ZEL_NUM(Divide, "0").at(to<&Works::Divide>()).parsedAs(SetupParse::Atoi).wideLine().textInLog(),
    ZEL_NUM(MaxTempAllowed, "60").at(to<&Works::MaxTempAllowed>()),
    ZEL_NUM(PSpar1, "1").at(to<&Works::PSpar1>()),
    ZEL_NUM(PSpar2, "1000").at(to<&Works::PSpar2>()),
    ZEL_FLAG(Isteresi1, "1").at(to<&Works::Isteresi1>()),
    ZEL_FLAG(Isteresi2, "1").at(to<&Works::Isteresi2>()),
    ZEL_NUM(PSpar3, "0").at(to<&Works::PSpar3>()),
    ZEL_NUM(PSpar4, "0").at(to<&Works::PSpar4>()),
    // Tenths in five characters.
    ZEL_NUM(OffsetPlot, "0").at(to<&Works::OffsetPlot>()).per(10).truncating().range(-999.9, 999.9, 0.1),
    ZEL_TEXT(CatSerialPort, "/dev/ttyUSB1"),
    ZEL_NUM(TUNEenabled, "0").at(to<&Works::TUNEenabled>()),
    // The bank indexes the antenna and tune-memory tables.
    ZEL_NUM(NumBanco, "1").at(to<&Works::NumBanco>()).range(0, 19, 1).keepInside(),
    ZEL_NUM(GMpar1, "2").at(to<&Works::GMpar1>()),
    ZEL_NUM(GMpar2, "100").at(to<&Works::GMpar2>()),
    // The meters divide by it plus one.
    ZEL_NUM(Peak_media, "2").at(to<&fattoremedia>()).range(0, kNoLimit, 1).keepInside(),
    ZEL_NUM(Peak_ValDec, "10").at(to<&PeakDecrement>()).per(10),
    ZEL_NUM(Peak_TimeDec, "1").at(to<&PeakDecrementTime>()),
    ZEL_NUM(Peak_Time, "3000").at(to<&TimerPeakSec>()).range(0, 5000, 10),
    ZEL_NUM(MAXbank, "20").at(to<&Works::MAXbank>()).range(2, 20, 1).keepInside(),
    ZEL_NUM(BTN_longpress_Time, "5").at(to<&TIME_LONG_PRESS>()).per(10).range(0.3, 5.0, 0.1),
    ZEL_FLAG(EnableDebug, "0").at(to<&Works::EnableDebug>()),
    ZEL_FLAG(Enable1600, "1").at(&kUsbSpectrumBind),
    ZEL_FLAG(EnableLOGTemp, "0").at(to<&Works::EnableLOGTemp>()),
    ZEL_NUM(AudioBuffers, "20").at(to<&Works::AudioBuffers>()),
};

#undef ZEL_FLAG
#undef ZEL_TEXT
#undef ZEL_NUM

namespace setup_bind {
constexpr bool sameName(const char* a, std::string_view b) { return std::string_view(a) == b; }

// The row of a key; a name no row has makes a compile error where the
// result is needed as a constant.
constexpr const SetupKey& row(std::string_view name, size_t i = 0) {
  return sameName(kSetupKeys[i].name, name) ? kSetupKeys[i] : row(name, i + 1);
}

// What the file can carry: the editor's range in file units fits the
// field's characters, and a number without a field is written whole.
constexpr int digits(double v) {
  int n = v < 0 ? 2 : 1;
  for (double a = v < 0 ? -v : v; a >= 10; a /= 10) n++;
  return n;
}
constexpr bool fits(const SetupKey& k) {
  if (k.cap == 0) return k.wide;
  if (k.kind == SetupKind::Text) return true;
  const int width = k.kind == SetupKind::Flag ? 1 : k.cap - 1;
  if (k.lo > -kNoLimit && digits(k.lo * k.scale) > width) return false;
  if (k.hi < kNoLimit && digits(k.hi * k.scale) > width) return false;
  return true;
}
constexpr bool allFit() {
  for (const SetupKey& k : kSetupKeys)
    if (!fits(k)) return false;
  return true;
}
constexpr bool namesDiffer() {
  for (const SetupKey& a : kSetupKeys)
    for (const SetupKey& b : kSetupKeys)
      if (&a != &b && sameName(a.name, b.name)) return false;
  return true;
}
}  // namespace setup_bind

static_assert(setup_bind::namesDiffer(), "a setup key has two rows");
static_assert(setup_bind::allFit(), "an edited value would not fit its field in setup.txt");

constexpr const SetupKey& setupKey(std::string_view name) { return setup_bind::row(name); }

// The row of a key named at run time; null when there is none.
const SetupKey* findSetupKey(const char* name);
// The value in force in working units, and the editor's way to change it.
double setupValue(const Works* w, const SetupKey& k);
void setSetupValue(Works* w, const SetupKey& k, double v);
// The editor's upper limit: hi, or the value of the key hiKey names.
double setupHigh(const Works* w, const SetupKey& k);
