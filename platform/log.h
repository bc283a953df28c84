// System log. Priority 6 (information) for progress, 3 (error) for failures.
#pragma once
#include <string>
#include <vector>

void zlog(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// zlog, and the same line on standard error (its line feed added when
// the text has none) for the progress a console watcher follows.
void zlogEcho(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Tests record what was logged; the controller never turns this on.
void logCaptureStart();
void logCaptureStop();
std::vector<std::string> logCaptured();
bool logContains(const std::string& text);
