#include "tuner/autotune.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/cmd_queue.h"
#include "amp/temperature.h"
#include "core/works.h"
#include "tuner/load_fit.h"
#include "tuner/model_search.h"
#include "tuner/recall.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"

const int SWRTimeoutCICLI[5] = {600, 400, 300, 200, 100};
const char SWRTimeout[5][8] = {"25sec", "20sec", "15sec", "10sec", "5sec"};

static const TuneParam kClearParam = {999.0f, 0, 0, 0, 0};
static const int kLimit = 511;

// tuneFlags bits of the run and of the carrier handshake.
static const uint8_t kTfAutoMode = 0x01;
static const uint8_t kTfRadioRun = 0x02;
static const uint8_t kTfFinished = 0x04;
static const uint8_t kTfReturning = 0x08;
static const uint8_t kTfKeyCarrier = 0x10;
static const uint8_t kTfStartCarrier = 0x20;
static const uint8_t kTfCarrierSent = 0x40;

// A run is started and ended from the key and timer threads while the
// Linear thread steps it: one step, a start and an end never interleave,
// so an aborted run cannot take one more step (or be stored) afterwards.
static std::recursive_mutex runMut;
static std::atomic<int> savesInFlight{0};  // ended runs whose file is not written yet

// A tune-memory save mounts, writes and fsyncs: it is made once the run
// lock is released, so the panel and the keys never wait for the disk.
// Only the holder changes the nesting count, so the one whose count drops
// to zero is the thread that ended the run.
class RunLock {
 public:
  explicit RunLock(Works* w) : w_(w) {
    runMut.lock();
    ++w->tuneSearch.lockDepth;
  }
  ~RunLock() {
    TuneSearch& s = w_->tuneSearch;
    const bool save = --s.lockDepth == 0 && s.saveDue;
    const int bank = s.saveBank, ant = s.saveAnt;
    if (save) s.saveDue = false;
    runMut.unlock();
    if (!save) return;
    SaveTabAtu(w_, bank, ant);
    savesInFlight.fetch_sub(1);
  }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

 private:
  Works* w_;
};

// An SWR of 0.01 or less means no carrier was measured.
static bool hasCarrier(float swr) { return swr > 0.01f; }

// Every reading goes to the model search, a reading without carrier too:
// it ends the model's run.
static void feedModel(TuneSearch& s) {
  if (!s.modelFed) return;
  const TuneParam& t = s.tuneParam;
  int mode = DecodeModoFromTuneval(t.Tuneval) == 2 ? 2 : 1;
  s.modelSearch.addReading(
      MsSetting{mode, DecodeCapacitaFromTuneval(t.Tuneval), DecodeInduttanzaFromTuneval(t.Tuneval)}, t.SWR);
}

void Clr_vTuneParam(Works* w) {
  TuneSearch& s = w->tuneSearch;
  s.tuneParam = kClearParam;
  s.miglioretuneParam = kClearParam;
  for (TuneParam& p : s.vTuneParam) p = kClearParam;
  w->TuneBestSWR = 0;
}

// A reading without carrier ranks after every real measurement, so a
// dropped carrier can never become the setting restored at the end.
static float rankOf(float swr) { return hasCarrier(swr) ? swr : 500.0f; }

void CtrlNuovoTune(Works* w) {
  TuneSearch& s = w->tuneSearch;
  if (rankOf(s.tuneParam.SWR) < rankOf(s.miglioretuneParam.SWR)) s.miglioretuneParam = s.tuneParam;
  for (int i = 9; i > 0; --i) s.vTuneParam[i] = s.vTuneParam[i - 1];
  s.vTuneParam[0] = s.tuneParam;
}

void TuneEnd(Works* w) {
  TuneParam& tuneParam = w->tuneSearch.tuneParam;
  tuneParam = w->tuneSearch.miglioretuneParam;
  w->SWR = tuneParam.SWR;
  w->FWD = tuneParam.FWD;
  w->ValI = tuneParam.L;
  w->ValC = tuneParam.C;
  w->Tuneval = tuneParam.Tuneval;
  w->ModoTune = uint8_t(DecodeModoFromTuneval(w->Tuneval));
  w->TuneBestSWR = tuneParam.SWR;
}

