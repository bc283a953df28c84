// The demo of the simulated station (zelsim --demo): a bank set up for
// the companion radio with automatic tuning, realistic antennas on the
// three outputs, and an operator who turns the dial through the bands and
// now and then keys a carrier.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <vector>

// setup.txt lines the demo adds.
std::vector<std::string> demoSetupLines();
// Writes the demo's antenna table for bank 1 unless one exists.
bool demoPrepareRoot(const std::string& root);

// Runs the operator until quit is set; control sends one control line to
// the station and returns its reply.
void demoRun(const std::function<std::string(const std::string&)>& control, const std::atomic<bool>* quit);
