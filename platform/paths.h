// The one seam between the controller and the machine it runs on.
// On the board ZELPYX_ROOT is unset and every path is used as written.
// On a dev machine or in tests it names a directory: every absolute path
// the system uses resolves under it, and shell commands find stub programs
// in $ZELPYX_ROOT/bin before the real ones.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// The root directory ("" when ZELPYX_ROOT is unset or empty).
std::string zelRoot();

// Maps an absolute system path ("/opt/set/setup.txt") to the file to open.
// Relative paths are returned unchanged.
std::string rootPath(const std::string& absPath);

// Every command has a time-out: 20 s by default, long enough for a remount
// that flushes a slow SD card, short enough that a hung one is given up.
constexpr int kCommandTimeoutMs = 20000;
// Once the program stops (the watched run flag drops to 0), a command
// still running gets this long before it is killed.
constexpr int kCommandStopGraceMs = 2000;
// ... and a command started later than that still gets this long.
constexpr int kCommandAfterStopMs = 500;

// Runs a shell command through /bin/sh -c, with $ZELPYX_ROOT/bin first on
// PATH, in a process group of its own. Returns 0 when the command ran and
// exited 0; otherwise -1 with errno set (EIO for a non-zero exit status,
// ETIMEDOUT when it was killed at its time-out, so callers can log "error
// %d"). timeoutMs 0 takes the default; kCommandNoTimeout is for the
// operator's long jobs (update script, service shell), which still end
// with the program.
constexpr int kCommandNoTimeout = -1;
int runCommand(const std::string& cmd, int timeoutMs = 0);
// Fuzz targets answer runCommand themselves (no process per remount):
// with a hook set, runCommand returns hook(cmd) and runs nothing.
// nullptr restores the real commands.
using CommandHook = int (*)(const std::string& cmd);
void setCommandHook(CommandHook hook);

// A program named by its absolute path, for a command line. Unchanged on
// the board; under a root its rooted copy when there is one, else its bare
// name, so the stub in $ZELPYX_ROOT/bin runs in place of the machine's own.
std::string commandPath(const std::string& absProgram);
// A file argument of a command line: unchanged on the board, the quoted
// rooted path under a root.
std::string shellPath(const std::string& absPath);

// Like runCommand but returns the command's standard output (at most
// maxBytes) in out. Returns the exit status, or -1 when it could not run
// or was killed at its time-out.
int runCommandOutput(const std::string& cmd, std::string& out, size_t maxBytes = 65536, int timeoutMs = 0);

// The default time-out (tests shorten it; 0 or less restores 20 s).
void setCommandTimeoutMs(int ms);
// The program's run flag: when it reads 0, running commands are cut short.
void watchCommandRunFlag(const std::atomic<uint32_t>* running);

// Single-quotes a text (a path) for the shell: 'it'\''s'.
std::string shellQuote(const std::string& s);

// A font file: the rooted path when that file exists, else the real path.
std::string fontPath(const std::string& absPath);

// True when the rooted path exists.
bool pathExists(const std::string& absPath);
