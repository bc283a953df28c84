#include "remote/remote_dispatch.h"

#include "amp/amp_status.h"

#include <openssl/crypto.h>
#include <syslog.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/remote_config.h"
#include "core/setup.h"
#include "core/works.h"
#include "display/fb.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "radio/zel_link.h"
#include "remote/audio.h"
#include "remote/jpeg_codec.h"
#include "remote/remote_senders.h"
#include "remote/ws_proto.h"

namespace {

const int kScreenEveryMs = 2000;

// Log lines of the station's dispatch go to the system log and stderr.
void qob(const char* type) {
  zlogEchoLimited(LOG_INFO, "QOB, %s", type);
}

// Short-message data, NUL-terminated, as the handlers take it.
struct ShortData {
  char buf[200];
  int n;
  explicit ShortData(const WsFrame& f) {
    memset(buf, 0, sizeof buf);
    n = f.dataLen();
    if (n < 0) n = 0;
    if (n > 199) n = 199;
    memcpy(buf, f.data(), static_cast<size_t>(n));
  }
};

void toRemoteCmd(Works* w, const ShortData& d) {
  memset(w->remoteCmd, 0, sizeof w->remoteCmd);
  memcpy(w->remoteCmd, d.buf, static_cast<size_t>(d.n));
}

bool isType(const uint8_t* p, const char* t) { return p[0] == t[0] && p[1] == t[1]; }

// "FB" chunk into the screen buffer; shows the screen once complete.
void collectScreen(Works* w, LinkState& st, const WsFrame& f) {
  if (w->fb == nullptr) return;
  const uint32_t mem = w->fb->memSize;
  if (st.screen.size() != mem) st.screen.assign(mem, 0);
  uint32_t total = 0;
  int r = wsCollectChunk(st.screen.data(), st.screen.size(), f.b + 6, f.stored - 6, &total);
  if (r < 0) return;
  if (total > mem) {
    if (r == 1) zlogLimited(LOG_ERR, "screen of %u bytes larger than the panel, not shown", total);
    return;
  }
  if (!st.screenChunks.add(total, wsBE32(f.b + 10))) return;
  showRemoteScreen(w, st.screen.data(), total);
}

// The station's access-key check on the first text frame. The link
// thread marks the link connected once it holds the connection slot.
int checkKey(Works* w, LinkState& st, const WsFrame& f) {
  // Neither key reaches the log: a wrong one may be a typo of the right one.
  if (!accessKeyMatches(w, f.b + 6, f.payloadLen)) {
    zlogLimited(LOG_ERR, "access key from %s refused", st.peer.empty() ? "the peer" : st.peer.c_str());
    st.keyRefused = true;
    return -1;
  }
  zlog(LOG_INFO, "access key from %s accepted", st.peer.empty() ? "the peer" : st.peer.c_str());
  st.keyAccepted = true;
  zlogLimited(LOG_INFO, "Receiving data");
  return 0;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int serverFrame(Works* w, LinkState& st, WsFrame& f) {
  if (f.kind == WsKind::BadText) {
    int p = f.code & 0x7F;
    zlogLimited(LOG_ERR, "wrong message length: is %d instead of %d", p, f.readCount - 2);
    return -1;
  }
  if (f.kind == WsKind::ShortText) {
    if (!st.keyAccepted) return checkKey(w, st, f);
    // "XY" touch positions are read; nothing acts on them.
    if (f.payloadLen >= 12 && isType(f.b + 6, "XY")) {
      char x[6] = {}, y[6] = {};
      memcpy(x, f.b + 8, 5);
      memcpy(y, f.b + 13, 5);
      (void)atoi(x);
      (void)atoi(y);
      return 0;
    }
    zlogLimited(LOG_ERR, "wrong message type: %x", f.b[0]);
    return 0;
  }
  if (f.kind == WsKind::LongText || f.kind == WsKind::Oversize) return 0;
  // Nothing reaches the radio's ports, the bank or the reboot before
  // the peer has shown the access key.
  if (!st.keyAccepted) {
    if (!st.loggedEarly) zlogLimited(LOG_ERR, "frames before the access key are ignored");
    st.loggedEarly = true;
    return 0;
  }
  if (f.kind == WsKind::LongBinary) {
    if (f.stored < 6) return 0;
    if (isType(f.b + 4, "SP")) return 0;
    if (isType(f.b + 4, "FB")) {
      qob("FB");
      collectScreen(w, st, f);
      return 0;
    }
    if (isType(f.b + 4, "SO")) return playAudioMessage(w, 's', f.longBody(), f.longBodyLen()) < 0 ? -1 : 0;
    zlogLimited(LOG_ERR, "wrong message type: %x", f.b[0]);
    return 0;
  }
  // Short binary.
  if (f.stored < 4) {
    zlogLimited(LOG_ERR, "wrong message type: %x", f.b[0]);
    return 0;
  }
  const uint8_t* type = f.b + 2;
  if (isType(type, "CA")) {
    qob("CA");
    ShortData d(f);
    if (d.n == 0) return 0;  // an empty text: nothing to write
    ssize_t r = writeCatPort(w, d.buf, static_cast<size_t>(d.n));
    if (r == -2) {
      zlogLimited(LOG_ERR, "CAT port not open, CAT text dropped");
      return 0;
    }
    if (r <= 0) {
      zlogLimited(LOG_ERR, "TCP read Error 7a %d", errno);
      ExitCAT(w);  // the bridge ends when it sees its port closed
      return -1;
    }
    return 0;
  }
  if (isType(type, "ST")) {
    qob("ST");
    toRemoteCmd(w, ShortData(f));
    dispStat(w, st);
    return 0;
  }
  if (isType(type, "SC") || isType(type, "PA")) {
    const bool pa = isType(type, "PA");
    ShortData d(f);
    if (pa) echoLimited("S BUFFER WEB SERVER : %.40s", d.buf);
    qob(pa ? "PA" : "SC");
    int fd = w->serFD.load();
    if (fd < 0) {
      zlogLimited(LOG_ERR, "radio data port not open, %s dropped", pa ? "PA" : "SC");
      return 0;
    }
    if (d.n == 0) return 0;
    if (writeSerialPort(fd, d.buf, static_cast<size_t>(d.n)) <= 0) {
      zlogLimited(LOG_ERR, pa ? "TCP read Error 8a %d" : "TCP read Error 7a %d", errno);
      return -1;
    }
    return 0;
  }
  zlogLimited(LOG_ERR, "wrong message type: %x", f.b[0]);
  return 0;
}

int clientFrame(Works* w, LinkState& st, WsFrame& f) {
  if (f.kind == WsKind::LongText || f.kind == WsKind::Oversize || f.kind == WsKind::BadText) return 0;
  if (f.kind == WsKind::LongBinary) {
    if (f.stored < 6) return 0;
    if (isType(f.b + 4, "SP")) {
      uint32_t total = 0;
      if (wsCollectChunk(st.spectrum, sizeof st.spectrum, f.b + 6, f.stored - 6, &total) == 1) {
        // A longer line (1706 bytes) keeps what fits: the plot reads the first 939.
        int n = total > sizeof st.spectrum ? static_cast<int>(sizeof st.spectrum) : static_cast<int>(total);
        storeFFT(w, n, st.spectrum);
      }
      return 0;
    }
    if (isType(f.b + 4, "FB")) {
      collectScreen(w, st, f);
      return 0;
    }
    if (isType(f.b + 4, "SO")) return playAudioMessage(w, 'c', f.longBody(), f.longBodyLen()) < 0 ? -1 : 0;
    zlogLimited(LOG_ERR, "wrong message type: %x", f.b[0]);
    return 0;
  }
  if (f.kind == WsKind::ShortBinary && f.stored >= 4) {
    const uint8_t* type = f.b + 2;
    if (isType(type, "CA")) {
      ShortData d(f);
      if (d.n > 0) writeCatPort(w, d.buf, static_cast<size_t>(d.n));
      return 0;
    }
    if (isType(type, "ST")) {
      ShortData d(f);
      // A station sends its status text; a command ("MIRKRB" reboots
      // this unit) is run only from a station that proved the key.
      if (!st.stationProven && strncmp(d.buf, "MIRK", 4) == 0) {
        zlogLimited(LOG_ERR, "remote command from the station ignored: the link is not over TLS");
        return 0;
      }
      toRemoteCmd(w, d);
      dispStat(w, st);
      StationStatus s;
      if (decodeStationStatus(d.buf, d.n, &s)) applyStationStatus(w, s);
      return 0;
    }
    if (isType(type, "PA")) {
      ShortData d(f);
      storeParameters(w, d.n, reinterpret_cast<const uint8_t*>(d.buf));
      return 0;
    }
  }
  zlogLimited(LOG_ERR, "wrong message type: %x", f.b[0]);
  return 0;
}

bool fixedNumber(const char* p, int width, float* out) {
  char tmp[16];
  memcpy(tmp, p, static_cast<size_t>(width));
  tmp[width] = '\0';
  char* end = nullptr;
  double v = strtod(tmp, &end);
  if (end == tmp) return false;
  while (*end == ' ') end++;
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = static_cast<float>(v);
  return true;
}

bool digit(char c, int* out) {
  if (c < '0' || c > '9') return false;
  *out = c - '0';
  return true;
}

}  // namespace

int dispatchFrame(Works* w, LinkState& st, WsFrame& f) {
  return st.role == 's' ? serverFrame(w, st, f) : clientFrame(w, st, f);
}

std::atomic<int> rebootDelayMs{4000};

void dispStat(Works* w) {
  LinkState once('s');
  dispStat(w, once);
}

void dispStat(Works* w, LinkState& st) {
  const char* cmd = w->remoteCmd;
  // The station's status comes with every timer cycle: printed when it
  // changes and at most once a second, not a hundred times a second.
  // Commands are always printed.
  StationStatus probe;
  const bool status = decodeStationStatus(cmd, static_cast<int>(strlen(cmd)), &probe);
  auto now = std::chrono::steady_clock::now();
  if (st.lastPrinted != cmd && (!status || now - st.lastStatusPrint >= std::chrono::seconds(1))) {
    echoLimited("BUFFER Wsocket : %.40s", cmd);
    st.lastPrinted = cmd;
    if (status) st.lastStatusPrint = now;
  }
  SetupRec* s = w->setup;
  if (strncmp(cmd, "MIRKBANK", 8) == 0 || strncmp(cmd, "MIRKPA1", 7) == 0) {
    // A panel action: the timer thread applies it with the buttons'.
    PanelEvent ev;
    ev.act = PanelAct::RemoteCmd;
    snprintf(ev.text, sizeof ev.text, "%.15s", cmd);
    w->panelQ.post(ev);
  } else if (strncmp(cmd, "MIRKTU2", 7) == 0) {
    // nothing to do
  } else if (strncmp(cmd, "MIRKFT00", 8) == 0) {
    if (s != nullptr) setRunByte(s->spectrumSource, '0');
  } else if (strncmp(cmd, "MIRKFT01", 8) == 0 || strncmp(cmd, "MIRKFT02", 8) == 0) {
    if (s != nullptr) {
      setRunByte(s->spectrumSource, '1');
      s->Enable1600 = cmd[7] == '2' ? '1' : '0';
    }
    if (w->Divide <= 1) w->Divide = 2;
  } else if (strncmp(cmd, "MIRKFD", 6) == 0) {
    w->Divide = atoi(cmd + 6);
  } else if (strncmp(cmd, "MIRKFB", 6) == 0) {
    // The peer asks for the station's screen: one per request, at most
    // one every kScreenEveryMs, so requests cannot flood the link.
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch()).count();
    if (w->screenSentAtMs != 0 && nowMs - w->screenSentAtMs < kScreenEveryMs) {
      zlogLimited(LOG_INFO, "screen request ignored: one every %d ms", kScreenEveryMs);
    } else {
      w->screenSentAtMs = nowMs;
      sendWebSockFbFrameOf(w);
    }
  } else if (strncmp(cmd, "MIRKRB", 6) == 0) {
    PostTinyCmd(w, 197);
    std::this_thread::sleep_for(std::chrono::milliseconds(rebootDelayMs.load()));
    runCommand("reboot");
  }
}

