#include "tuner/load_fit.h"

#include <algorithm>
#include <cmath>

#include "core/works.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kZ0 = 50.0;
// Stored slots taken on each side of the frequency.
const int kPerSide = 3;

LoadZ invZ(LoadZ z) {
  double d = std::norm(z);
  if (!(d > 1e-300)) return LoadZ(1e150, 0);
  return std::conj(z) / d;
}

LoadZ gammaOfZ(LoadZ z) { return (z - kZ0) / (z + kZ0); }

// Least squares of v against powers of x up to deg (at most 2); returns the
// value at x = 0.
bool polyAtZero(const std::vector<double>& x, const std::vector<double>& v, int deg, double* out) {
  const int k = deg + 1;
  double a[3][4] = {};
  for (size_t i = 0; i < x.size(); ++i) {
    double p[3] = {1, x[i], x[i] * x[i]};
    for (int r = 0; r < k; ++r) {
      for (int c = 0; c < k; ++c) a[r][c] += p[r] * p[c];
      a[r][k] += p[r] * v[i];
    }
  }
  // Gauss-Jordan with partial pivoting on a 3 x 3 at most.
  for (int c = 0; c < k; ++c) {
    int piv = c;
    for (int r = c + 1; r < k; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[piv][c])) piv = r;
    if (!(std::fabs(a[piv][c]) > 1e-300)) return false;
    for (int j = 0; j <= k; ++j) std::swap(a[c][j], a[piv][j]);
    for (int r = 0; r < k; ++r) {
      if (r == c) continue;
      double m = a[r][c] / a[c][c];
      for (int j = c; j <= k; ++j) a[r][j] -= m * a[c][j];
    }
  }
  *out = a[0][k] / a[0][0];
  return std::isfinite(*out);
}

// The load at f from samples, fitted as impedance (rep 0) or admittance (rep 1).
bool fitAt(const std::vector<LoadSample>& s, double f, int rep, LoadZ* out) {
  std::vector<double> x, re, im;
  for (const LoadSample& p : s) {
    LoadZ v = rep == 0 ? p.z : invZ(p.z);
    x.push_back((p.f - f) / f);
    re.push_back(v.real());
    im.push_back(v.imag());
  }
  int deg = std::min(int(s.size()) - 1, 2);
  double r, i;
  if (deg < 0 || !polyAtZero(x, re, deg, &r) || !polyAtZero(x, im, deg, &i)) return false;
  LoadZ v(r, i);
  *out = rep == 0 ? v : invZ(v);
  return out->real() > 0 && std::isfinite(out->real()) && std::isfinite(out->imag());
}

// Worst miss, in reflection terms, of each sample predicted from the others.
double leaveOneOut(const std::vector<LoadSample>& s, int rep) {
  double worst = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    std::vector<LoadSample> rest;
    for (size_t j = 0; j < s.size(); ++j)
      if (j != i) rest.push_back(s[j]);
    LoadZ z;
    if (!fitAt(rest, s[i].f, rep, &z)) return 2;
    worst = std::max(worst, std::abs(gammaOfZ(z) - gammaOfZ(s[i].z)));
  }
  return worst;
}

}  // namespace

bool ImpliedLoad(const TunerModel& m, double f, const MsSetting& s, LoadZ* z) {
  if (!(f > 0) || s.c < 0 || s.c > 511 || s.l < 0 || s.l > 511) return false;
  const double w = 2 * kPi * f;
  const double xl = w * m.ind[s.l], bc = w * m.cap[s.c];
  const LoadZ zl(xl / m.qL, xl + w * m.lw);
  const LoadZ yc(bc / m.qC, bc);
  const LoadZ yin(1 / kZ0, 0);
  LoadZ y;
  if (s.mode == 2) {
    // 50 ohm in, less the transmitter-port stray, less the series inductor:
    // what the capacitor and the antenna-port stray leave for the load.
    LoadZ zr = invZ(yin - LoadZ(0, w * m.cin)) - zl;
    if (!(zr.real() > 0)) return false;
    y = invZ(zr) - yc - LoadZ(0, w * m.cout);
  } else {
    LoadZ ya = yin - yc - LoadZ(0, w * m.cin);
    LoadZ zp = invZ(ya) - zl;
    if (!(zp.real() > 0)) return false;
    y = invZ(zp) - LoadZ(0, w * m.cout);
  }
  if (!(y.real() > 0)) return false;
  *z = invZ(y);
  return std::isfinite(z->real()) && std::isfinite(z->imag());
}