bool TuneSaveInFlight() { return savesInFlight.load() != 0; }

void EscAutoTune(Works* w, int save) {
  RunLock lk(w);
  TuneSearch& s = w->tuneSearch;
  if (s.tuneParam.SWR <= 6.0f) {
    // A run that never saw a carrier has nothing worth remembering, and
    // must not overwrite a stored tuning.
    if (save && hasCarrier(s.tuneParam.SWR)) {
      StoreTuneInRam(w, w->AntennaIdx);
      if (!s.saveDue) savesInFlight.fetch_add(1);
      s.saveDue = true;
      s.saveBank = w->NumBanco;
      s.saveAnt = w->AntennaIdx;
    }
  } else {
    AddErrore(w, 18);
    fprintf(stderr, "------- ERRORE MAX TUNE (%f)\n", double(s.tuneParam.SWR));
  }
  IncPNTIn_CMDLinear(w, CMD_AT);
  s.cnttune = 0;
  if (w->tuneFlags.load() & kTfAutoMode) w->tuneFlags.fetch_or(kTfFinished);
  w->TuneRunState = 0;
  s.modelFed = false;
  s.modelPhase = false;
  s.modelClosing = false;
  // The run opened the input-power threshold: the band's set goes back at
  // once, not at the next frequency change.
  ResendSoglieTS(w);
}

static void takeMeasurement(Works* w) {
  if (w->ampStatus[1] & 0x02) {
    w->SWR = 100;
    w->TuneRunState = 2;
  }
  TuneSearch& s = w->tuneSearch;
  s.tuneParam = TuneParam{w->SWR, w->FWD, w->ValI, w->ValC, w->Tuneval};
  ++s.cnttune;
  CtrlNuovoTune(w);
  feedModel(s);
}

int TuneStep(Works* w) {
  takeMeasurement(w);
  const float swr = w->tuneSearch.tuneParam.SWR;
  if (swr < w->SWRescAutoTune && hasCarrier(swr)) {
    TuneEnd(w);
    EscAutoTune(w, 1);
    return 1;
  }
  return 0;
}

static void setModeBits(Works* w, uint32_t bit) {
  w->Tuneval = (w->Tuneval & ~(kTuneCL | kTuneLC | kTuneBypass)) | bit;
  w->ModoTune = bit == kTuneCL ? 1 : 2;
}

static void setL(Works* w, int v) {
  w->ValI = v;
  SetI(w, v);
}

static void setCap(Works* w, int v) {
  w->ValC = v;
  SetC(w, v);
}

static void applySetting(Works* w, const MsSetting& s) {
  setModeBits(w, s.mode == 2 ? kTuneLC : kTuneCL);
  setCap(w, s.c);
  setL(w, s.l);
}

// The stored tuning for the frequency's segment, as the recall finds it.
static bool recalledSetting(Works* w, MsSetting* out) {
  long f = w->freq.load();
  int first = 0, end = 0;
  int slot = AtuIdxSearch(f, nullptr, nullptr, &first, &end);
  TuneRec rec{};
  LoadTuneValFromTabRam(&rec, slot, w->AntennaIdx, w);
  if (!rec.valid) {
    int best = SearchBestTune(w, slot, first, end, w->AntennaIdx);
    if (best < 0) return false;
    LoadTuneValFromTabRam(&rec, best, w->AntennaIdx, w);
    if (!rec.valid) return false;
  }
  *out = MsSetting{rec.mode == 2 ? 2 : 1, rec.C & 511, rec.L & 511};
  return true;
}