bool SaveThrottle::request(int64_t now) {
  if (!written || now - lastMs >= kEveryMs) {
    written = true;
    lastMs = now;
    due = false;
    return true;
  }
  due = true;
  return false;
}

bool SaveThrottle::flushDue(int64_t now) {
  if (!due || (written && now - lastMs < kEveryMs)) return false;
  written = true;
  lastMs = now;
  due = false;
  return true;
}

void flushRemoteSaves(Works* w, bool now) {
  SaveThrottle& t = w->remoteSaves;
  if (now && t.due) {
    t.due = false;
    t.written = true;
    t.lastMs = nowMs();
    writeSetup(w);
    return;
  }
  if (t.flushDue(nowMs())) writeSetup(w);
}

bool accessKeyMatches(Works* w, const uint8_t* text, int n) {
  const std::string own = currentAccessKey(w);
  if (own.empty() || n != static_cast<int>(own.size())) return false;
  return CRYPTO_memcmp(text, own.data(), own.size()) == 0;
}

bool decodeStationStatus(const char* t, int n, StationStatus* out) {
  if (t == nullptr || n < 44) return false;
  StationStatus s;
  memcpy(s.band, t, 4);
  s.band[4] = '\0';
  if (!digit(t[4], &s.workMode) || !digit(t[5], &s.attenuator) || !digit(t[6], &s.antenna) ||
      !digit(t[7], &s.ampBypass) || !digit(t[9], &s.tuneRunning))
    return false;
  if (t[8] != 'N' && t[8] != 'B' && t[8] != 'T') return false;
  s.tuner = t[8];
  if (!fixedNumber(t + 10, 6, &s.swr) || !fixedNumber(t + 16, 6, &s.fwd) || !fixedNumber(t + 22, 6, &s.pwrIn) ||
      !fixedNumber(t + 28, 4, &s.temp) || !fixedNumber(t + 32, 4, &s.volts) || !fixedNumber(t + 36, 4, &s.amps))
    return false;
  int b1, b2;
  if (!digit(t[40], &b1) || !digit(t[41], &b2)) return false;
  s.bank = b1 * 10 + b2;
  s.lastError = t[42] == '0' ? -1 : static_cast<uint8_t>(t[42]) - 1;
  *out = s;
  return true;
}

