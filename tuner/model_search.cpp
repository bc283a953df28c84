#include "tuner/model_search.h"

#include <algorithm>
#include <cmath>

namespace {

const double kPi = 3.14159265358979323846;
const double kZ0 = 50.0;
const int kRho = 12;
const int kMaxReadings = 1024;   // more than the longest step limit
const int kRefineReadings = 36;  // readings the refinement of a minimum weighs
const int kFitPasses = 24;
const int kPolishBudget = 40;
// An unmatched run tries at most this many more matches of the fit, which
// by then weighs the polish's readings near the best, each new best with
// a shorter polish of its own.
const int kRefits = 6;
const int kPolish3Budget = 20;
const double kWindow = 9.0;      // minima kept within this cost of the best
const double kProfileWindow = 34.0;
// A best reading this high (SWR 19) is on the cap's plateau, where the
// readings are mostly noise and a compass step learns little.
const double kPlateauG = 0.9;

// Compass directions in units of the step: (dC, dL).
const int kDirs[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, -1}, {-1, 1}, {1, 1}, {-1, -1}};

// Probe kinds of the ladder: series reactance, shunt susceptance, high-Z.
enum { PR_S, PR_B, PR_H };
struct Probe {
  int kind;
  double v;
};
const Probe kLadder[] = {{PR_S, 150},  {PR_B, 0.060}, {PR_H, 600},   {PR_S, 400}, {PR_B, 0.160}, {PR_H, 2000},
                         {PR_S, 1000}, {PR_B, 0.400}, {PR_H, 6000}, {PR_S, 2500}, {PR_B, 1.0}};
const int kLadderLen = int(sizeof kLadder / sizeof kLadder[0]);

typedef std::complex<double> Cx;

Cx inv(Cx z) {
  double d = std::norm(z);
  if (d < 1e-300) return Cx(1e150, 0);
  return std::conj(z) / d;
}

// |gamma|^2 of an input admittance against 50 ohm.
inline double g2FromY(double g, double b) {
  double yr = kZ0 * g, yi = kZ0 * b;
  double num = (1 - yr) * (1 - yr) + yi * yi, den = (1 + yr) * (1 + yr) + yi * yi;
  return num / den;
}

bool settingLess(const MsSetting& a, const MsSetting& b) {
  if (a.mode != b.mode) return a.mode < b.mode;
  if (a.l != b.l) return a.l < b.l;
  return a.c < b.c;
}

}  // namespace

void TunerModel::build(const TunerConfig& cfg) {
  for (int n = 0; n < 512; ++n) {
    double c = 0, l = 0;
    for (int k = 0; k < 9; ++k)
      if (n & (1 << k)) {
        c += cfg.capBitPf[k] * 1e-12;
        l += cfg.indBitUh[k] * 1e-6;
      }
    cap[n] = c;
    ind[n] = l;
    capOrder[n] = indOrder[n] = n;
  }
  std::sort(capOrder, capOrder + 512, [this](int a, int b) { return cap[a] < cap[b]; });
  std::sort(indOrder, indOrder + 512, [this](int a, int b) { return ind[a] < ind[b]; });
  cin = cfg.strayTxPf * 1e-12;
  cout = cfg.strayAntPf * 1e-12;
  lw = cfg.wiringUh * 1e-6;
  qL = cfg.qL;
  qC = cfg.qC;
}

static int nearestIn(const double* val, const int* order, double want) {
  int lo = 0, hi = 511;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (val[order[mid]] < want) lo = mid + 1; else hi = mid;
  }
  int best = order[lo];
  if (lo > 0 && std::fabs(val[order[lo - 1]] - want) <= std::fabs(val[best] - want)) best = order[lo - 1];
  return best;
}

int TunerModel::nearestCap(double farad) const { return nearestIn(cap, capOrder, farad); }
int TunerModel::nearestInd(double henry) const { return nearestIn(ind, indOrder, henry); }

// ---- model ----

