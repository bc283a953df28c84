// The network and antenna model behind the simulated amplifier.
#include <gtest/gtest.h>

#include "sim/physics.h"
#include "tuner/tune_memory.h"

namespace {

TEST(Physics, AntennasLookLikeAntennas) {
  // Half-wave dipole: about 73 ohm where the reactance crosses zero.
  double fRes = 0;
  for (double f = 6.0e6; f < 8.0e6; f += 1e3) {
    if (physDipoleImpedance(21.1, 1e-3, f).imag() > 0) {
      fRes = f;
      break;
    }
  }
  ASSERT_GT(fRes, 6.8e6);
  ASSERT_LT(fRes, 7.3e6);
  EXPECT_NEAR(physDipoleImpedance(21.1, 1e-3, fRes).real(), 73.0, 3.0);
  // Short: small R, strongly capacitive. Full wave: kilo-ohms.
  Cplx shortD = physDipoleImpedance(21.1, 1e-3, 1.85e6);
  EXPECT_LT(shortD.real(), 10.0);
  EXPECT_LT(shortD.imag(), -1000.0);
  EXPECT_GT(std::abs(physDipoleImpedance(21.1, 1e-3, 2 * fRes)), 2000.0);
  // A quarter-wave wire against ground: about half the dipole plus ground loss.
  Cplx q = physMonopoleImpedance(10.55, 1e-3, 20.0, fRes);
  EXPECT_NEAR(q.real(), 73.0 / 2 + 20.0, 3.0);
  // The dummy load is a dummy load.
  PhysLoad dummy;
  dummy.kind = PHYS_LOAD_DUMMY;
  EXPECT_LT(physSwrForWord(kTuneBypass, 14e6, physLoadImpedance(dummy, 14e6)), 1.05);
}

TEST(Physics, NetworkTopologies) {
  Cplx z(20, -30);
  double f = 10e6, w = 2 * M_PI * f;
  // Bypass and a word without mode: the load itself.
  EXPECT_EQ(physNetworkInput(PHYS_BYPASS, 100, 100, f, z), z);
  EXPECT_EQ(physNetworkInput(PHYS_NONE, 100, 100, f, z), z);
  // CL with C = 0: only the inductor in series.
  Cplx cl0 = physNetworkInput(PHYS_CL, 0, 20, f, z);
  EXPECT_NEAR(cl0.imag(), -30 + w * 1e-6, 1e-6);
  EXPECT_NEAR(cl0.real(), 20 + w * 1e-6 / kPhysQInd, 1e-6);
  // CL: capacitor across the transmitter side; LC: across the load.
  Cplx zl(w * 1e-6 / kPhysQInd, w * 1e-6);
  Cplx yc(w * 100e-12 / kPhysQCap, w * 100e-12);
  Cplx cl = physNetworkInput(PHYS_CL, 10, 20, f, z);
  Cplx lc = physNetworkInput(PHYS_LC, 10, 20, f, z);
  EXPECT_NEAR(std::abs(cl - 1.0 / (yc + 1.0 / (zl + z))), 0, 1e-9);
  EXPECT_NEAR(std::abs(lc - (zl + 1.0 / (yc + 1.0 / z))), 0, 1e-9);
  // Reflection and SWR.
  EXPECT_NEAR(physGamma(Cplx(50, 0)), 0, 1e-12);
  EXPECT_NEAR(physSwrFromGamma(physGamma(Cplx(100, 0))), 2.0, 1e-9);
  EXPECT_EQ(physSwrFromGamma(1.0), 100.0);
  EXPECT_EQ(physSwrForWord(kTuneBypass, f, Cplx(0, 0)), 100.0);  // a dead short
}

TEST(Physics, ExhaustiveBestIsTheMinimumOverEverySetting) {
  Cplx z(12, -20);
  double f = 14.1e6;
  PhysBest b = physExhaustiveBest(f, z);
  uint32_t word = TuneWordWithI(TuneWordWithC(b.mode == PHYS_CL ? kTuneCL : kTuneLC, b.c), b.l);
  EXPECT_NEAR(physSwrForWord(word, f, z), b.swr, 1e-9);
  EXPECT_LT(b.swr, 1.2);
  // No setting on a coarse grid does better.
  for (int mode : {PHYS_CL, PHYS_LC})
    for (int c = 0; c < 512; c += 3)
      for (int l = 0; l < 512; l += 3)
        ASSERT_GE(physSwrFromGamma(physGamma(physNetworkInput(mode, c, l, f, z))), b.swr - 1e-9);
  // The components' losses keep a transformed load a little above 1.
  EXPECT_GT(b.swr, 1.001);
}

}  // namespace
