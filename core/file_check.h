// `zelpyx --check`: every operator file under the root read by the
// program's own readers, each problem they meet reported as FILE:LINE.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

struct FileProblem {
  std::string file;  // absolute path as the program names it
  int line = 0;      // 1-based; 0 for the file as a whole
  bool fatal = false;  // the file would be replaced by defaults at start-up
  std::string text;
};

// Called by the readers. Does nothing unless a FileProblemCollector is
// active on this thread, so the controller's own start-up is unchanged.
void reportFileProblem(const std::string& file, int line, bool fatal, const std::string& text);
bool fileProblemsWanted();

class FileProblemCollector {
 public:
  FileProblemCollector();
  ~FileProblemCollector();
  FileProblemCollector(const FileProblemCollector&) = delete;
  FileProblemCollector& operator=(const FileProblemCollector&) = delete;
  std::vector<FileProblem> problems;

 private:
  FileProblemCollector* prev_;
};

// Files of "name value" lines whose readers are still to come: a line
// needs a name and a value. Give a file its own validator in
// kNameValueFiles (file_check.cpp).
void checkNameValueLines(const std::string& absPath, FILE* f);

// Checks every file; returns the problems found.
std::vector<FileProblem> checkOperatorFiles();
// Prints each problem ("FILE:LINE: error|warning: text") to out; returns
// the exit status: 1 when any file would be replaced by defaults, else 0.
int runFileCheck(FILE* out);