// 1 / (a + jb), in place.
static inline void invInPlace(double* a, double* b) {
  double d = *a * *a + *b * *b;
  if (d < 1e-300) d = 1e-300;
  *a = *a / d;
  *b = -*b / d;
}

double ModelSearch::g2Of(const MsSetting& s, Z zLoad) const {
  const TunerModel& m = *m_;
  double xl = w_ * m.ind[s.l];
  double zlR = xl / m.qL, zlX = xl + w_ * m.lw;
  double bc = w_ * m.cap[s.c];
  double ycG = bc / m.qC;
  double yr = zLoad.real(), yi = zLoad.imag();
  invInPlace(&yr, &yi);
  double ar, ai;
  if (s.mode == 2) {
    ar = yr + ycG;
    ai = yi + bc + w_ * m.cout;
    invInPlace(&ar, &ai);
    ar += zlR;
    ai += zlX;
    invInPlace(&ar, &ai);
    ai += w_ * m.cin;
  } else {
    ar = yr;
    ai = yi + w_ * m.cout;
    invInPlace(&ar, &ai);
    ar += zlR;
    ai += zlX;
    invInPlace(&ar, &ai);
    ar += ycG;
    ai += bc + w_ * m.cin;
  }
  return g2FromY(ar, ai);
}

double ModelSearch::gammaOf(const MsSetting& s, Z zLoad) const { return std::sqrt(g2Of(s, zLoad)); }

// Unit steps downhill from s on the model until no neighbour is better.
MsSetting ModelSearch::descend(MsSetting s, Z zLoad) const {
  double g = g2Of(s, zLoad);
  for (int step : {16, 8, 4, 2, 1}) {
    for (int iter = 0; iter < 200; ++iter) {
      MsSetting best = s;
      double bg = g;
      for (const auto& d : kDirs) {
        MsSetting n{s.mode, std::clamp(s.c + d[0] * step, 0, 511), std::clamp(s.l + d[1] * step, 0, 511)};
        double ng = g2Of(n, zLoad);
        if (ng < bg || (ng == bg && settingLess(n, best))) {
          bg = ng;
          best = n;
        }
      }
      if (best == s) break;
      s = best;
      g = bg;
    }
  }
  return s;
}

// For each value of one bank the other is set analytically to cancel the
// remaining reactance (CL: the shunt C for every L; LC: the series L for
// every C), which is the best the other bank can do; the lowest of these
// and a small window around it give the optimum of the network. This is
// the exhaustive optimum up to the rounding of the analytic part, in about
// 1/100 of its work.
MsSetting ModelSearch::opt(Z zLoad, int onlyMode) const {
  const TunerModel& m = *m_;
  MsSetting best{1, 0, 0};
  double bg = 9;
  auto consider = [&](const MsSetting& s) {
    double g = g2Of(s, zLoad);
    if (g < bg || (g == bg && settingLess(s, best))) {
      bg = g;
      best = s;
    }
    return g;
  };
  Cx yLoad = inv(zLoad);
  for (int mode = 1; mode <= 2; ++mode) {
    if (onlyMode != 0 && mode != onlyMode) continue;
    MsSetting nb{mode, 0, 0};
    double ng = 9;
    for (int v = 0; v < 512; ++v) {
      MsSetting s{mode, 0, 0};
      if (mode == 1) {
        double xl = w_ * m.ind[v];
        Cx ys = inv(inv(yLoad + Cx(0, w_ * m.cout)) + Cx(xl / m.qL, xl + w_ * m.lw));
        s.l = v;
        s.c = m.nearestCap(std::max(0.0, -ys.imag() / w_ - m.cin));
      } else {
        double bc = w_ * m.cap[v];
        Cx z2 = inv(yLoad + Cx(bc / m.qC, bc + w_ * m.cout));
        s.c = v;
        s.l = m.nearestInd(std::max(0.0, -z2.imag() / w_ - m.lw));
      }
      double g = g2Of(s, zLoad);
      if (g < ng) {
        ng = g;
        nb = s;
      }
    }
    for (int dc = -3; dc <= 3; ++dc)
      for (int dl = -3; dl <= 3; ++dl) consider(MsSetting{mode, std::clamp(nb.c + dc, 0, 511), std::clamp(nb.l + dl, 0, 511)});
  }
  return descend(best, zLoad);
}

