// Amplifier serial link: the Linear thread, its command queue, the frame
// check and the decoding of every reply.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "amp/crc8.h"

struct Works;

// Command numbers placed in the queue (and held in linearProcessStatus).
enum LinearCmd {
  CMD_VSM = 0,
  CMD_ST = 1,
  LIN_WAIT_REPLY = 2,   // internal: waiting for the reply
  LIN_DECODE = 3,       // internal: decode the reply
  CMD_TU1 = 4,
  CMD_TU0 = 5,
  CMD_TU = 6,
  CMD_SA = 7,
  CMD_FM = 8,
  CMD_FA = 9,
  CMD_MT = 10,
  CMD_MT1 = 11,
  CMD_FS = 12,
  CMD_CP = 13,
  CMD_AT = 14,
  CMD_AT_TUNE = 15,
  CMD_AT11 = 16,
  CMD_MP0 = 17,
  CMD_MP1 = 18,
  CMD_AB0 = 19,
  CMD_AB1 = 20,
  CMD_AN = 21,
  CMD_TS = 22,
  CMD_FN = 23,
  CMD_PS = 24,
  CMD_SF = 26,
  CMD_MT1_MEM = 27,     // tune word recalled from the tune memory
  CMD_SF_FILTER = 28,
  CMD_SE = 29,
  CMD_MR1 = 30,
  LIN_IDLE = 31,        // internal: link idle after "MR1;"
  CMD_MR0 = 32,
  CMD_GM = 33,
  CMD_GS_QUERY = 34,
  CMD_GS_SET = 35,
  CMD_ER0 = 36,
  CMD_ER1 = 37,
  CMD_ER2 = 38,
  CMD_MT1_BYPASS = 39,  // tuner bypassed
  CMD_MT1_RESET = 40,   // tuner reset to CL, C = L = 0
};

// Current state or command number of the link (Linear thread only).
extern int linearProcessStatus;
// Empty 1 ms polls since the last write; 1500 make a time-out.
extern int counterrortimeout;

constexpr int kLinTimeoutPolls = 1500;
constexpr int kLinRxSize = 500;

// Thread body: owns the amplifier port until running drops to 0.
void Linear(Works* w);
// Queue an amplifier command number (safe from any thread). A full ring
// (29 waiting) drops the new command with a log line, and so does a
// number that is no command.
void IncPNTIn_CMDLinear(Works* w, int cmd);
// True for the numbers that name a command this link sends.
bool IsLinearCmd(int cmd);
// Takes the oldest queued command; -1 when the queue is empty.
int TakeQueuedCmd(Works* w);
// Number of commands waiting.
int QueuedCmdCount(Works* w);
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