// Where a model run starts: the slot's own stored tuning; else the match of
// the load the antenna's stored slots around it predict; else the nearest
// stored tuning of the segment; else nothing (the load is read first).
static bool modelStart(Works* w, MsSetting* out) {
  const long f = w->freq.load();
  TuneRec own{};
  LoadTuneValFromTabRam(&own, AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr), w->AntennaIdx, w);
  if (!own.valid) {
    TunerModel& tunerModel = w->tuneSearch.tunerModel;
    LoadPrediction p = PredictFromMemory(w, tunerModel, w->AntennaIdx, f);
    if (p.usable) {
      ModelSearch ms;
      ms.begin(&tunerModel, double(f), 0, false);
      *out = ms.opt(p.z);
      fprintf(stderr, "autotune: predicted load %.1f%+.1fj from %d stored slots (spread %.3f) -> %s C%d L%d\n",
              p.z.real(), p.z.imag(), p.samples, p.spread, out->mode == 2 ? "LC" : "CL", out->c, out->l);
      return true;
    }
  }
  return recalledSetting(w, out);
}

// At the start of a run: which search runs, and the model's start. The
// model needs the frequency; without one the table runs alone. The model's
// start word is not sent here: a model run first reads the word in place.
static void chooseSearch(Works* w) {
  TuneSearch& s = w->tuneSearch;
  s.runSearch = tunerConfig.search;
  s.modelFed = false;
  s.modelPhase = false;
  long f = w->freq.load();
  if (s.runSearch == TUNE_SEARCH_TABLE) return;
  if (f <= 0) {
    fprintf(stderr, "autotune: no frequency, table search only\n");
    s.runSearch = TUNE_SEARCH_TABLE;
    return;
  }
  s.tunerModel.build(tunerConfig);
  MsSetting start;
  if (s.runSearch == TUNE_SEARCH_MODEL && modelStart(w, &start)) {
    s.modelSearch.begin(&s.tunerModel, double(f), w->SWRescAutoTune, start);
    s.modelStartWord = start;
  } else {
    s.modelSearch.begin(&s.tunerModel, double(f), w->SWRescAutoTune, false);
    s.modelStartWord = MsSetting{1, 0, 0};
  }
  s.modelFed = true;
}

// The table ended above the target: the model search goes on from the
// table's readings when the run allows it.
static bool startRescue(Works* w) {
  TuneSearch& ts = w->tuneSearch;
  if (ts.runSearch != TUNE_SEARCH_RESCUE || !ts.modelFed) return false;
  float best = ts.miglioretuneParam.SWR;
  float target = w->SWRescAutoTune > 0 ? w->SWRescAutoTune : 1.5f;
  if (!hasCarrier(best) || best <= target) return false;
  ts.modelSearch.rescue();
  MsSetting s;
  if (!ts.modelSearch.next(&s)) return false;
  fprintf(stderr, "autotune: table search ended at SWR %.2f, model search goes on\n", double(best));
  applySetting(w, s);
  ts.modelPhase = true;
  return true;
}

// The run's carrier is on: only the companion radio reports its
// transmission; with any other interface the amplifier's own transmit bit
// says so.
static bool carrierReported(Works* w) {
  return w->ModeWorkIdx.load() == 1 ? w->RadioTx.load() == 1 : (w->ampStatus[1] & 0x01) != 0;
}

// Replies with the carrier reported but no reading before a model run
// takes the reading as it is (and so ends without storing).
static const int kDarkReplies = 3;