// ---- fit ----

// A hypothesis given by its reflection at C = L = 0; the fixed strays are
// taken off to give the load itself.
ModelSearch::Hyp ModelSearch::hypOf(double rho, double phi, Z* zOut) const {
  const TunerModel& m = *m_;
  Cx gam = std::polar(rho, phi);
  Cx zin0 = kZ0 * (1.0 + gam) / (1.0 - gam);
  Cx z1 = inv(inv(zin0) - Cx(0, w_ * m.cin)) - Cx(0, w_ * m.lw);  // the load with the antenna-port stray
  Cx yLoad = inv(z1) - Cx(0, w_ * m.cout);
  Hyp h;
  h.yG = yLoad.real();
  h.yB = yLoad.imag();
  h.zpR = z1.real();
  h.zpX = z1.imag();
  if (zOut != nullptr) *zOut = inv(yLoad);
  return h;
}

// The reading's weight against one hypothesis: the squared, capped
// residual under a 2 % noise and 12-bit reading model.
double ModelSearch::costOf(const Reading& r, const Hyp& h) const {
  double yg, yb;
  if (r.s.mode == 2) {
    double g = h.yG + r.ycG, b = h.yB + r.ycB;
    double d = g * g + b * b;
    double zr = g / d + r.zlR, zx = -b / d + r.zlX;
    double e = zr * zr + zx * zx;
    yg = zr / e;
    yb = -zx / e + r.cinB;
  } else {
    double zr = h.zpR + r.zlR, zx = h.zpX + r.zlX;
    double e = zr * zr + zx * zx;
    yg = zr / e + r.ycG;
    yb = -zx / e + r.ycB;
  }
  double p = std::sqrt(g2FromY(yg, yb));
  double step = std::min(0.018, 1.0 / (3000.0 * std::max(p, 0.001)));
  double sigma = std::sqrt((0.0115 * p) * (0.0115 * p) + (0.29 * step) * (0.29 * step)) + 0.002;
  double e = r.censored ? std::max(0.0, 0.99 - 1.02 * p) / sigma : (r.g - p) / sigma;
  return std::min(e * e, 25.0);
}

double ModelSearch::totalCost(const Hyp& h, const std::vector<int>& use) const {
  double c = 0;
  for (int i : use) c += costOf(rd_[i], h);
  return c;
}

void ModelSearch::buildGrid() {
  const Reading* r0 = find(MsSetting{1, 0, 0});
  if (r0 == nullptr) r0 = find(MsSetting{2, 0, 0});
  if (r0 == nullptr) return;
  double lo, hi;
  if (r0->censored) {
    lo = 0.965;
    hi = 0.9995;
  } else {
    lo = std::max(0.0, r0->g / 1.022 - 0.012);
    hi = std::min(0.9995, r0->g / 0.978 + 0.012);
  }
  for (int k = 0; k < kRho; ++k) rhoK_[k] = 1 - (1 - lo) * std::pow((1 - hi) / (1 - lo), k / 11.0);
  phi_.clear();
  for (int i = 0; i < 360; ++i) phi_.push_back(i * kPi / 180);
  for (int i = 0; i < 360; ++i) {
    double u = -6.7 + 13.4 * i / 359.0;
    double p = kPi - 2 * std::atan(std::sinh(u));
    p = std::fmod(p + 2 * kPi, 2 * kPi);
    phi_.push_back(p);
  }
  std::sort(phi_.begin(), phi_.end());
  std::vector<double> uniq;
  for (double p : phi_)
    if (uniq.empty() || p - uniq.back() > 1e-6) uniq.push_back(p);
  if (uniq.size() > 1 && uniq.front() + 2 * kPi - uniq.back() <= 1e-6) uniq.pop_back();
  phi_ = uniq;
  size_t n = phi_.size();
  hyp_.resize(kRho * n);
  cost_.assign(kRho * n, 0.0f);
  for (int k = 0; k < kRho; ++k)
    for (size_t j = 0; j < n; ++j) {
      Hyp& h = hyp_[k * n + j];
      h = hypOf(rhoK_[k], phi_[j], nullptr);
      double c = 0;
      for (const Reading& r : rd_) c += costOf(r, h);
      cost_[k * n + j] = float(c);
    }
  grid_ = true;
}

