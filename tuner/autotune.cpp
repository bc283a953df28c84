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

TuneParam tuneParam;
TuneParam miglioretuneParam;
TuneParam vTuneParam[10];
int cnttune = 0;
int cnttunefine = 0;

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

// A tune-memory save mounts, writes and fsyncs: it is made once the run
// lock is released, so the panel and the keys never wait for the disk.
// Runs end with a save on the Linear thread only (a reply's step).
struct PendingSave {
  bool due = false;
  Works* works = nullptr;
  int bank = 0, ant = 0;
};
static thread_local PendingSave pendingSave;
static thread_local int runDepth = 0;
static std::atomic<int> savesInFlight{0};  // ended runs whose file is not written yet

class RunLock {
 public:
  RunLock() {
    runMut.lock();
    ++runDepth;
  }
  ~RunLock() {
    const bool outermost = --runDepth == 0;
    runMut.unlock();
    if (!outermost || !pendingSave.due) return;
    PendingSave p = pendingSave;
    pendingSave.due = false;
    SaveTabAtu(p.works, p.bank, p.ant);
    savesInFlight.fetch_sub(1);
  }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
};

// An SWR of 0.01 or less means no carrier was measured.
static bool hasCarrier(float swr) { return swr > 0.01f; }

// The model search runs in the last state (12), after the table's end or
// straight after the start; like the table's globals it is used by the
// Linear thread only.
static bool modelPhase = false;            // state 12 steps the model search
static ModelSearch modelSearch;
static TunerModel tunerModel;
static int runSearch = TUNE_SEARCH_TABLE;  // the search of the run under way
static bool modelFed = false;              // the model search sees this run's readings
static MsSetting modelStartWord;           // sent when the word in place cannot be read
// The model run ended on a setting other than the one in place: that word
// goes out first, and the run ends (and stores it) at the next reply.
static bool modelClosing = false;

// Every reading goes to the model search, a reading without carrier too:
// it ends the model's run.
static void feedModel() {
  if (!modelFed) return;
  int mode = DecodeModoFromTuneval(tuneParam.Tuneval) == 2 ? 2 : 1;
  modelSearch.addReading(MsSetting{mode, DecodeCapacitaFromTuneval(tuneParam.Tuneval),
                                   DecodeInduttanzaFromTuneval(tuneParam.Tuneval)},
                         tuneParam.SWR);
}

void Clr_vTuneParam(Works* w) {
  tuneParam = kClearParam;
  miglioretuneParam = kClearParam;
  for (TuneParam& p : vTuneParam) p = kClearParam;
  w->TuneBestSWR = 0;
}

// A reading without carrier ranks after every real measurement, so a
// dropped carrier can never become the setting restored at the end.
static float rankOf(float swr) { return hasCarrier(swr) ? swr : 500.0f; }

void CtrlNuovoTune(Works* w) {
  (void)w;
  if (rankOf(tuneParam.SWR) < rankOf(miglioretuneParam.SWR)) miglioretuneParam = tuneParam;
  for (int i = 9; i > 0; --i) vTuneParam[i] = vTuneParam[i - 1];
  vTuneParam[0] = tuneParam;
}

void TuneEnd(Works* w) {
  tuneParam = miglioretuneParam;
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
  RunLock lk;
  if (tuneParam.SWR <= 6.0f) {
    // A run that never saw a carrier has nothing worth remembering, and
    // must not overwrite a stored tuning.
    if (save && hasCarrier(tuneParam.SWR)) {
      StoreTuneInRam(w, w->AntennaIdx);
      if (!pendingSave.due) savesInFlight.fetch_add(1);
      pendingSave = PendingSave{true, w, w->NumBanco, w->AntennaIdx};
    }
  } else {
    AddErrore(w, 18);
    fprintf(stderr, "------- ERRORE MAX TUNE (%f)\n", double(tuneParam.SWR));
  }
  IncPNTIn_CMDLinear(w, CMD_AT);
  cnttune = 0;
  if (w->tuneFlags.load() & kTfAutoMode) w->tuneFlags.fetch_or(kTfFinished);
  w->TuneRunState = 0;
  modelFed = false;
  modelPhase = false;
  modelClosing = false;
  // The run opened the input-power threshold: the band's set goes back at
  // once, not at the next frequency change.
  ResendSoglieTS(w);
}

static void takeMeasurement(Works* w) {
  if (w->ampStatus[1] & 0x02) {
    w->SWR = 100;
    w->TuneRunState = 2;
  }
  tuneParam = TuneParam{w->SWR, w->FWD, w->ValI, w->ValC, w->Tuneval};
  ++cnttune;
  CtrlNuovoTune(w);
  feedModel();
}