void applyStationStatus(Works* w, const StationStatus& s) {
  // With its own amplifier link running, that link owns these fields.
  if (w->setup == nullptr || runByte(w->setup->EnableLinear) == '1') return;
  w->SWR = s.swr;
  w->FWD = s.fwd;
  w->pwrIn = s.pwrIn;
  // The text carries SWR, not the reflected power: back from the
  // reflection coefficient, |r| = (S - 1) / (S + 1), Pr = Pf |r|^2.
  float refl = 0;
  if (s.swr >= 1.0f && s.fwd > 0) {
    float rho = (s.swr - 1.0f) / (s.swr + 1.0f);
    refl = s.fwd * rho * rho;
  }
  w->pwrRefl = refl;
  // Only the hotter of the two sensors travels.
  w->tempBoard = s.temp;
  w->tempHeatsink = s.temp;
  w->paCurrentRaw = s.amps * 4096.0f / 14.05f;
  w->AmpBypassFlag = static_cast<uint8_t>(s.ampBypass ? 1 : 0);
  w->AtuBypassFlag = static_cast<uint8_t>(s.tuner == 'B' ? 1 : 0);
  // The transmit state itself does not travel: forward power means the
  // station is on the air (the same 0.3 W the SWR reading starts at).
  if (s.fwd > 0.3f)
    w->ampStatus[1] = static_cast<uint8_t>(w->ampStatus[1] | 0x01);
  else
    w->ampStatus[1] = static_cast<uint8_t>(w->ampStatus[1] & ~0x01);
  // This thread stands in for the amplifier link: it publishes the copy
  // the panel reads.
  PublishAmpStatus(w);
}