std::vector<ModelSearch::Z> ModelSearch::minima() {
  // One fit per reading: a step that asks twice (fit, then polish) pays once.
  if (grid_ && minimaAt_ == rd_.size()) return minimaCache_;
  std::vector<Z> out;
  if (!grid_) return out;
  size_t n = phi_.size();
  std::vector<double> prof(n);
  std::vector<int> profK(n);
  double pmin = 1e300;
  for (size_t j = 0; j < n; ++j) {
    double b = 1e300;
    int bk = 0;
    for (int k = 0; k < kRho; ++k)
      if (cost_[k * n + j] < b) {
        b = cost_[k * n + j];
        bk = k;
      }
    prof[j] = b;
    profK[j] = bk;
    pmin = std::min(pmin, b);
  }
  std::vector<std::pair<double, int>> cands;
  for (size_t j = 0; j < n; ++j) {
    double a = prof[(j + n - 1) % n], c = prof[(j + 1) % n];
    if (prof[j] <= a && prof[j] <= c && prof[j] <= pmin + kProfileWindow) cands.push_back({prof[j], int(j)});
  }
  std::sort(cands.begin(), cands.end());
  if (cands.size() > 6) cands.resize(6);
  // The refinement weighs at most kRefineReadings readings (the table
  // search leaves well over a hundred): the first one, the third nearest
  // to a match, and the rest spread evenly over the run, since neighbouring
  // readings of one scan say much the same.
  std::vector<int> use;
  if (rd_.size() <= size_t(kRefineReadings)) {
    for (size_t i = 0; i < rd_.size(); ++i) use.push_back(int(i));
  } else {
    std::vector<int> byG;
    for (size_t i = 1; i < rd_.size(); ++i) byG.push_back(int(i));
    std::stable_sort(byG.begin(), byG.end(), [this](int a, int b) { return rd_[a].g < rd_[b].g; });
    std::vector<char> taken(rd_.size(), 0);
    taken[0] = 1;
    for (int i = 0; i < kRefineReadings / 3; ++i) taken[byG[i]] = 1;
    int left = kRefineReadings - 1 - kRefineReadings / 3;
    std::vector<int> rest;
    for (size_t i = 1; i < rd_.size(); ++i)
      if (!taken[i]) rest.push_back(int(i));
    for (int k = 0; k < left && !rest.empty(); ++k) taken[rest[size_t(k) * rest.size() / left]] = 1;
    for (size_t i = 0; i < rd_.size(); ++i)
      if (taken[i]) use.push_back(int(i));
  }
  double t0 = std::log(1 - rhoK_[0]), t11 = std::log(1 - rhoK_[kRho - 1]);
  std::vector<Minimum> mins;
  for (const auto& cd : cands) {
    int j = cd.second;
    double t = std::log(1 - rhoK_[profK[j]]), phi = phi_[j];
    double dt = std::max(0.02, std::fabs(t11 - t0) / 11);
    double gapL = phi_[j] - phi_[(j + n - 1) % n], gapR = phi_[(j + 1) % n] - phi_[j];
    if (gapL < 0) gapL += 2 * kPi;
    if (gapR < 0) gapR += 2 * kPi;
    double dphi = 0.5 * std::max(gapL, gapR);
    double best = 1e300, bt = t, bp = phi;
    auto costAt = [&](double tt, double pp, double* tOut) {
      double rho = std::clamp(1 - std::exp(tt), 0.0, 0.99995);
      *tOut = std::log(1 - rho);
      return totalCost(hypOf(rho, pp, nullptr), use);
    };
    // One 7 x 7 look around the grid point finds the basin; a pattern
    // search with halving steps then walks to its bottom.
    for (int a = -3; a <= 3; ++a)
      for (int b = -3; b <= 3; ++b) {
        double tc, c = costAt(t + a * dt, phi + b * dphi, &tc);
        if (c < best) {
          best = c;
          bt = tc;
          bp = phi + b * dphi;
        }
      }
    dt /= 2;
    dphi /= 2;
    for (int iter = 0; iter < 40; ++iter) {
      bool moved = false;
      const double steps[4][2] = {{dt, 0}, {-dt, 0}, {0, dphi}, {0, -dphi}};
      for (const auto& d : steps) {
        double tc, c = costAt(bt + d[0], bp + d[1], &tc);
        if (c < best) {
          best = c;
          bt = tc;
          bp += d[1];
          moved = true;
          break;
        }
      }
      if (!moved) {
        if (dphi < 1e-4 && dt < 0.002) break;
        dt /= 2;
        dphi /= 2;
      }
    }
    Minimum mn;
    mn.cost = best;
    mn.t = bt;
    mn.phi = std::fmod(std::fmod(bp, 2 * kPi) + 2 * kPi, 2 * kPi);
    hypOf(1 - std::exp(bt), bp, &mn.z);
    mins.push_back(mn);
  }
  std::sort(mins.begin(), mins.end(), [](const Minimum& a, const Minimum& b) { return a.cost < b.cost; });
  std::vector<Minimum> kept;
  for (const Minimum& mn : mins) {
    if (!kept.empty() && mn.cost > kept.front().cost + kWindow) break;
    bool dup = false;
    for (const Minimum& k : kept) {
      double dp = std::fabs(mn.phi - k.phi);
      dp = std::min(dp, 2 * kPi - dp);
      if (dp <= 0.01 && std::fabs(std::exp(mn.t) - std::exp(k.t)) <= 0.01) dup = true;
    }
    if (!dup) kept.push_back(mn);
    if (kept.size() == 4) break;
  }
  for (const Minimum& k : kept) out.push_back(k.z);
  minimaCache_ = out;
  minimaAt_ = rd_.size();
  return out;
}

