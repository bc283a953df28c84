#include "core/name_value_lines.h"

std::string trimBlanks(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

void forEachNameValueLine(const std::string& textIn, size_t maxBytes, size_t lineMax,
                          const std::function<void(int, const std::string&)>& problem,
                          const std::function<void(const NameValueLine&)>& each) {
  const std::string text = textIn.size() > maxBytes ? textIn.substr(0, maxBytes) : textIn;
  if (textIn.size() > maxBytes)
    problem(0, "file longer than " + std::to_string(maxBytes) + " bytes: the rest is ignored");
  size_t at = 0;
  int lineNo = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    lineNo++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > lineMax) {
      problem(lineNo, "line too long, ignored");
      continue;
    }
    line = trimBlanks(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    const size_t gap = line.find_first_of(" \t");
    each({lineNo, line.substr(0, gap), gap == std::string::npos ? "" : trimBlanks(line.substr(gap))});
  }
}