void clearStationStatus(Works* w) {
  if (w->setup == nullptr || runByte(w->setup->EnableLinear) == '1') return;
  w->SWR = 0;
  w->FWD = 0;
  w->pwrIn = 0;
  w->pwrRefl = 0;
  w->paCurrentRaw = 0;
  w->ampStatus[1] = static_cast<uint8_t>(w->ampStatus[1] & ~0x01);
  PublishAmpStatus(w);
}

void stationLinkLost(Works* w) {
  ZelParam p;
  getParameters(w, &p);
  if (p.txState != 1) return;
  // The data-port thread sends "RX;" with the next command step.
  w->txReqFlags.fetch_and(static_cast<uint8_t>(~0x02));
  w->txReqFlags.fetch_or(0x01);
  // Once per authenticated session at most: never held back.
  zlogEcho(LOG_ERR, "link to the operator lost while transmitting: RX; sent to the radio");
}

int showRemoteScreen(Works* w, const uint8_t* data, uint32_t total) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) return -1;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (total == fb->memSize) {
    memcpy(fb->workBuf, data, fb->memSize);
  } else if (Uncompress(w, data, total) != 0) {
    zlogLimited(LOG_ERR, "screen of %u bytes does not decode, not shown", total);
    return -1;
  }
  // The picture stays: the timer restores the background every cycle.
  memcpy(fb->backBuf, fb->workBuf, fb->memSize);
  fbBackChanged(fb);  // the next restore and copy are whole
  fbRealize(fb);
  return 0;
}