// ---- the end ----

bool ModelSearch::settle(MsSetting* out, float* swr) {
  if (m_ == nullptr || !(lastSwr_ > 0.01f) || rd_.empty()) return false;
  // Mean reading of every setting measured without reaching the cap.
  struct Seen {
    MsSetting s;
    double sum;
    int n;
    bool censored;
  };
  std::vector<Seen> seen;
  for (const Reading& r : rd_) {
    auto it = std::find_if(seen.begin(), seen.end(), [&](const Seen& x) { return x.s == r.s; });
    if (it == seen.end()) {
      seen.push_back({r.s, r.g, 1, r.censored});
    } else {
      it->sum += r.g;
      ++it->n;
      it->censored = it->censored || r.censored;
    }
  }
  double gBest = 2;
  for (const Seen& x : seen)
    if (!x.censored) gBest = std::min(gBest, x.sum / x.n);
  double targetG = target_ > 1 ? (target_ - 1) / (target_ + 1) : 0;
  if (gBest >= 2 || gBest < targetG) return false;
  std::vector<Z> mins = minima();
  if (mins.empty()) return false;
  // A single reading's noise at the best one's level, as the fit assumes.
  double step = std::min(0.018, 1.0 / (3000.0 * std::max(gBest, 0.001)));
  double sigma = std::sqrt((0.0115 * gBest) * (0.0115 * gBest) + (0.29 * step) * (0.29 * step)) + 0.002;
  const Seen* pick = nullptr;
  double pickP = 9;
  for (const Seen& x : seen) {
    if (x.censored || x.sum / x.n > gBest + 2.5 * sigma) continue;
    double p = gammaOf(x.s, mins.front());
    if (p < pickP) {
      pickP = p;
      pick = &x;
    }
  }
  if (pick == nullptr) return false;
  double g = pick->sum / pick->n;
  *out = pick->s;
  *swr = float((1 + g) / (1 - g));
  return true;
}