// One reply of a model run: the reading goes to the search, and its next
// setting or the end goes out with this reply's "MT1".
static void modelStep(Works* w) {
  TuneSearch& ts = w->tuneSearch;
  takeMeasurement(w);
  if (ts.modelClosing) {
    // The final word was sent with the last reply: now it is stored.
    TuneEnd(w);
    EscAutoTune(w, 1);
    return;
  }
  MsSetting s;
  if (ts.modelSearch.next(&s)) {
    applySetting(w, s);
    return;
  }
  const uint32_t inPlace = ts.tuneParam.Tuneval;
  // Left above the target: the lowest of noisy readings is too often a
  // lucky one, so the fit picks among the settings within noise of it.
  float swr;
  if (ts.modelSearch.settle(&s, &swr)) {
    applySetting(w, s);
    ts.miglioretuneParam = TuneParam{swr, ts.miglioretuneParam.FWD, s.l, s.c, w->Tuneval};
  }
  TuneEnd(w);
  // A result worth storing that is not the word in place goes out first;
  // the tune memory is written once the amplifier holds it. (The rescue
  // keeps the end it always had.)
  if (ts.runSearch == TUNE_SEARCH_MODEL && w->Tuneval != inPlace && ts.tuneParam.SWR <= 6.0f &&
      hasCarrier(ts.tuneParam.SWR)) {
    ts.modelClosing = true;
    return;
  }
  EscAutoTune(w, 1);
}

// A model run's first replies: the first reading with the carrier on is
// the search's first reading, of whatever word is in place (the recall's,
// the reset's); until then the start word waits in the tuner.
static void modelAwaitCarrier(Works* w) {
  TuneSearch& ts = w->tuneSearch;
  const uint32_t word = w->Tuneval;
  const int mode = DecodeModoFromTuneval(word);
  if (carrierReported(w) && (mode == 1 || mode == 2)) {
    if (hasCarrier(w->SWR) || ++ts.darkReplies > kDarkReplies) {
      w->ValC = DecodeCapacitaFromTuneval(word);
      w->ValI = DecodeInduttanzaFromTuneval(word);
      w->ModoTune = uint8_t(mode);
      w->TuneState = 12;
      ts.modelPhase = true;
      modelStep(w);
      return;
    }
  }
  MsSetting inPlace{mode, DecodeCapacitaFromTuneval(word), DecodeInduttanzaFromTuneval(word)};
  if (!(mode == 1 || mode == 2) || !(inPlace == ts.modelStartWord)) applySetting(w, ts.modelStartWord);
}

// The first reply of a model run with a frequency: the set-up of states 0
// to 2 in one, and the reading of this very reply when the carrier is on.
static void modelBegin(Works* w) {
  TuneSearch& s = w->tuneSearch;
  Clr_vTuneParam(w);
  s.cnttune = 0;
  s.darkReplies = 0;
  s.modelClosing = false;
  chooseSearch(w);
  w->TuneState = 2;
  modelAwaitCarrier(w);
}

// The newest measurement is not worse than the one before by more than 0.1.
static bool better(const TuneSearch& s) {
  return double(s.vTuneParam[0].SWR) <= double(s.vTuneParam[1].SWR) + 0.1;
}

