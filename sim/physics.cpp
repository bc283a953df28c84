#include "sim/physics.h"

#include <cmath>

namespace {

const double kPi = 3.14159265358979323846;
const double kEuler = 0.57721566490153286061;
const double kEta = 376.730313;    // free-space impedance, ohm
const double kLight = 299792458.0;

// Sine and cosine integrals: power series for small arguments, the
// rational auxiliary functions f and g (accurate to about 5e-7) above.
void sici(double x, double* si, double* ci) {
  if (x <= 0) {
    *si = 0;
    *ci = -1e30;
    return;
  }
  if (x < 2.0) {
    double x2 = x * x;
    double termS = x, sumS = x;
    double termC = 1.0, sumC = 0;
    for (int n = 1; n < 30; ++n) {
      termS *= -x2 / ((2.0 * n) * (2.0 * n + 1));
      sumS += termS / (2.0 * n + 1);
      termC *= -x2 / ((2.0 * n - 1) * (2.0 * n));
      sumC += termC / (2.0 * n);
    }
    *si = sumS;
    *ci = kEuler + std::log(x) + sumC;
    return;
  }
  double x2 = x * x, x4 = x2 * x2, x6 = x4 * x2, x8 = x4 * x4;
  double f = (x8 + 38.027264 * x6 + 265.187033 * x4 + 335.677320 * x2 + 38.102495) /
             (x8 + 40.021433 * x6 + 322.624911 * x4 + 570.236280 * x2 + 157.105423) / x;
  double g = (x8 + 42.242855 * x6 + 302.757865 * x4 + 352.018498 * x2 + 21.821899) /
             (x8 + 48.196927 * x6 + 482.485984 * x4 + 1114.978885 * x2 + 449.690326) / x2;
  *si = kPi / 2 - f * std::cos(x) - g * std::sin(x);
  *ci = f * std::sin(x) - g * std::cos(x);
}

// Radiation resistance of a thin centre-fed dipole referred to the current
// maximum (induced EMF method), kl = electrical length in radians.
double dipoleRadiationResistance(double kl) {
  double si1, ci1, si2, ci2;
  sici(kl, &si1, &ci1);
  sici(2 * kl, &si2, &ci2);
  double r = kEuler + std::log(kl) - ci1 + 0.5 * std::sin(kl) * (si2 - 2 * si1) +
             0.5 * std::cos(kl) * (kEuler + std::log(kl / 2) + ci2 - 2 * ci1);
  return kEta / (2 * kPi) * r;
}

Cplx safeLoad(Cplx z) {
  if (std::abs(z) < 1e-9) return Cplx(1e-9, 0);
  return z;
}

}  // namespace

// Word bits of each value bit, lowest value bit first.
static const int kCBits[9] = {15, 2, 4, 6, 14, 12, 10, 8, 20};
static const int kLBits[9] = {1, 3, 5, 7, 13, 11, 9, 19, 21};

int physWordC(uint32_t word) {
  int v = 0;
  for (int k = 0; k < 9; ++k)
    if (word & (1u << kCBits[k])) v |= 1 << k;
  return v;
}

int physWordL(uint32_t word) {
  int v = 0;
  for (int k = 0; k < 9; ++k)
    if (word & (1u << kLBits[k])) v |= 1 << k;
  return v;
}

int physWordMode(uint32_t word) {
  bool cl = word & 0x800000u, lc = word & 0x40000u, bp = word & 0x10000u;
  int n = int(cl) + int(lc) + int(bp);
  if (n != 1) return PHYS_NONE;
  return cl ? PHYS_CL : lc ? PHYS_LC : PHYS_BYPASS;
}

// A dipole behaves like an open-ended lossy transmission line of the
// dipole's average characteristic impedance; the line loss stands for the
// radiation and is set so that the resistance at resonance equals the
// radiation resistance. This stays finite (a few kilo-ohm) at full wave,
// as real dipoles do, where the plain induced-EMF input formula does not.
Cplx physDipoleImpedance(double len, double a, double f) {
  double k = 2 * kPi * f / kLight;
  double kl = k * len;
  if (kl < 1e-6) kl = 1e-6;
  double z0 = 120.0 * (std::log(len / a) - 1.0);
  double rr = dipoleRadiationResistance(kl);
  double ah = rr / z0;
  double bh = kl / 2;
  // coth(ah + j bh) = (cosh ah cos bh + j sinh ah sin bh) / (sinh ah cos bh + j cosh ah sin bh)
  Cplx num(std::cosh(ah) * std::cos(bh), std::sinh(ah) * std::sin(bh));
  Cplx den(std::sinh(ah) * std::cos(bh), std::cosh(ah) * std::sin(bh));
  return z0 * num / den;
}