int TuneStep(Works* w) {
  takeMeasurement(w);
  if (tuneParam.SWR < w->SWRescAutoTune && hasCarrier(tuneParam.SWR)) {
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
  runSearch = tunerConfig.search;
  modelFed = false;
  modelPhase = false;
  long f = w->freq.load();
  if (runSearch == TUNE_SEARCH_TABLE) return;
  if (f <= 0) {
    fprintf(stderr, "autotune: no frequency, table search only\n");
    runSearch = TUNE_SEARCH_TABLE;
    return;
  }
  tunerModel.build(tunerConfig);
  MsSetting start;
  if (runSearch == TUNE_SEARCH_MODEL && modelStart(w, &start)) {
    modelSearch.begin(&tunerModel, double(f), w->SWRescAutoTune, start);
    modelStartWord = start;
  } else {
    modelSearch.begin(&tunerModel, double(f), w->SWRescAutoTune, false);
    modelStartWord = MsSetting{1, 0, 0};
  }
  modelFed = true;
}

// The table ended above the target: the model search goes on from the
// table's readings when the run allows it.
static bool startRescue(Works* w) {
  if (runSearch != TUNE_SEARCH_RESCUE || !modelFed) return false;
  float best = miglioretuneParam.SWR;
  float target = w->SWRescAutoTune > 0 ? w->SWRescAutoTune : 1.5f;
  if (!hasCarrier(best) || best <= target) return false;
  modelSearch.rescue();
  MsSetting s;
  if (!modelSearch.next(&s)) return false;
  fprintf(stderr, "autotune: table search ended at SWR %.2f, model search goes on\n", double(best));
  applySetting(w, s);
  modelPhase = true;
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
static int darkReplies = 0;

// One reply of a model run: the reading goes to the search, and its next
// setting or the end goes out with this reply's "MT1".
static void modelStep(Works* w) {
  takeMeasurement(w);
  if (modelClosing) {
    // The final word was sent with the last reply: now it is stored.
    TuneEnd(w);
    EscAutoTune(w, 1);
    return;
  }
  MsSetting s;
  if (modelSearch.next(&s)) {
    applySetting(w, s);
    return;
  }
  const uint32_t inPlace = tuneParam.Tuneval;
  // Left above the target: the lowest of noisy readings is too often a
  // lucky one, so the fit picks among the settings within noise of it.
  float swr;
  if (modelSearch.settle(&s, &swr)) {
    applySetting(w, s);
    miglioretuneParam = TuneParam{swr, miglioretuneParam.FWD, s.l, s.c, w->Tuneval};
  }
  TuneEnd(w);
  // A result worth storing that is not the word in place goes out first;
  // the tune memory is written once the amplifier holds it. (The rescue
  // keeps the end it always had.)
  if (runSearch == TUNE_SEARCH_MODEL && w->Tuneval != inPlace && tuneParam.SWR <= 6.0f &&
      hasCarrier(tuneParam.SWR)) {
    modelClosing = true;
    return;
  }
  EscAutoTune(w, 1);
}

// A model run's first replies: the first reading with the carrier on is
// the search's first reading, of whatever word is in place (the recall's,
// the reset's); until then the start word waits in the tuner.
static void modelAwaitCarrier(Works* w) {
  const uint32_t word = w->Tuneval;
  const int mode = DecodeModoFromTuneval(word);
  if (carrierReported(w) && (mode == 1 || mode == 2)) {
    if (hasCarrier(w->SWR) || ++darkReplies > kDarkReplies) {
      w->ValC = DecodeCapacitaFromTuneval(word);
      w->ValI = DecodeInduttanzaFromTuneval(word);
      w->ModoTune = uint8_t(mode);
      w->TuneState = 12;
      modelPhase = true;
      modelStep(w);
      return;
    }
  }
  MsSetting inPlace{mode, DecodeCapacitaFromTuneval(word), DecodeInduttanzaFromTuneval(word)};
  if (!(mode == 1 || mode == 2) || !(inPlace == modelStartWord)) applySetting(w, modelStartWord);
}

// The first reply of a model run with a frequency: the set-up of states 0
// to 2 in one, and the reading of this very reply when the carrier is on.
static void modelBegin(Works* w) {
  Clr_vTuneParam(w);
  cnttune = 0;
  darkReplies = 0;
  modelClosing = false;
  chooseSearch(w);
  w->TuneState = 2;
  modelAwaitCarrier(w);
}

// The newest measurement is not worse than the one before by more than 0.1.
static bool better() {
  return double(vTuneParam[0].SWR) <= double(vTuneParam[1].SWR) + 0.1;
}

void TuneTask(Works* w) {
  RunLock lk;
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
      if (runSearch == TUNE_SEARCH_MODEL && modelFed) {
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
      if (better() && w->ValI + 4 < kLimit) {
        setL(w, w->ValI + 4);
      } else {
        ++st;
        cnttunefine = 0;
        if (w->ValI >= 2) setL(w, w->ValI - 1);
      }
      break;
    case 4:  // L fine down
      if (TuneStep(w)) return;
      if (better() && w->ValI >= 1 && cnttunefine <= 7) {
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
      if (better() && w->ValC + 8 < kLimit) {
        setCap(w, w->ValC + 8);
      } else {
        ++st;
        cnttunefine = 0;
        if (w->ValC >= 2) setCap(w, w->ValC - 1);
      }
      break;
    case 6:  // C fine down (CL), then over to LC
      if (TuneStep(w)) return;
      if (better() && w->ValC >= 1 && cnttunefine <= 15) {
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
      bool b = better();
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
      if (better() && w->ValI + 2 < kLimit) {
        setL(w, w->ValI + 2);
      } else {
        ++st;
        cnttunefine = 0;
        if (w->ValI >= 2) setL(w, w->ValI - 1);
      }
      break;
    case 11:  // L fine down
      if (TuneStep(w)) return;
      if (better() && w->ValI >= 1 && cnttunefine <= 5) {
        ++cnttunefine;
        setL(w, w->ValI - 1);
      } else {
        ++st;
        TuneEnd(w);
      }
      break;
    case 12: {
      if (!modelPhase) {
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
  RunLock lk;
  if (w->AtuBypassFlag) return 0;
  w->TuneState = 0;
  modelFed = false;
  modelPhase = false;
  modelClosing = false;
  darkReplies = 0;
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
  RunLock lk;
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
  RunLock lk;
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
