// One station record for a fuzz target, set up once per process in a
// temporary ZELPYX_ROOT (bin/ holds do-nothing stubs), so that file
// readers and writers run on real files; every shell command (remounts,
// network restart, reboot) succeeds at once without running.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct Works;

// The record (created on first use): InitGlobalVar, the built-in setup and
// tables, a screen in memory. Nothing is connected: every port is -1.
Works* fuzzWorks();
// Undoes what one input may leave behind for the next: queued amplifier
// commands, the front-panel mailbox, the remote command text.
void fuzzSettle(Works* w);
// The temporary root directory.
const std::string& fuzzRoot();
// Whole-file helpers on system paths ("/opt/set/setup.txt") under the root.
void fuzzWriteFile(const std::string& absPath, const uint8_t* data, size_t size);
std::string fuzzReadFile(const std::string& absPath);
void fuzzRemoveFile(const std::string& absPath);
// Aborts (so libFuzzer reports the input) with the message on stderr.
[[noreturn]] void fuzzFail(const char* what, const std::string& detail);