// ---- readings ----

const ModelSearch::Reading* ModelSearch::find(const MsSetting& s) const {
  for (const Reading& r : rd_)
    if (r.s == s) return &r;
  return nullptr;
}

double ModelSearch::bestG(MsSetting* s) const {
  double g = 2;
  for (const Reading& r : rd_)
    if (r.g < g) {
      g = r.g;
      if (s != nullptr) *s = r.s;
    }
  return g;
}

void ModelSearch::addReading(const MsSetting& sIn, float swr) {
  lastSwr_ = swr;
  if (m_ == nullptr || !(swr > 0.01f)) return;
  MsSetting s = clampSetting(sIn);
  double v = swr < 1 ? 1 : swr;
  double g = (v - 1) / (v + 1);
  bool censored = swr >= 99;
  if (int(rd_.size()) >= kMaxReadings) return;
  const TunerModel& m = *m_;
  Reading r;
  r.s = s;
  r.g = g;
  r.censored = censored;
  double bc = w_ * m.cap[s.c], xl = w_ * m.ind[s.l];
  r.zlR = xl / m.qL;
  r.zlX = xl + w_ * m.lw;
  r.ycG = bc / m.qC;
  r.ycB = bc + w_ * (s.mode == 2 ? m.cout : m.cin);
  r.cinB = w_ * m.cin;
  if (pendingDir_ >= 0 && s == pending_) {
    // the compass neighbour asked for
    if (find(s) == nullptr) ++polishReads_;
  }
  rd_.push_back(r);
  if (grid_) {
    for (size_t i = 0; i < hyp_.size(); ++i) cost_[i] += float(costOf(r, hyp_[i]));
  } else if (s.c == 0 && s.l == 0) {
    buildGrid();
  }
}

MsSetting ModelSearch::clampSetting(MsSetting s) const {
  s.mode = s.mode == 2 ? 2 : 1;
  s.c = std::clamp(s.c, 0, 511);
  s.l = std::clamp(s.l, 0, 511);
  return s;
}

MsSetting ModelSearch::probe(int kind, double v) const {
  const TunerModel& m = *m_;
  auto uX = [&](double x) { return std::clamp(m.nearestInd(std::max(0.0, x / w_ - m.lw)), 1, 511); };
  auto uB = [&](double b, double stray) { return std::clamp(m.nearestCap(std::max(0.0, b / w_ - stray)), 1, 511); };
  if (kind == PR_S) return MsSetting{1, 0, uX(v)};
  if (kind == PR_B) return MsSetting{1, uB(v, m.cin), 0};
  double q = std::sqrt(v / kZ0 - 1);
  return MsSetting{2, uB(q / v, m.cout), uX(kZ0 * q)};
}

// ---- states ----

void ModelSearch::begin(const TunerModel* model, double f, float target, bool warm) {
  m_ = model;
  w_ = 2 * kPi * f;
  target_ = target;
  state_ = warm ? MS_WARM : MS_LOAD;
  rd_.clear();
  rd_.reserve(256);
  minimaAt_ = size_t(-1);
  grid_ = false;
  hyp_.clear();
  cost_.clear();
  fitPasses_ = 0;
  ladder_ = 0;
  pendingDir_ = -1;
  polishReads_ = 0;
  centreKnown_ = polish2Done_ = settleSent_ = false;
  refits_ = 0;
  lastSwr_ = 0;
  startSet_ = false;
}

void ModelSearch::begin(const TunerModel* model, double f, float target, const MsSetting& start) {
  begin(model, f, target, true);
  start_ = clampSetting(start);
  startSet_ = true;
}

