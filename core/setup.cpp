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
#include "core/setup_keys.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"

namespace {

const char kSetupPath[] = "/opt/set/setup.txt";

char* field(Works* w, const SetupKey& k) { return reinterpret_cast<char*>(w->setup) + k.off; }

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

bool parseNumber(const SetupKey& k, const char* text, int* v) {
  switch (k.parse) {
    case SetupParse::Atoi:
      *v = parseIntClamped(text, INT32_MIN, INT32_MAX);
      return true;
    case SetupParse::Short: {
      short s;
      if (sscanf(text, "%hd", &s) != 1) return false;
      *v = s;
      return true;
    }
    case SetupParse::Leading:
      break;
  }
  return scanInt(text, v);
}

bool inside(const SetupKey& k, int v) {
  const double x = static_cast<double>(v) / k.scale;
  return x >= k.lo && x <= k.hi;
}

// Puts a key's text in force beyond the record: the conversion a read
// value and a default share. False when a number was wanted and the text
// holds none (the value in force stays).
bool apply(Works* w, const SetupKey& k, const char* text) {
  if (k.bind == nullptr) return true;
  if (k.bind->text != nullptr) k.bind->text(w, text);
  if (k.bind->load == nullptr) return true;
  int v = 0;
  if (k.kind == SetupKind::Flag) v = text[0] - '0';
  else if (!parseNumber(k, text, &v)) return false;
  if (!inside(k, v)) {
    if (k.check == SetupCheck::Keep) return true;
    if (k.check == SetupCheck::Fallback) {
      zlog(LOG_ERR, "%s: %d outside %d..%d, %s; %s used", k.name, v, static_cast<int>(k.lo),
           static_cast<int>(k.hi), k.why, k.def);
      parseNumber(k, k.def, &v);
    }
  }
  k.bind->load(w, k, v);
  return true;
}

// Scaled values are saved as integers; rounding keeps 60.3 degrees as 603
// where a plain truncation of the float product could give 602.
int scaled(double v, double by) {
  double r = std::round(v * by);
  return clampToInt(r, INT32_MIN, INT32_MAX);
}

bool saved(const SetupKey& k) { return k.bind != nullptr && k.bind->get != nullptr; }

// The number a key is saved as.
int savedNumber(Works* w, const SetupKey& k) { return scaled(k.bind->get(w), k.scale); }

// The record's text of a key saved from works follows the value in force.
void refresh(Works* w, const SetupKey& k) {
  if (!saved(k) || k.cap == 0) return;
  if (k.kind == SetupKind::Flag) setRunByte(*field(w, k), static_cast<char>(savedNumber(w, k) + '0'));
  else if (k.kind == SetupKind::Number) snprintf(field(w, k), k.cap, "%d", savedNumber(w, k));
}

// The value logged after reading; numbers are shown as they are saved.
void logValue(Works* w, const SetupKey& k) {
  const char* t = field(w, k);
  if (k.kind == SetupKind::Flag) zlog(LOG_INFO, "%s: -%c-", k.name, *t);
  else if (k.kind == SetupKind::Text || !saved(k)) zlog(LOG_INFO, "%s: -%s-", k.name, t);
  else if (k.logsText) zlog(LOG_INFO, "%s: -%s- -%d-", k.name, t, savedNumber(w, k));
  else zlog(LOG_INFO, "%s: -%d-", k.name, savedNumber(w, k));
}

}  // namespace

void setupDefaultsInForce(Works* w) {
  for (const SetupKey& k : kSetupKeys)
    if (saved(k)) apply(w, k, k.def);
}

void initSetup(Works* w) {
  InitGlobalVar(w);
  char* rec = reinterpret_cast<char*>(w->setup);
  memset(rec, 0, sizeof(SetupRec));
  // The key-less run bytes start as '1'.
  memset(rec, '1', 290);
  for (const SetupKey& k : kSetupKeys) {
    if (k.kind == SetupKind::Flag) *field(w, k) = k.def[0];
    else if (k.cap > 0) snprintf(field(w, k), k.cap, "%s", k.def);
  }
  // The defaults go through the same conversions as a read value, so a key
  // whose line is missing runs with the value the log shows and the file
  // saves ("Multiplier" 2 is 480-frame packets, not the record's 240).
  for (const SetupKey& k : kSetupKeys) apply(w, k, k.cap > 0 ? field(w, k) : k.def);
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
    for (const SetupKey& k : kSetupKeys) {
      size_t kl = strlen(k.name);
      if (strncmp(line, k.name, kl) != 0 || line[kl] != ':' || line[kl + 1] != ' ') continue;
      known = true;
      const char* value = line + kl + 2;
      if (k.kind == SetupKind::Flag) {
        // No value, or a "\r" the file could not carry back (the next read
        // strips it from the end of the line): keep the default.
        if (value[0] == '\0' || value[0] == '\r') {
          reportFileProblem(kSetupPath, lineNo, false, std::string(k.name) + ": no value, default kept");
          break;
        }
        setRunByte(*field(w, k), value[0]);
        apply(w, k, value);
      } else if (k.cap == 0) {
        // No field keeps this text for the log: a value that is no number
        // is reported here.
        if (!apply(w, k, value))
          reportFileProblem(kSetupPath, lineNo, false, std::string(k.name) + ": not a number, default kept");
      } else {
        if (strlen(value) >= k.cap)
          reportFileProblem(kSetupPath, lineNo, false,
                            std::string(k.name) + ": value cut to " + std::to_string(k.cap - 1) + " characters");
        // Over-long values are cut to the field.
        char* t = field(w, k);
        snprintf(t, k.cap, "%s", value);
        // A "\r" ending the text would not come back: the next read strips
        // it from the end of the line, and the file would change again.
        size_t len = strlen(t);
        if (len > 0 && t[len - 1] == '\r') {
          while (len > 0 && t[len - 1] == '\r') t[--len] = '\0';
          reportFileProblem(kSetupPath, lineNo, false, std::string(k.name) + ": carriage return at the end dropped");
        }
        apply(w, k, t);
      }
      break;
    }
    if (!known && line[0] != '\0' && line[0] != ';' && fileProblemsWanted())
      reportFileProblem(kSetupPath, lineNo, false, "not a known \"Key: value\" line, ignored");
  }
  fclose(f);
  for (const SetupKey& k : kSetupKeys) logValue(w, k);
}

int writeSetup(Works* w) {
  for (const SetupKey& k : kSetupKeys) refresh(w, k);
  RemountWindow window;
  if (!window.isOpen()) return 0;
  AtomicWriter out(kSetupPath);
  if (!out.ok()) {
    zlog(LOG_ERR, "can't write /opt/set/setup.txt error %d", errno);
    return 0;
  }
  FILE* f = out.file();
  for (const SetupKey& k : kSetupKeys) {
    if (k.kind == SetupKind::Flag) fprintf(f, "%s: %c\n", k.name, runByte(*field(w, k)));
    else if (k.wide) fprintf(f, "%s: %d\n", k.name, savedNumber(w, k));
    else fprintf(f, "%s: %s\n", k.name, field(w, k));
  }
  if (out.commit() != 0) zlog(LOG_ERR, "can't write /opt/set/setup.txt error %d", errno);
  return 0;
}
