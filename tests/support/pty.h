// Pseudo-terminal pairs standing in for serial ports.
#pragma once
#include <string>

// A pty pair, both ends in raw mode. The test (or simulated peer) uses
// master; the code under test opens slavePath (or a link to it). The slave
// stays open here too, so the master never sees a hang-up when the code
// under test closes and reopens its end.
struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string slavePath;

  PtyPair();  // opens; master < 0 on failure
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Makes linkPath (a real file-system path) a symlink to the slave.
  bool linkAt(const std::string& linkPath) const;
};

// Writes all bytes to fd, cut into pieces at random points (seeded), so
// the reader's framing is exercised. Returns false on a write error.
bool writeSplit(int fd, const std::string& bytes, unsigned seed = 1);
