// What each unit does with a received frame, the remote commands carried
// in "ST" payloads, and the station status as the operator unit reads it.
// Everything here runs in the link thread (Wsocket / Wclient).
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "remote/ws_proto.h"

struct Works;

// Per-connection state of the receiving side.
struct LinkState {
  char role = 's';           // 's' station (server), 'c' operator (client)
  bool keyAccepted = false;  // station: the access key matched
  bool keyRefused = false;   // station: a key frame did not match
  // operator: the station proved it has the key (TLS); only then are its
  // remote commands run (a plain server may be anyone who answered)
  bool stationProven = false;
  bool loggedEarly = false;  // station: "before the key" logged once
  std::string peer;          // the peer's address, for the log
  std::vector<uint8_t> screen;  // "FB" collecting buffer (memSize bytes)
  ChunkTally screenChunks;       // which chunks of the screen came
  // The remote command or status text last printed, and when a status
  // text was (they come with every timer cycle of the station)
  std::string lastPrinted;
  std::chrono::steady_clock::time_point lastStatusPrint{};
  uint8_t spectrum[1024] = {};  // operator: "SP" collecting buffer
  explicit LinkState(char r) : role(r) {}
};

// Handles one frame. Returns 0 to go on, -1 to end the connection.
// The station's first short text frame is the access key.
int dispatchFrame(Works* w, LinkState& st, WsFrame& f);

// The remote command (or status text) in remoteCmd; st keeps what the
// connection last printed. The one-argument form prints every text.
void dispStat(Works* w, LinkState& st);
void dispStat(Works* w);

// Remote commands that rewrite an operator file (the bank change saves
// setup.txt) write it at most once a second (SaveThrottle in
// remote_fields.h). Runs the setup write the throttle allows;
// flushRemoteSaves(w, true) writes a waiting change at once (the
// connection ended). Timer thread only: it applies the bank change.
void flushRemoteSaves(Works* w, bool now = false);

// The station's key check: the same time whatever the text (only the
// length, public, ends it early). False when this unit has no key.
bool accessKeyMatches(Works* w, const uint8_t* text, int n);
// Pause between the front panel's reboot notice and "reboot" on
// "MIRKRB" (the fuzz targets shorten it).
extern std::atomic<int> rebootDelayMs;

// The station status text as the operator unit reads it.
struct StationStatus {
  char band[5] = {};
  int workMode = 0;     // 0 generic, 1 companion radio, 2 FT-817
  int attenuator = 0;
  int antenna = 0;      // 0-based
  int ampBypass = 0;    // 1 = amplifier in standby
  char tuner = 'T';     // 'N' no tuner, 'B' bypassed, 'T' in line
  int tuneRunning = 0;
  float swr = 0, fwd = 0, pwrIn = 0, temp = 0, volts = 0, amps = 0;
  int bank = 0;
  int lastError = -1;   // latest error code, -1 none
};
// Decodes the first 44 characters; false when the text is not a status
// text (a remote command, a short or malformed text).
bool decodeStationStatus(const char* text, int n, StationStatus* out);
// Shows the station's values on the operator unit: the measurement and
// status fields the meters, TX box and status bar draw. Only when this
// unit runs no amplifier link of its own (else that link owns them).
void applyStationStatus(Works* w, const StationStatus& s);

// The operator lost the station: the meters go to rest and the TX box
// goes out rather than showing the last values as if they were live.
void clearStationStatus(Works* w);

// The station lost its operator: a transmitting companion radio is sent
// back to receive ("RX;" through the data-port thread's command step).
void stationLinkLost(Works* w);

// Shows a complete screen message: total == memSize is raw pixels, any
// other total a JPEG image. The picture becomes the background as well,
// so it stays on the panel. Returns 0, -1 when it was not shown.
int showRemoteScreen(Works* w, const uint8_t* data, uint32_t total);
