// Amplifier serial link: the Linear thread, its command queue, the frame
// check and the decoding of every reply.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "amp/cmd_queue.h"
#include "amp/crc8.h"

struct Works;


// Current state or command number of the link (Linear thread only).
extern int linearProcessStatus;
// Empty 1 ms polls since the last write; 1500 make a time-out.
extern int counterrortimeout;

constexpr int kLinTimeoutPolls = 1500;
constexpr int kLinRxSize = 500;

// Thread body: owns the amplifier port until running drops to 0.
void Linear(Works* w);
// Queue the amplifier start-up commands.
void InitMicroCmd(Works* w);

// Open and configure "LinPort"; on failure sets failCode/failText.
void OpenLinear(Works* w);
// The configured amplifier port ("LinPort", "/dev/ttyAMA0" when empty).
std::string LinPortPath(Works* w);

// A lost amplifier port (hang-up, I/O error, vanished or replaced device)
// is closed and reopened at this interval until it is back.
constexpr int kLinReopenMs = 1000;

// What the Linear thread knows of its port between polls (Linear only).
struct LinPortWatch {
  std::string path;
  bool lost = false;           // closed, waiting to reopen
  bool openFailLogged = false; // one log line per outage
  bool errRaised = false;      // error 4 was recorded for the outage
  bool awaitStatus = false;    // reopened, no status reply yet
  uint32_t statusAtBack = 0;   // statusReplies when reopened
  int64_t nextTryMs = 0;       // next reopen attempt (monotonic ms)
  int64_t nextCheckMs = 0;     // next check that the path is still our device
};
// The port is dead: close it, record error 4 (once), log once, and plan a
// reopen after kLinReopenMs.
void LinPortLost(Works* w, LinPortWatch* pw, int64_t nowMs, const char* why);
bool LinPortReopenDue(const LinPortWatch* pw, int64_t nowMs);
// Outcome of one reopen attempt (fd < 0: still gone, try again later). A
// port that is back gets the start-up set, then the band's thresholds,
// sent before the polling goes on.
void LinPortReopened(Works* w, LinPortWatch* pw, int fd, int64_t nowMs);
// After a reopen: the first good status reply removes the outage's error 4.
void LinPortStatusSeen(Works* w, LinPortWatch* pw);
// Writes the check characters and then the text; resets counterrortimeout.
// Returns 0 when everything went out, -1 otherwise.
int writeLinearPort(int fd, const char* text, int length, Works* w);
void LastCmdSent(Works* w, char letter1, char letter2, int cmdNo);
// Chooses the next state after a reply; stores it in linearProcessStatus
// and returns it.
int NextCmdPriority(Works* w, int defaultNext);
// A missing, rejected or unreadable reply: resend, or give up and restart from "ST".
void GestRetrayCMD(Works* w);
// Decodes one reply (text after the check characters, count = its length)
// and chooses the next state. Returns the pause in ms the link takes
// before its next step.
int DecodeCatCmd(Works* w, const char* reply, int count);
// Decodes a status ("ST") reply into works (no choice of the next state).
void DecodeStatusReply(Works* w, const char* reply, int count);
// Sends the attenuator text for step as command commandNo, then waits.
void SetAttenuatorCMD(Works* w, int step, int commandNo);
// The 52-character station status text (out holds at least 53 bytes).
void CreaBufferDiStato(Works* w, char* out);

// Builds the text of command cmdNo into out (at least 64 bytes) and
// returns the number of bytes to send, or -1 when cmdNo is no command.
// Side effects of sending are not applied here.
int LinearCmdText(Works* w, int cmdNo, char* out);
// Sends command cmdNo on linFD with its side effects; the next state is
// waiting for the reply (or idle after "MR1;"). A number that is no
// command, or one whose text cannot be built, is skipped and the link
// goes back to "ST". Returns 0 when written.
int SendLinearCmd(Works* w, int cmdNo);

// Receive buffer of the link: bytes gathered until ";".
struct LinRx {
  char buf[kLinRxSize + 1] = {};
  int count = 0;
};
// Adds one byte. Returns 1 when the byte completed a frame (";").
// Restarts the buffer when 500 bytes gathered without ";".
int LinRxByte(LinRx* rx, char c);
// True when the frame's check characters equal the upper-case check value
// of the text behind them.
bool LinFrameCheckOk(const char* frame, int count);
// One received frame handled by the link: check, then decode. A frame that
// fails its check is not trusted: it counts as a missing reply. A frame too
// short to hold a command goes back to waiting. Returns the pause in ms.
int LinHandleFrame(Works* w, const char* frame, int count);
// One step of the waiting state with the outcome of one poll: avail is the
// pending byte count (<= 0: nothing), c the byte read (when readResult is
// 1). Returns the pause in ms before the next step.
int LinWaitStep(Works* w, LinRx* rx, int avail, int readResult, char c);

// Final-stage supply voltage, V (0 until the front-panel reading exists).
float AmpSupplyVolts(Works* w);
