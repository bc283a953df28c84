#include "core/file_problems.h"

namespace {
thread_local FileProblemCollector* t_collector = nullptr;
}  // namespace

void reportFileProblem(const std::string& file, int line, bool fatal, const std::string& text) {
  if (t_collector == nullptr) return;
  // A hostile file may hold millions of bad lines: a bounded report.
  if (t_collector->problems.size() >= 1000) return;
  t_collector->problems.push_back(FileProblem{file, line, fatal, text});
}

bool fileProblemsWanted() { return t_collector != nullptr; }

FileProblemCollector::FileProblemCollector() : prev_(t_collector) { t_collector = this; }
FileProblemCollector::~FileProblemCollector() { t_collector = prev_; }
