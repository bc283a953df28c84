#include "tuner/conf_lines.h"

bool ReadConfLine(FILE* f, std::string& line, bool* tooLong) {
  line.clear();
  *tooLong = false;
  int c;
  bool any = false;
  while ((c = fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < 511) line.push_back(char(c)); else *tooLong = true;
  }
  if (!any) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}