void TuneTask(Works* w) {
  RunLock lk(w);
  TuneSearch& s = w->tuneSearch;
  int& cnttune = s.cnttune;
  int& cnttunefine = s.cnttunefine;
  if (w->TuneRunState.load() == 0) return;  // ended by the key or the timer meanwhile
  if (w->cmdQ.urgent.load()) return;
  int idx = w->AutoTuneMaxCicli <= 4 ? w->AutoTuneMaxCicli : 0;
  if (cnttune > SWRTimeoutCICLI[idx]) {
    // The run is over: the best setting goes out with this reply's "MT1".
    TuneEnd(w);
    EscAutoTune(w, 0);
    AddErrore(w, w->SWRescAutoTune == 0 ? 12 : 13);
    AttivaDisattivaProtezione(w, 1);
    return;
  }
  std::atomic<int>& st = w->TuneState;
  switch (st) {
    case 0:
      if (tunerConfig.search == TUNE_SEARCH_MODEL && w->freq.load() > 0) {
        modelBegin(w);
        break;
      }
      ++st;
      break;
    case 1:
      Clr_vTuneParam(w);
      setModeBits(w, kTuneCL);
      setCap(w, 0);
      setL(w, 0);
      ++st;
      cnttune = 0;
      chooseSearch(w);
      break;
    case 2:
      if (s.runSearch == TUNE_SEARCH_MODEL && s.modelFed) {
        modelAwaitCarrier(w);
        break;
      }
      if (carrierReported(w)) {
        usleep(3000);
        ++st;
      }
      break;
    case 3:  // L coarse up
      if (TuneStep(w)) return;
      if (better(s) && w->ValI + 4 < kLimit) {
        setL(w, w->ValI + 4);
      } else {
        ++st;
        cnttunefine = 0;
        if (w->ValI >= 2) setL(w, w->ValI - 1);
      }
      break;
    case 4:  // L fine down
      if (TuneStep(w)) return;
      if (better(s) && w->ValI >= 1 && cnttunefine <= 7) {
        ++cnttunefine;
        setL(w, w->ValI - 1);
      } else {
        ++st;
        setCap(w, w->ValC + 8);
        cnttunefine = 0;
      }
      break;
    case 5:  // C coarse up (CL)
    case 8:  // C coarse up (LC)
      if (TuneStep(w)) return;
      if (better(s) && w->ValC + 8 < kLimit) {
        setCap(w, w->ValC + 8);
      } else {
        ++st;
        cnttunefine = 0;
        if (w->ValC >= 2) setCap(w, w->ValC - 1);
      }
      break;
    case 6:  // C fine down (CL), then over to LC
      if (TuneStep(w)) return;
      if (better(s) && w->ValC >= 1 && cnttunefine <= 15) {
        ++cnttunefine;
        setCap(w, w->ValC - 1);
      } else {
        ++st;
        cnttunefine = 0;
        setModeBits(w, kTuneLC);
        setCap(w, 0);
      }
      break;
    case 7:
      if (TuneStep(w)) return;
      if (w->ValC + 8 < kLimit) setCap(w, w->ValC + 8);
      ++st;
      break;
    case 9: {  // C fine down (LC), then back to the best of both
      if (TuneStep(w)) return;
      bool b = better(s);
      if (b && w->ValC >= 1 && cnttunefine <= 15) {
        ++cnttunefine;
        setCap(w, w->ValC - 1);
      } else {
        ++st;
        cnttunefine = 0;
        TuneEnd(w);
        if (b && w->ValI + 2 < kLimit) setL(w, w->ValI + 2);
      }
      break;
    }
    case 10:  // L up by 2 around the best
      if (TuneStep(w)) return;
      if (better(s) && w->ValI + 2 < kLimit) {
        setL(w, w->ValI + 2);
      } else {
        ++st;
        cnttunefine = 0;
        if (w->ValI >= 2) setL(w, w->ValI - 1);
      }
      break;
    case 11:  // L fine down
      if (TuneStep(w)) return;
      if (better(s) && w->ValI >= 1 && cnttunefine <= 5) {
        ++cnttunefine;
        setL(w, w->ValI - 1);
      } else {
        ++st;
        TuneEnd(w);
      }
      break;
    case 12: {
      if (!s.modelPhase) {
        if (TuneStep(w)) return;
        if (startRescue(w)) break;
        EscAutoTune(w, 1);
        break;
      }
      modelStep(w);
      break;
    }
    default:
      break;
  }
}

int StartAutotune(Works* w) {
  RunLock lk(w);
  if (w->AtuBypassFlag) return 0;
  TuneSearch& s = w->tuneSearch;
  w->TuneState = 0;
  s.modelFed = false;
  s.modelPhase = false;
  s.modelClosing = false;
  s.darkReplies = 0;
  // The preparation goes out as one urgent batch: nothing of another
  // thread's comes between the protection commands.
  OpenInputSoglieTS(w);
  const bool an = (GetAmpStatus(w).ampStatus[0] & 0x01) != 0;
  if (an) {
    w->anState = 0;
    IncPNTIn_CMDLinearUrgent(w, {CMD_MP1, CMD_AT_TUNE, CMD_TS, CMD_CP, CMD_MP0, CMD_AN});
  } else {
    IncPNTIn_CMDLinearUrgent(w, {CMD_MP1, CMD_AT_TUNE, CMD_TS, CMD_CP, CMD_MP0});
  }
  w->AtuBypassFlag = 0;
  w->TuneRunState = 1;
  fprintf(stderr, "--------- START AUTO TUNE (%x) %i\n", w->tuneFlags.load(), w->TuneState.load());
  return 1;
}

