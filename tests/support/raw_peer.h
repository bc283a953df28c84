// A raw remote-link peer for tests: connects from a chosen loop-back
// address, does the handshake and sends the access key, sends frames.
#pragma once
#include <string>

// The RFC 6455 example key the peer offers in its handshake.
extern const char kRawPeerRfcKey[];

struct RawPeer {
  int fd = -1;
  ~RawPeer();
  bool connectFrom(const char* src, int port);
  bool send(const std::string& s);
  // Handshake with the RFC example key and an access key; true when the
  // station answered the handshake (whatever it does with the key).
  bool login(const std::string& key);
  // True once the station closed the connection.
  bool closedWithin(int ms);
};