void ModelSearch::rescue() {
  fitPasses_ = 0;
  state_ = MS_FIT;
}

bool ModelSearch::fitNext(MsSetting* out) {
  if (!grid_) {
    MsSetting z{1, 0, 0};
    if (!measured(z)) {
      *out = z;
      return true;
    }
  }
  while (fitPasses_ < kFitPasses) {
    ++fitPasses_;
    bool offCap = false;
    for (const Reading& r : rd_)
      if (r.g < 0.95) offCap = true;
    if (!offCap) {
      while (ladder_ < kLadderLen) {
        MsSetting p = probe(kLadder[ladder_].kind, kLadder[ladder_].v);
        ++ladder_;
        if (!measured(p)) {
          *out = p;
          return true;
        }
      }
    }
    std::vector<Z> mins = minima();
    for (Z z : mins) {
      MsSetting o = opt(z);
      if (!measured(o)) {
        *out = o;
        return true;
      }
    }
    // Every match the fit points at was tried and none came off the cap
    // region: the other network's match of each minimum, then the rest of
    // the ladder, before a polish that would only wander on the plateau.
    if (bestG(nullptr) >= kPlateauG) {
      for (Z z : mins)
        for (int mode = 1; mode <= 2; ++mode) {
          MsSetting o = opt(z, mode);
          if (!measured(o)) {
            *out = o;
            return true;
          }
        }
      while (ladder_ < kLadderLen) {
        MsSetting p = probe(kLadder[ladder_].kind, kLadder[ladder_].v);
        ++ladder_;
        if (!measured(p)) {
          *out = p;
          return true;
        }
      }
    }
    break;
  }
  MsSetting b;
  bestG(&b);
  return startPolish(b, MS_POLISH, out);
}

bool ModelSearch::startPolish(const MsSetting& centre, State kind, MsSetting* out) {
  state_ = kind;
  step_ = 2;
  lastDir_ = 0;
  dirIdx_ = 0;
  polishReads_ = 0;
  centre_ = centre;
  const Reading* r = find(centre);
  if (r == nullptr) {
    // the starting setting is measured first
    centreKnown_ = false;
    pending_ = centre;
    pendingDir_ = -1;
    ++polishReads_;
    *out = centre;
    return true;
  }
  centreKnown_ = true;
  centreG_ = r->g;
  return polishNext(out);
}

bool ModelSearch::polishNext(MsSetting* out) {
  for (int guard = 0; guard < 4096; ++guard) {
    if (dirIdx_ >= 8) {
      if (step_ == 1) return afterPolish(out);
      step_ = std::max(1, step_ / 2);
      dirIdx_ = 0;
      continue;
    }
    // the last successful direction first, then the others in order
    int d = dirIdx_ == 0 ? lastDir_ : (dirIdx_ <= lastDir_ ? dirIdx_ - 1 : dirIdx_);
    MsSetting n{centre_.mode, std::clamp(centre_.c + kDirs[d][0] * step_, 0, 511),
                std::clamp(centre_.l + kDirs[d][1] * step_, 0, 511)};
    if (n == centre_) {
      ++dirIdx_;
      continue;
    }
    const Reading* r = find(n);
    if (r != nullptr) {
      if (r->g < centreG_) {
        centre_ = n;
        centreG_ = r->g;
        lastDir_ = d;
        dirIdx_ = 0;
      } else {
        ++dirIdx_;
      }
      continue;
    }
    if (polishReads_ >= (state_ == MS_POLISH3 ? kPolish3Budget : kPolishBudget)) return afterPolish(out);
    pending_ = n;
    pendingDir_ = d;
    *out = n;
    return true;
  }
  return afterPolish(out);
}

