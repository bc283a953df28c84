// Amplifier serial link: the Linear thread, its command queue, the frame
// check and the decoding of every reply.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "amp/cmd_queue.h"
#include "amp/crc8.h"

struct Works;


// Empty 1 ms polls since the last write that make a time-out.
constexpr int kLinTimeoutPolls = 1500;
constexpr int kLinRxSize = 500;

// Thread body: owns the amplifier port until running drops to 0.
void Linear(Works* w);
struct LinearState;
// The same with the state record given (fresh: a link that starts with a
// poll); a test reads it back once the thread has ended.
void RunLinear(Works* w, LinearState* st);
// Queue the amplifier start-up commands.
void InitMicroCmd(Works* w);

// Open and configure "LinPort"; on failure sets failCode/failText. The
// link's state, when given, goes into the log line.
void OpenLinear(Works* w, const LinearState* st = nullptr);
// The configured amplifier port ("LinPort", "/dev/ttyAMA0" when empty).
std::string LinPortPath(Works* w);

// A lost amplifier port (hang-up, I/O error, vanished or replaced device)
// is closed and reopened at this interval until it is back.
constexpr int kLinReopenMs = 1000;

// What the Linear thread knows of its port between polls.
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

// Receive buffer of the link: bytes gathered until ";".
struct LinRx {
  char buf[kLinRxSize + 1] = {};
  int count = 0;
};

// Everything the Linear thread keeps between its steps. The thread makes
// one and hands it to every step; a test makes a fresh one.
struct LinearState {
  int status = CMD_ST;       // state or command number of the link
  int emptyPolls = 0;        // empty 1 ms polls since the last write
  int retryCount = 0;        // resends of the command in flight
  char lastCmdCode[2] = {};  // letters and number of the command in flight
  int lastCmdNo = 0;
  LinRx rx;
  LinPortWatch port;
};

// The port is dead: close it, record error 4 (once), log once, and plan a
// reopen after kLinReopenMs.
void LinPortLost(Works* w, LinearState* st, int64_t nowMs, const char* why);
bool LinPortReopenDue(const LinearState* st, int64_t nowMs);
// Outcome of one reopen attempt (fd < 0: still gone, try again later). A
// port that is back gets the start-up set, then the band's thresholds,
// sent before the polling goes on.
void LinPortReopened(Works* w, LinearState* st, int fd, int64_t nowMs);
// After a reopen: the first good status reply removes the outage's error 4.
void LinPortStatusSeen(Works* w, LinearState* st);
// Writes the check characters and then the text; restarts the time-out
// count. Returns 0 when everything went out, -1 otherwise.
int writeLinearPort(int fd, const char* text, int length, LinearState* st);
void LastCmdSent(LinearState* st, char letter1, char letter2, int cmdNo);
// Chooses the next state after a reply; stores it in st->status and
// returns it.
int NextCmdPriority(Works* w, LinearState* st, int defaultNext);
// A missing, rejected or unreadable reply: resend, or give up and restart from "ST".
void GestRetrayCMD(Works* w, LinearState* st);
// Decodes one reply (text after the check characters, count = its length)
// and chooses the next state. Returns the pause in ms the link takes
// before its next step.
int DecodeCatCmd(Works* w, LinearState* st, const char* reply, int count);
// Decodes a status ("ST") reply into works (no choice of the next state).
void DecodeStatusReply(Works* w, const char* reply, int count);
// Sends the attenuator text for step as command commandNo, then waits.
void SetAttenuatorCMD(Works* w, LinearState* st, int step, int commandNo);
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
int SendLinearCmd(Works* w, LinearState* st, int cmdNo);
// Adds one byte. Returns 1 when the byte completed a frame (";").
// Restarts the buffer when 500 bytes gathered without ";".
int LinRxByte(LinRx* rx, char c);
// True when the frame's check characters equal the upper-case check value
// of the text behind them.
bool LinFrameCheckOk(const char* frame, int count);
// One received frame handled by the link: check, then decode. A frame that
// fails its check is not trusted: it counts as a missing reply. A frame too
// short to hold a command goes back to waiting. Returns the pause in ms.
int LinHandleFrame(Works* w, LinearState* st, const char* frame, int count);
// One step of the waiting state with the outcome of one poll: avail is the
// pending byte count (<= 0: nothing), c the byte read (when readResult is
// 1). The bytes gather in st->rx. Returns the pause in ms before the next
// step.
int LinWaitStep(Works* w, LinearState* st, int avail, int readResult, char c);

// Final-stage supply voltage, V (0 until the front-panel reading exists).
float AmpSupplyVolts(Works* w);