LoadPrediction PredictLoad(const std::vector<LoadSample>& all, double f) {
  LoadPrediction p;
  if (!(f > 0)) return p;
  // The nearest samples on each side within the window.
  std::vector<LoadSample> below, above;
  for (const LoadSample& s : all) {
    if (!(std::fabs(s.f - f) <= kLoadFitWindow * f) || !(s.z.real() > 0)) continue;
    (s.f < f ? below : above).push_back(s);
  }
  std::sort(below.begin(), below.end(), [](const LoadSample& a, const LoadSample& b) { return a.f > b.f; });
  std::sort(above.begin(), above.end(), [](const LoadSample& a, const LoadSample& b) { return a.f < b.f; });
  if (below.size() > size_t(kPerSide)) below.resize(kPerSide);
  if (above.size() > size_t(kPerSide)) above.resize(kPerSide);
  std::vector<LoadSample> s(below.rbegin(), below.rend());
  s.insert(s.end(), above.begin(), above.end());
  p.samples = int(s.size());
  if (s.size() < 2) return p;
  p.fLo = s.front().f;
  p.fHi = s.back().f;
  const double span = p.fHi - p.fLo;
  if (!(span > 0)) return p;
  // Impedance is the smooth one away from an antiresonance, admittance
  // near it; with three samples or more the one that predicts each left-out
  // sample better wins, with two the larger impedance picks admittance.
  int rep;
  if (s.size() >= 3) {
    double e0 = leaveOneOut(s, 0), e1 = leaveOneOut(s, 1);
    rep = e1 < e0 ? 1 : 0;
    p.spread = std::min(e0, e1);
  } else {
    rep = std::abs(s[0].z) * std::abs(s[1].z) > kZ0 * kZ0 ? 1 : 0;
    // Two samples: as far apart as their loads are.
    p.spread = std::abs(gammaOfZ(s[0].z) - gammaOfZ(s[1].z));
  }
  if (!fitAt(s, f, rep, &p.z)) return p;
  p.usable = f >= p.fLo - kLoadFitReach * span && f <= p.fHi + kLoadFitReach * span;
  p.good = p.usable && f >= p.fLo && f <= p.fHi && p.spread <= kLoadFitGoodSpread;
  return p;
}

LoadPrediction PredictFromMemory(Works* w, const TunerModel& m, int ant, long f) {
  if (f <= 0) return LoadPrediction();
  const TuneRec* tab = w->TabTune[(ant == 0 || ant == 1) ? ant : 2];
  const int self = AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr);
  // Bounded before the conversion: a long is 32 bits on the board.
  auto slotAt = [](double hz) { return AtuIdxSearch(long(std::min(hz, 1e9)), nullptr, nullptr, nullptr, nullptr); };
  const int lo = std::max(0, slotAt(double(f) * (1 - kLoadFitWindow)) - 1);
  const int hi = std::min(kTuneSlots - 1, slotAt(double(f) * (1 + kLoadFitWindow)) + 1);
  std::vector<LoadSample> s;
  for (int slot = lo; slot <= hi; ++slot) {
    const TuneRec r = tab[slot];
    // A stored bypass (or a word without mode) matched nothing.
    if (slot == self || !r.valid || (r.mode != 1 && r.mode != 2)) continue;
    LoadSample x;
    x.f = double(AtuFreqfromIdx(slot));
    if (ImpliedLoad(m, x.f, MsSetting{r.mode, r.C & 511, r.L & 511}, &x.z)) s.push_back(x);
  }
  return PredictLoad(s, double(f));
}

bool PredictedTuning(Works* w, int ant, long f, MsSetting* out) {
  if (tunerConfig.search != TUNE_SEARCH_MODEL || f <= 0) return false;
  const int slot = AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr);
  if (slot >= kTuneSlots || w->TabTune[(ant == 0 || ant == 1) ? ant : 2][slot].valid) return false;
  TunerModel m;
  m.build(tunerConfig);
  LoadPrediction p = PredictFromMemory(w, m, ant, f);
  if (!p.good) return false;
  if (out != nullptr) {
    ModelSearch ms;
    ms.begin(&m, double(f), 0, false);
    *out = ms.opt(p.z);
  }
  return true;
}