void GoTune(Works* w) {
  RunLock lk(w);
  if (w->TUNEenabled & 0x80) return;  // tuner not installed
  if (w->TuneRunState.load() != 0) {
    fprintf(stderr, "esc tune TUNEMENU\n");
    EscAutoTune(w, 0);
    return;
  }
  uint8_t tf = w->tuneFlags.load();
  fprintf(stderr, "c-START TUNE (%x)!!\n", tf);
  if (!(tf & kTfAutoMode) || (tf & kTfReturning)) return;
  int started = StartAutotune(w);
  fprintf(stderr, "b-START TUNE!!\n");
  // The radio's carrier is asked for only when a run will end it.
  if (w->ModeWorkIdx.load() == 1 && started) {
    w->tuneFlags.fetch_and(uint8_t(~kTfCarrierSent));
    w->tuneFlags.fetch_or(kTfKeyCarrier);
    fprintf(stderr, "a-START TUNE!!\n");
  }
}

void TuneCarrierHandshake(Works* w, TuneHandshake* hs) {
  RunLock lk(w);
  if (w->ModeWorkIdx.load() != 1) return;
  uint8_t tf = w->tuneFlags.load();
  if (!(tf & kTfAutoMode)) return;
  bool tx = w->RadioTx.load() == 1;
  if (tx && !(tf & (kTfRadioRun | kTfKeyCarrier))) {
    if (w->txReqFlags.load() == 0 && w->txHoldoff.load() == 0) {
      // A transmission started at the radio starts an autotune.
      if (StartAutotune(w)) {
        w->tuneFlags.fetch_or(kTfRadioRun);
        hs->count = hs->mark = 0;
      }
    } else if (w->txHoldoff.load() > 0) {
      w->txHoldoff.fetch_sub(1);
    }
  } else if (tf & kTfReturning) {
    if (hs->mark == 0) hs->mark = hs->count;
    ++hs->count;
    if (hs->count > hs->mark + 10) {
      w->tuneFlags.fetch_and(uint8_t(~(kTfRadioRun | kTfKeyCarrier | kTfReturning)));
      if (!tx) hs->count = hs->mark = 0;
    }
  } else if ((tf & kTfKeyCarrier) && !tx && !(tf & kTfCarrierSent)) {
    if (QueuedCmdCount(w) == 0) {
      w->tuneFlags.fetch_or(kTfStartCarrier);
      hs->count = hs->mark = 0;
    }
  } else if ((tf & kTfKeyCarrier) && !tx && (tf & kTfCarrierSent)) {
    if (++hs->count > 30) {
      EscAutoTune(w, 0);
      AddErrore(w, 14);
      w->tuneFlags.fetch_and(uint8_t(~(kTfKeyCarrier | kTfCarrierSent)));
    }
  } else if ((tf & kTfKeyCarrier) && tx && !(tf & kTfCarrierSent)) {
    hs->count = hs->mark = 0;
  }
}

void TakeTuneWordFor(Works* w, int cmdNo) {
  WaitSemaforoTuneval(w);
  if (cmdNo == CMD_MT1_MEM) {
    LoadTuneFromMEM(w);
    w->AtuBypassFlag = 0;
  } else if (cmdNo == CMD_MT1_BYPASS) {
    w->Tuneval = (w->Tuneval | kTuneBypass) & ~(kTuneLC | kTuneCL);
    w->AtuBypassFlag = 1;
  } else if (cmdNo == CMD_MT1_RESET) {
    w->Tuneval = kTuneCL;
    w->ValC = 0;
    w->ValI = 0;
    w->AtuBypassFlag = 0;
  }
}
