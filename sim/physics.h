// Electrical model of the amplifier's antenna tuner and of the antennas it
// feeds, used by the simulated amplifier, the autotune benchmark and tests.
//
// The tuner is an L network built from two binary-weighted 9-bit banks, as
// in a real relay tuner: bank bit k of the capacitor is 2^k x 10 pF (up to
// 5.11 nF), bank bit k of the inductor is 2^k x 0.05 uH (up to 25.55 uH).
// CL puts the capacitor across the transmitter side with the inductor in
// series towards the antenna; LC puts the inductor in series from the
// transmitter and the capacitor across the antenna. Both components have a
// finite Q, so a perfect match is never quite reached.
#pragma once
#include <complex>
#include <cstdint>

typedef std::complex<double> Cplx;

// Component steps and losses.
constexpr double kPhysCapStep = 10e-12;   // farad per unit of ValC
constexpr double kPhysIndStep = 0.05e-6;  // henry per unit of ValI
constexpr double kPhysQInd = 120.0;       // inductor Q (series loss)
constexpr double kPhysQCap = 1500.0;      // capacitor Q (parallel loss)
constexpr double kPhysZ0 = 50.0;          // system impedance, ohm

// Network modes, as in the tune word.
enum PhysMode { PHYS_NONE = 0, PHYS_CL = 1, PHYS_LC = 2, PHYS_BYPASS = 3 };

// Tune word decoding, written independently of the controller's codec.
int physWordC(uint32_t word);
int physWordL(uint32_t word);
// 1 CL, 2 LC, 3 bypass, 0 when no mode bit or more than one is set.
int physWordMode(uint32_t word);

// Antenna loads.
enum PhysLoadKind {
  PHYS_LOAD_DIPOLE = 0,   // centre-fed dipole of 2 x 10.55 m, resonant near 7.1 MHz
  PHYS_LOAD_ENDFED = 1,   // 12 m end-fed wire against a modest counterpoise
  PHYS_LOAD_DUMMY = 2,    // 50 ohm dummy load with a little lead inductance
  PHYS_LOAD_FIXED = 3,    // the complex impedance given, at every frequency
};

struct PhysLoad {
  PhysLoadKind kind = PHYS_LOAD_DUMMY;
  Cplx z{50.0, 0.0};  // used by PHYS_LOAD_FIXED
};

// Load impedance at frequency f (Hz).
Cplx physLoadImpedance(const PhysLoad& load, double f);

// Wire antenna helpers, exposed for tests: centre-fed dipole of total
// length len (m), wire radius a (m); and an end-fed wire (monopole against
// ground) of length len with an extra series ground-loss resistance.
Cplx physDipoleImpedance(double len, double a, double f);
Cplx physMonopoleImpedance(double len, double a, double groundLoss, double f);

// Input impedance of the network set to (mode, C, L) in front of zLoad.
Cplx physNetworkInput(int mode, int c, int l, double f, Cplx zLoad);
// |reflection coefficient| of zin against kPhysZ0.
double physGamma(Cplx zin);
// SWR from |gamma|, capped at 100.
double physSwrFromGamma(double gamma);
// SWR seen by the transmitter for a tune word.
double physSwrForWord(uint32_t word, double f, Cplx zLoad);

// Best SWR over every setting of both networks (2 x 512 x 512).
struct PhysBest {
  double swr = 100.0;
  int mode = PHYS_CL;
  int c = 0;
  int l = 0;
};
PhysBest physExhaustiveBest(double f, Cplx zLoad);
