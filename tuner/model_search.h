// Model-based autotune search: fits the load impedance to the SWR readings
// taken at known settings, jumps to the L-network match of the fitted
// load and polishes with a short compass search. One call per status
// reply, in the Linear thread; nothing here touches works or the wire.
#pragma once
#include <complex>
#include <cstdint>
#include <vector>

#include "tuner/tuner_config.h"

// A network setting: mode 1 CL (capacitor on the transmitter side), 2 LC.
struct MsSetting {
  int mode = 1;
  int c = 0;
  int l = 0;
  bool operator==(const MsSetting& o) const { return mode == o.mode && c == o.c && l == o.l; }
};

// The controller's own model of the bank, built from tuner.txt.
struct TunerModel {
  double cap[512];  // farad of each capacitor value
  double ind[512];  // henry of each inductor value
  double cin = 0, cout = 0, lw = 0, qL = 120, qC = 1500;
  void build(const TunerConfig& cfg);
  // The value whose part is nearest to the one asked for.
  int nearestCap(double farad) const;
  int nearestInd(double henry) const;

 private:
  int capOrder[512], indOrder[512];  // values sorted by their part
};

class ModelSearch {
 public:
  enum State { MS_IDLE, MS_WARM, MS_LOAD, MS_P1, MS_FIT, MS_SETTLE, MS_POLISH, MS_POLISH2, MS_REFIT, MS_POLISH3, MS_END };
  typedef std::complex<double> Z;

  // A model run at f Hz; warm when the first reading is of a recalled word.
  // target 0 = no target: the search runs to the end of its polish.
  void begin(const TunerModel* model, double f, float target, bool warm);
  // A warm run from start (a recalled or predicted word): readings of other
  // settings may come first; start is sent before the load is read.
  void begin(const TunerModel* model, double f, float target, const MsSetting& start);
  // The table search ended above the target: go on from its readings.
  void rescue();
  // One reading of the setting sent last; one of 0.01 or less (no
  // carrier) only marks the end.
  void addReading(const MsSetting& s, float swr);
  // After a reading: the next setting to send, or false when the run ends
  // (the best reading is restored).
  bool next(MsSetting* out);

  // At the end of a run left above the target: of the settings whose
  // readings are within the meter's noise of the best one, the one the fit
  // ranks first, with the mean of its readings. false: keep the best
  // reading (matched, no carrier, or nothing to choose from).
  bool settle(MsSetting* out, float* swr);

  State state() const { return state_; }
  int readings() const { return int(rd_.size()); }

  // Model functions, exposed for tests.
  double gammaOf(const MsSetting& s, Z zLoad) const;
  // The setting with the lowest |gamma| for a load; onlyMode 0 = both networks.
  MsSetting opt(Z zLoad, int onlyMode = 0) const;
  // Load impedances of the fit's minima, lowest cost first (at most 4).
  std::vector<Z> minima();

 private:
  struct Reading {
    MsSetting s;
    double g;
    bool censored;
    // the setting's parts at f, for the fit's inner loop
    double ycG, ycB, zlR, zlX, cinB;
  };
  struct Hyp {
    double yG, yB;    // 1 / Zload
    double zpR, zpX;  // load with the antenna-port stray, as the CL network sees it
  };
  struct Minimum {
    double cost, t, phi;
    Z z;
  };

  Hyp hypOf(double rho, double phi, Z* zOut) const;
  double costOf(const Reading& r, const Hyp& h) const;
  double totalCost(const Hyp& h, const std::vector<int>& use) const;
  void buildGrid();
  const Reading* find(const MsSetting& s) const;
  bool measured(const MsSetting& s) const { return find(s) != nullptr; }
  double bestG(MsSetting* s) const;
  MsSetting probe(int kind, double v) const;
  MsSetting clampSetting(MsSetting s) const;
  double g2Of(const MsSetting& s, Z zLoad) const;
  MsSetting descend(MsSetting s, Z zLoad) const;
  bool startPolish(const MsSetting& centre, State kind, MsSetting* out);
  bool refitNext(MsSetting* out);
  bool polishNext(MsSetting* out);
  bool fitNext(MsSetting* out);
  bool afterPolish(MsSetting* out);

  const TunerModel* m_ = nullptr;
  double w_ = 0;  // angular frequency
  float target_ = 0;
  State state_ = MS_IDLE;
  std::vector<Reading> rd_;
  float lastSwr_ = 0;
  MsSetting start_;  // the warm start's word
  bool startSet_ = false;
  // hypothesis grid: kRho x phi_.size()
  bool grid_ = false;
  std::vector<double> phi_;
  double rhoK_[12];
  std::vector<Hyp> hyp_;
  std::vector<float> cost_;
  std::vector<Z> minimaCache_;
  size_t minimaAt_ = size_t(-1);  // readings the cache was computed from
  int fitPasses_ = 0;
  int ladder_ = 0;
  // compass
  MsSetting centre_, pending_;
  double centreG_ = 2;
  int step_ = 2, lastDir_ = 0, dirIdx_ = 0, polishReads_ = 0, pendingDir_ = -1;
  bool centreKnown_ = false, polish2Done_ = false, settleSent_ = false;
  // refit: the fit's matches tried after the polish left the run unmatched
  MsSetting refitPending_;
  double refitFromG_ = 2;
  int refits_ = 0;
};