Cplx physMonopoleImpedance(double len, double a, double groundLoss, double f) {
  return 0.5 * physDipoleImpedance(2 * len, a, f) + Cplx(groundLoss, 0);
}

Cplx physLoadImpedance(const PhysLoad& load, double f) {
  switch (load.kind) {
    case PHYS_LOAD_DIPOLE:
      return physDipoleImpedance(21.1, 1e-3, f);
    case PHYS_LOAD_ENDFED:
      return physMonopoleImpedance(12.0, 1e-3, 20.0, f);
    case PHYS_LOAD_DUMMY:
      return Cplx(50.0, 2 * kPi * f * 20e-9);
    case PHYS_LOAD_FIXED:
    default:
      return load.z;
  }
}

Cplx physNetworkInput(int mode, int c, int l, double f, Cplx zLoad) {
  zLoad = safeLoad(zLoad);
  if (mode != PHYS_CL && mode != PHYS_LC) return zLoad;
  double w = 2 * kPi * f;
  double xl = w * l * kPhysIndStep;
  Cplx zl(xl / kPhysQInd, xl);
  double bc = w * c * kPhysCapStep;
  Cplx yc(bc / kPhysQCap, bc);
  if (mode == PHYS_CL) return 1.0 / (yc + 1.0 / (zl + zLoad));
  return zl + 1.0 / (yc + 1.0 / zLoad);
}

double physGamma(Cplx zin) {
  return std::abs((zin - kPhysZ0) / (zin + kPhysZ0));
}

double physSwrFromGamma(double gamma) {
  if (gamma >= 0.99) return 100.0;
  double s = (1 + gamma) / (1 - gamma);
  return s > 100.0 ? 100.0 : s;
}

double physSwrForWord(uint32_t word, double f, Cplx zLoad) {
  Cplx zin = physNetworkInput(physWordMode(word), physWordC(word), physWordL(word), f, zLoad);
  return physSwrFromGamma(physGamma(zin));
}

// Plain double arithmetic: this runs half a million times per load.
PhysBest physExhaustiveBest(double f, Cplx zLoad) {
  zLoad = safeLoad(zLoad);
  double w = 2 * kPi * f;
  static thread_local double lr[512], lx[512], cg[512], cb[512];
  for (int i = 0; i < 512; ++i) {
    lx[i] = w * i * kPhysIndStep;
    lr[i] = lx[i] / kPhysQInd;
    cb[i] = w * i * kPhysCapStep;
    cg[i] = cb[i] / kPhysQCap;
  }
  double rl = zLoad.real(), xlo = zLoad.imag();
  double bestG2 = 2.0;
  PhysBest best;
  // CL: Yin = Yc + 1 / (Zl + Zload); gamma = (1 - Z0 Yin) / (1 + Z0 Yin).
  for (int l = 0; l < 512; ++l) {
    double r = lr[l] + rl, x = lx[l] + xlo;
    double d = r * r + x * x;
    double tg = r / d, tb = -x / d;
    for (int c = 0; c < 512; ++c) {
      double g = (cg[c] + tg) * kPhysZ0, b = (cb[c] + tb) * kPhysZ0;
      double nr = 1 - g, dr = 1 + g;
      double g2 = (nr * nr + b * b) / (dr * dr + b * b);
      if (g2 < bestG2) {
        bestG2 = g2;
        best.mode = PHYS_CL;
        best.c = c;
        best.l = l;
      }
    }
  }
  // LC: Zin = Zl + 1 / (Yc + Yload).
  double dl = rl * rl + xlo * xlo;
  double yg = rl / dl, yb = -xlo / dl;
  for (int c = 0; c < 512; ++c) {
    double g = cg[c] + yg, b = cb[c] + yb;
    double d = g * g + b * b;
    double pr = g / d, px = -b / d;
    for (int l = 0; l < 512; ++l) {
      double r = pr + lr[l], x = px + lx[l];
      double nr = r - kPhysZ0, dr = r + kPhysZ0;
      double g2 = (nr * nr + x * x) / (dr * dr + x * x);
      if (g2 < bestG2) {
        bestG2 = g2;
        best.mode = PHYS_LC;
        best.c = c;
        best.l = l;
      }
    }
  }
  best.swr = physSwrFromGamma(std::sqrt(bestG2));
  return best;
}
