// The one seam between the controller and the machine it runs on.
// On the board ZELPYX_ROOT is unset and every path is used as written.
// On a dev machine or in tests it names a directory: every absolute path
// the system uses resolves under it, and shell commands find stub programs
// in $ZELPYX_ROOT/bin before the real ones.
#pragma once
#include <string>

// The root directory ("" when ZELPYX_ROOT is unset or empty).
std::string zelRoot();

// Maps an absolute system path ("/opt/set/setup.txt") to the file to open.
// Relative paths are returned unchanged.
std::string rootPath(const std::string& absPath);

// Runs a shell command through /bin/sh -c, with $ZELPYX_ROOT/bin first on
// PATH. Returns 0 when the command ran and exited 0; otherwise -1 with errno
// set (EIO for a non-zero exit status, so callers can log "error %d").
int runCommand(const std::string& cmd);

// A program named by its absolute path, for a command line. Unchanged on
// the board; under a root its rooted copy when there is one, else its bare
// name, so the stub in $ZELPYX_ROOT/bin runs in place of the machine's own.
std::string commandPath(const std::string& absProgram);
// A file argument of a command line: unchanged on the board, the quoted
// rooted path under a root.
std::string shellPath(const std::string& absPath);

// Like runCommand but returns the command's standard output (at most
// maxBytes) in out. Returns the exit status, or -1 when it could not run.
int runCommandOutput(const std::string& cmd, std::string& out, size_t maxBytes = 65536);

// A font file: the rooted path when that file exists, else the real path.
std::string fontPath(const std::string& absPath);

// True when the rooted path exists.
bool pathExists(const std::string& absPath);
