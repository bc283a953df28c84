// What an antenna's stored tunings say about a frequency nobody tuned yet.
// Each stored setting matches one load exactly (the network run backwards
// from 50 ohm); a local fit of those loads against frequency predicts the
// load, and so the match, at a slot in between. Plain functions: the
// caller gives the model and the table.
#pragma once
#include <complex>
#include <vector>

#include "tuner/model_search.h"

struct Works;

typedef std::complex<double> LoadZ;

struct LoadSample {
  double f;  // Hz
  LoadZ z;   // ohm
};

// The load that setting s matches perfectly at f, through the model's
// parts, strays and losses. false when no passive load does.
bool ImpliedLoad(const TunerModel& m, double f, const MsSetting& s, LoadZ* z);

struct LoadPrediction {
  bool usable = false;  // worth a first reading at the start of a run
  bool good = false;    // trusted enough to set the tuner without a carrier
  LoadZ z{50, 0};
  int samples = 0;       // stored slots the fit used
  double fLo = 0, fHi = 0;  // the samples' frequency range
  double spread = 1;     // worst leave-one-out miss of the fit, as |delta gamma|
};

// Samples farther than this share of the frequency take no part.
constexpr double kLoadFitWindow = 0.08;
// A fit may reach this share of the samples' span beyond its ends.
constexpr double kLoadFitReach = 0.25;
// A fit is good when every sample left out is predicted within this
// reflection distance (|delta gamma| 0.2 is the edge of an SWR 1.5 circle).
constexpr double kLoadFitGoodSpread = 0.12;

// The load at f from samples (any order).
LoadPrediction PredictLoad(const std::vector<LoadSample>& samples, double f);

// The prediction for antenna ant at f from its tune memory, the stored
// slot of f itself excluded (the caller recalls that one as it is).
LoadPrediction PredictFromMemory(Works* w, const TunerModel& m, int ant, long f);

// The frequency-change road's prediction, for the model search only: true
// when antenna ant has no tuning stored in f's slot and the fit of its
// stored slots around f is good; out is the match of the predicted load.
// Without out only the decision is made (no optimum computed).
bool PredictedTuning(Works* w, int ant, long f, MsSetting* out);
