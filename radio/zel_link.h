// Companion-radio links: the data port (Serial) that streams parameter
// blocks and spectrum lines, and the text CAT port (Cat) bridged to the
// remote peer.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

struct Works;

// Decoded parameter record of the companion radio, guarded by serMut.
// 52 signed 32-bit fields; the layout travels raw to the remote peer, so
// the order and size are fixed. Level fields: positive = on at that
// level, negative = off with the last level remembered.
struct ZelParam {
  int32_t b0Bit6;
  int32_t vfoBActive;    // 1 = VFO B is the operating VFO
  int32_t vfoBReported;  // 1 = this block's frequency and mode are VFO B's
  int32_t freq;          // operating frequency, Hz
  int32_t freqReported;
  int32_t freqA;
  int32_t freqB;
  int32_t freqAlt;
  int32_t freqPrev;
  int32_t freqLast;
  int32_t txState;  // 1 while the radio transmits
  int32_t b9Bit5;
  int32_t b9Bit4;
  int32_t mode;  // mode of the operating VFO
  int32_t modeReported;
  int32_t modeA;
  int32_t modeB;
  int32_t volumeSel;  // which volume byte 22 carries: 0 main, 1 aux, 2/3 side
  int32_t b10Bit3;
  int32_t b10Bit2;
  int32_t b10Bit1;
  int32_t reserved22;
  int32_t b10Bit0;
  int32_t Squelch;
  int32_t b12Bit2;
  int32_t b13Level;
  int32_t b12Level2;
  int32_t b12Level4;
  int32_t comboIndex;
  int32_t Nr;
  int32_t Nb;
  int32_t b13Bit5;
  int32_t b13Bit4;
  int32_t index16;
  int32_t index17;
  int32_t index18;
  int32_t index19a;
  int32_t index19b;
  int32_t Att;
  int32_t Lp;
  int32_t An;
  int32_t b20Bit0;
  int32_t Volume;
  int32_t VolumeAux;
  int32_t VolumeSide;
  int32_t pitch;    // Hz
  int32_t level21;
  int32_t offset;   // Hz, signed
  int32_t radioAn;  // the radio's AN setting, copied to the amplifier
  int32_t b11Bit4;
  int32_t altFreqFlag;
  int32_t b0Bits23;
};
static_assert(sizeof(ZelParam) == 208, "ZelParam is 208 bytes");

// 1 while the Cat thread holds the CAT port open.
extern std::atomic<int> status_cat;
// How long the CAT probe waits for each byte of the "DT001;" reply, ms.
extern std::atomic<int> verifyCatReplyMs;

// Thread bodies.
void Serial(Works* w);
void Cat(Works* w);

// Closes the CAT port (whoever opened it), marks the remote side
// faulty, switches "EnableCAT" off and raises error 20. Safe to call from
// the remote link while the Cat thread runs.
void ExitCAT(Works* w);

// Writes all bytes, retrying short writes; gives up on a port that accepts
// nothing for a few seconds. Returns bytes written or -1.
ssize_t writeSerialPort(int fd, const void* data, size_t length);

// Writes the peer's CAT text to the CAT port, never while ExitCAT is
// closing it. Returns bytes written, -1 on failure, -2 when the port is
// not open.
ssize_t writeCatPort(Works* w, const void* data, size_t length);

// Reads exactly count bytes from serFD. Returns count, or -1 when the data
// port thread is being stopped (zelRun or running cleared) meanwhile.
int readSerialPort(Works* w, uint8_t* buf, int count);

// Reads the subtype and the four length bytes of a message header.
// Returns 0, or -1 when the thread is being stopped.
int decodeCmdParameters(Works* w, uint8_t* lenBuf, uint8_t* subBuf, int* length);

// Four length bytes (0x30 + hex digit, least significant first) to a body
// length; 2000 or more is reported and clamped to 1999.
int decodeLengthDigits(const uint8_t digits[4]);

// Decodes a parameter block into ZelParam under serMut. Also the sink of
// "PA" frames received from the peer.
void storeParameters(Works* w, int length, const uint8_t* block);

// Copies ZelParam under serMut.
void getParameters(Works* w, ZelParam* out);

// Converts bytes 85..938 of a spectrum line to dB levels and stores them
// for the plot under serMut. Also the sink of received "SP" frames.
void storeFFT(Works* w, int length, const uint8_t* line);

// Copies the plot's spectrum levels (kSpectrumPoints floats) under serMut.
void getSpectrumLevels(Works* w, float* out);

// Start index of the rotated spectrum line for the radio's mode, pitch and
// offset (one bin per 187.5 Hz); always within 0..1023.
int spectrumStartIndex(int mode, int pitch, int offset);
// out[i] = body[(k + i) % 1024] for i < 1024.
void rotateSpectrum(const uint8_t* body, int k, uint8_t* out);

// After each message from the radio: sends "RX;" or "TU120;TX2;" for the
// tune handshake bits of tuneFlags and the request in txReqFlags.
void zelCommandStep(Works* w);

// Reader state of the data port; survives between rounds.
struct ZelReader {
  int state = 0;  // 0 header, 1 body
  int type = 0xFF;
  int subtype = 0xFF;
  int length = 0;
  int silence = 0;  // empty polls in state 0
  uint8_t lenDigits[4] = {};
};
// One round of the reader: waits for, or handles, one header or one body.
void zelReaderStep(Works* w, ZelReader& r);

// Finds the companion radio's CAT port among "/dev/MIRKCAT*" by its answer
// to "DT;" and stores it in catFD. Returns 0 or -1.
int VerifyCAT(Works* w);
// The probe's answer, collected one byte at a time: it ends at ";" or
// after six bytes, so the whole "DT001;" is taken off the port and its ";"
// is not later bridged to the peer as a text of its own.
struct CatProbe {
  char buf[7] = {};
  int got = 0;
};
// Adds one byte; true when the answer is complete.
bool catProbeByte(CatProbe& p, uint8_t b);
// True for an answer that starts with "DT001".
bool catProbeAnswerOk(const CatProbe& p);

// Readiness of remote operation: 0 ready, 1 radio not on USB, 2 CAT port
// not found, 3 USB audio codec missing.
int Find_Remote_Settings(Works* w);
// The same after the USB check has found the radio.
int remoteSettingsAfterUsb(Works* w);
// Number of USB audio codecs of the radio (0d8c:01af).
int VerifyAudioZEL(Works* w);
// Number of USB devices of the codec maker (0d8c).
int Get_AudioZEL(Works* w);

// Collects CAT text up to its ";"; a text of 200 bytes without one is
// dropped.
struct CatCollector {
  char buf[201] = {};
  int n = 0;
};
// Adds one byte; returns true with the complete text in out.
bool catCollectByte(CatCollector& c, uint8_t b, std::string& out);

// Every frame the radio links hand to the remote link also goes to this
// tap when one is set (diagnostics and tests). type is "PA", "SP" or "CA".
using RadioFrameTap = std::function<void(const char* type, const uint8_t* data, int length)>;
void setRadioFrameTap(RadioFrameTap tap);
void radioTapFrame(const char* type, const uint8_t* data, int length);
