// Operator files of "name value" lines (remote.txt, web.txt): the one
// splitter their readers share, bounded for a hostile file.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

struct NameValueLine {
  int line;           // 1-based
  std::string name;   // up to the first blank
  std::string value;  // the rest, without its outer blanks ("" when none)
};

// Hands each line of text that carries a name to each, in file order. At
// most maxBytes are read (a longer text is reported at line 0); a carriage
// return before the newline is dropped; blank lines and comments (';' or
// '#') are skipped; a line over lineMax is reported and skipped.
// problem(line, text) gets each report, in line order with each's own.
void forEachNameValueLine(const std::string& text, size_t maxBytes, size_t lineMax,
                          const std::function<void(int, const std::string&)>& problem,
                          const std::function<void(const NameValueLine&)>& each);

// s without its leading and trailing blanks and tabs.
std::string trimBlanks(const std::string& s);
