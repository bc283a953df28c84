// Problems the operator files' readers meet, collected for
// `zelpyx --check` (app/file_check.h) and ignored otherwise.
#pragma once
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