bool ModelSearch::afterPolish(MsSetting* out) {
  pendingDir_ = -1;
  if (state_ == MS_POLISH && target_ > 0 && !polish2Done_) {
    polish2Done_ = true;
    MsSetting b;
    bestG(&b);
    std::vector<Z> mins = minima();
    if (!mins.empty()) {
      int other = b.mode == 2 ? 1 : 2;
      return startPolish(opt(mins.front(), other), MS_POLISH2, out);
    }
  }
  return refitNext(out);
}

// The polish ended above the target (or without one): the fit has learnt
// from the polish's readings around the best, so its matches in either
// network are tried once more before the run settles for the best seen.
bool ModelSearch::refitNext(MsSetting* out) {
  double bg = bestG(nullptr);
  double targetG = target_ > 1 ? (target_ - 1) / (target_ + 1) : 0;
  if (bg < targetG || refits_ >= kRefits) {
    state_ = MS_END;
    return false;
  }
  for (Z z : minima())
    for (int mode : {1, 2}) {
      MsSetting o = opt(z, mode);
      if (!measured(o)) {
        state_ = MS_REFIT;
        refitPending_ = o;
        refitFromG_ = bg;
        ++refits_;
        *out = o;
        return true;
      }
    }
  state_ = MS_END;
  return false;
}

bool ModelSearch::next(MsSetting* out) {
  if (m_ == nullptr) return false;
  float swr = lastSwr_;
  if (!(swr > 0.01f)) {
    state_ = MS_END;  // no carrier: nothing more to learn
    return false;
  }
  if (state_ == MS_SETTLE) {
    state_ = MS_END;
    return false;
  }
  if (target_ > 0 && swr < target_) {
    if (state_ == MS_WARM || state_ == MS_LOAD) {
      state_ = MS_END;
      return false;
    }
    // A reading just under the target may be noise: one more jump to the
    // model's match when it is near and new.
    if (swr >= target_ - 0.1f) {
      std::vector<Z> mins = minima();
      if (!mins.empty()) {
        MsSetting o = opt(mins.front());
        if (!measured(o)) {
          state_ = MS_SETTLE;
          *out = o;
          return true;
        }
      }
    }
    state_ = MS_END;
    return false;
  }
  switch (state_) {
    case MS_WARM:
      // The word in place before the run may have been read first.
      if (startSet_ && !measured(start_)) {
        *out = start_;
        return true;
      }
      state_ = MS_LOAD;
      if (!measured(MsSetting{1, 0, 0})) {
        *out = MsSetting{1, 0, 0};
        return true;
      }
      // the load's reading is there already
      [[fallthrough]];
    case MS_LOAD: {
      const Reading* r0 = find(MsSetting{1, 0, 0});
      if (r0 != nullptr && r0->g < 0.97) {
        state_ = MS_P1;
        MsSetting s = probe(PR_S, 50);
        if (!measured(s)) {
          *out = s;
          return true;
        }
      }
      state_ = MS_FIT;
      return fitNext(out);
    }
    case MS_P1: {
      state_ = MS_FIT;
      MsSetting s = probe(PR_B, 0.020);
      if (!measured(s)) {
        *out = s;
        return true;
      }
      return fitNext(out);
    }
    case MS_FIT:
      return fitNext(out);
    case MS_REFIT: {
      const Reading* r = find(refitPending_);
      if (r != nullptr && r->g < refitFromG_) return startPolish(refitPending_, MS_POLISH3, out);
      return refitNext(out);
    }
    case MS_POLISH:
    case MS_POLISH2:
    case MS_POLISH3: {
      const Reading* r = find(pending_);
      if (!centreKnown_) {
        if (r != nullptr) {
          centreKnown_ = true;
          centreG_ = r->g;
        }
        return polishNext(out);
      }
      if (pendingDir_ >= 0 && r != nullptr) {
        if (r->g < centreG_) {
          centre_ = pending_;
          centreG_ = r->g;
          lastDir_ = pendingDir_;
          dirIdx_ = 0;
        } else {
          ++dirIdx_;
        }
        pendingDir_ = -1;
      }
      return polishNext(out);
    }
    default:
      state_ = MS_END;
      return false;
  }
}
