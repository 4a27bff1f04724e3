// The orientation average: the change to the linear basis against a direct
// evaluation of the phase matrix from one amplitude matrix, the Greek
// coefficients' order rules. The sphere limit, the identities, the dual
// instance (against differences) and the thread counts are checked through
// the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "tmatrix/detail_coupling.hpp"
#include "tmatrix/detail_helicity.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_mueller.hpp"
#include "tmatrix/detail_one_solve.hpp"
#include "vantok/special/clebsch.hpp"
#include "vantok/constants.hpp"
#include "vantok/memory.hpp"
#include "vantok/tmatrix/random_orientation.hpp"

namespace {

using vantok::Complex;
using namespace vantok::tmatrix;
using std::complex;

TMatrixModes<double> spheroid_modes(double x, double eps, std::size_t n) {
  auto r = driver::OneSolve{{.x = x, .eps = eps, .m = {1.5, 0.02}}, 1e-6, Precision::F64, nullptr}({n, 2 * n, n});
  EXPECT_TRUE(r.has_value());
  return r ? r->modes : TMatrixModes<double>{};
}

TEST(Mueller, LinearBasisOfOneAmplitudeMatrix) {
  // X(q) = S_ab conj(S_cd) of one circular-basis matrix S; the linear-basis
  // amplitudes are S' = A S A^H = [[S2, S3], [S4, S1]].
  const complex<double> s[2][2] = {{{0.3, -1.2}, {0.7, 0.4}}, {{-0.5, 0.9}, {1.1, 0.2}}};
  std::vector<Complex<double>> x(16);
  for (std::size_t q = 0; q < 16; ++q) {
    const complex<double> v = s[q >> 3][(q >> 2) & 1] * std::conj(s[(q >> 1) & 1][q & 1]);
    x[q] = {v.real(), v.imag()};
  }
  const double h = std::sqrt(0.5);
  const complex<double> a[2][2] = {{h, h}, {{0, h}, {0, -h}}};
  complex<double> lin[2][2];
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      lin[i][j] = 0.0;
      for (int k = 0; k < 2; ++k) {
        for (int l = 0; l < 2; ++l) lin[i][j] += a[i][k] * s[k][l] * std::conj(a[j][l]);
      }
    }
  }
  const complex<double> s2 = lin[0][0], s3 = lin[0][1], s4 = lin[1][0], s1 = lin[1][1];
  const double want[6] = {0.5 * (std::norm(s1) + std::norm(s2) + std::norm(s3) + std::norm(s4)),
                          0.5 * (std::norm(s2) - std::norm(s1) + std::norm(s4) - std::norm(s3)),
                          0.5 * (std::norm(s1) + std::norm(s2) - std::norm(s3) - std::norm(s4)),
                          (s1 * std::conj(s2) + s3 * std::conj(s4)).real(),
                          (s2 * std::conj(s1) + s4 * std::conj(s3)).imag(),
                          (s1 * std::conj(s2) - s3 * std::conj(s4)).real()};
  const auto f = random::mueller<double>(x, 1);
  for (std::size_t e = 0; e < 6; ++e) EXPECT_NEAR(f[e][0], want[e], 1e-14) << "element " << e;

  // Only X(0, u) = 1: F11 = F44 = 1/2 at that cosine, all else 0.
  std::vector<Complex<double>> one(32, {0.0, 0.0});
  one[1] = {1.0, 0.0};
  const auto g = random::mueller<double>(one, 2);
  const double at1[6] = {0.5, 0.0, 0.0, 0.0, 0.0, 0.5};
  for (std::size_t e = 0; e < 6; ++e) {
    EXPECT_LE(std::fabs(g[e][1] - at1[e]), 1e-15) << e;
    EXPECT_EQ(g[e][0], 0.0) << e;
  }
  for (const auto& v : random::mueller<double>({}, 0)) EXPECT_TRUE(v.empty());
}

TEST(GreekRaw, OrdersAndVanishingEntries) {
  const std::size_t n = 6;
  const auto modes = spheroid_modes(2.0, 2.0, n);
  auto zero = random::greek_raw<double>(modes, 0);
  ASSERT_TRUE(zero.has_value());
  for (const auto* v : zero->vectors()) EXPECT_EQ(v->size(), 1u);
  auto full = random::greek_raw<double>(modes, 1000);
  ASSERT_TRUE(full.has_value());
  for (const auto* v : full->vectors()) EXPECT_EQ(v->size(), 2 * n + 1);
  // The lowest order alone does not depend on how many orders are projected
  // (its value and the zero entries are checked through the run).
  EXPECT_NEAR(zero->alpha1[0], full->alpha1[0], 1e-15 * full->alpha1[0]);
}

// With the rest of the work budget held by other calls the projections are
// formed one M at a time instead of all at once: the same bits.
TEST(GreekRaw, ProjectionBatchesKeepTheBits) {
  const auto modes = spheroid_modes(2.0, 2.0, 8);
  const auto all_at_once = random::greek_raw<double>(modes, 16);
  const vantok::memory::Lease others = vantok::memory::lease(0, vantok::memory::work_free());
  const auto one_at_a_time = random::greek_raw<double>(modes, 16);
  ASSERT_TRUE(all_at_once);
  ASSERT_TRUE(one_at_a_time);
  const auto a = all_at_once->vectors();
  const auto b = one_at_a_time->vectors();
  for (std::size_t v = 0; v < 6; ++v) {
    ASSERT_EQ(a[v]->size(), b[v]->size());
    EXPECT_EQ(std::memcmp(a[v]->data(), b[v]->data(), a[v]->size() * sizeof(double)), 0) << v;
  }
}

// The coupled tables against their sum written out per entry, one
// Clebsch-Gordan call per (n, n', m >= 0) and the mirrored list for -m:
// B_t(n, n')[L - |n - n'|] = sum over m ascending of
// (-1)^(n' - m) <n m n' -m | L 0> H_t(m, n, n'), bit for bit (the tables share
// one call's list between (n, n') and (n', n)).
TEST(CoupledTables, EveryEntryIsItsSumInAscendingM) {
  const std::size_t n_max = 7;
  const auto modes = spheroid_modes(2.5, 1.6, n_max);
  const random::Coupled<double> b = random::coupled_tables<double>(modes);
  std::vector<random::KindTables<double>> kinds;
  for (std::size_t m = 0; m <= n_max; ++m) kinds.emplace_back(modes.modes[m], n_max);
  std::vector<double> cg;
  for (std::size_t n = 1; n <= n_max; ++n) {
    for (std::size_t n2 = 1; n2 <= n_max; ++n2) {
      const auto low = static_cast<std::int64_t>(std::min(n, n2));
      const std::size_t base = n > n2 ? n - n2 : n2 - n;
      std::vector<Complex<double>> sums(4 * (2 * low + 1), {0.0, 0.0});
      for (std::int64_t m = -low; m <= low; ++m) {
        const auto am = static_cast<std::int64_t>(m < 0 ? -m : m);
        const std::int64_t l_min = vantok::special::clebsch::clebsch_gordan<double>(
            static_cast<std::int64_t>(n), am, static_cast<std::int64_t>(n2), -am, cg);
        if (m < 0) random::mirror_signs(cg, static_cast<std::int64_t>(n + n2), l_min);
        const auto h = random::helicity(kinds[static_cast<std::size_t>(am)], n, n2, m < 0);
        const bool subtract = random::parity_sign(static_cast<std::int64_t>(n2) - m) < 0.0;
        for (std::size_t t = 0; t < 4; ++t) {
          if (random::negligible(h[t])) continue;
          for (std::size_t i = 0; i < cg.size(); ++i) {
            Complex<double>& acc = sums[t * (2 * low + 1) + static_cast<std::size_t>(l_min) + i - base];
            const Complex<double> term = vantok::complex::scale(cg[i], h[t]);
            acc = subtract ? acc - term : acc + term;
          }
        }
      }
      for (std::size_t t = 0; t < 4; ++t) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(2 * low + 1); ++i) {
          const Complex<double> want = sums[t * (2 * low + 1) + i];
          const Complex<double> got = b.at(t, n, n2)[i];
          EXPECT_EQ(std::memcmp(&got, &want, sizeof(want)), 0) << t << " " << n << " " << n2 << " " << i;
        }
      }
    }
  }
}

// The f64 average runs its collapse, products and Z rows in lanes; the dual
// instance runs the plain loops. On blocks without partials the dual values
// are the f64 values bit for bit.
TEST(RandomOrientation, LanesKeepTheBitsOfThePlainLoops) {
  const std::size_t n_max = 9;
  const auto modes = spheroid_modes(3.0, 1.7, n_max);
  TMatrixModes<vantok::scalar::DualF64> dual;
  dual.n_terms = modes.n_terms;
  for (const auto& m : modes.modes) {
    auto& d = dual.modes.emplace_back();
    d.rows = m.rows;
    for (std::size_t p = 0; p < 2; ++p) {
      for (const auto& z : m.t[p]) {
        d.t[p].push_back({vantok::scalar::DualF64::constant(z.re), vantok::scalar::DualF64::constant(z.im)});
      }
    }
  }
  std::vector<double> mu;
  std::vector<vantok::scalar::DualF64> mu_dual;
  for (std::size_t u = 0; u < 11; ++u) {  // two blocks of four and three more
    mu.push_back(-0.95 + 0.19 * static_cast<double>(u));
    mu_dual.push_back(vantok::scalar::DualF64::constant(mu.back()));
  }
  const auto plain = random::random_orientation<double>(modes, mu);
  const auto lanes_off = random::random_orientation<vantok::scalar::DualF64>(dual, mu_dual);
  for (std::size_t e = 0; e < 6; ++e) {
    ASSERT_EQ(plain[e].size(), mu.size());
    for (std::size_t u = 0; u < mu.size(); ++u) {
      const double v = lanes_off[e][u].value;
      EXPECT_EQ(std::memcmp(&plain[e][u], &v, sizeof(double)), 0) << e << " " << u;
    }
  }
}

// The integral of F11 over the sphere is the scattering cross section for any
// T-matrix, rotations being unitary: raw alpha1_0 = C_sca / (4 pi), with
// C_sca = 2 pi sum_m w_m sum |T|^2. Blocks whose entries do not fall off with
// the order (as those of a large particle near its highest orders) at
// N = 112 make every pair of orders count, among them the lists of
// <n n n' -+1 | L M> with n' near 2n whose 3j symbols rise through a
// classically forbidden region at small L. No rounding grows here: the
// identity holds to about 1e-13.
TEST(RandomOrientation, ScatteringIntegralOfBlocksLargeAtEveryOrder) {
  const std::size_t n_max = 112;
  TMatrixModes<double> modes;
  modes.n_terms = n_max;
  std::mt19937_64 gen(112);
  std::uniform_real_distribution<double> uniform(-0.05, 0.05);
  for (std::size_t m = 0; m <= n_max; ++m) {
    auto& mode = modes.modes.emplace_back();
    mode.rows = kernel::row_lists(m, n_max);
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k = mode.rows[p].size();
      for (std::size_t i = 0; i < k * k; ++i) mode.t[p].push_back({uniform(gen), uniform(gen)});
    }
  }
  const auto raw = random::greek_raw<double>(modes, 0);
  ASSERT_TRUE(raw.has_value());
  const double c_sca = modes.cross_sections().second;
  const double four_pi = vantok::constants::FOUR_PI;
  EXPECT_NEAR(raw->alpha1[0] * four_pi / c_sca, 1.0, 1e-12) << raw->alpha1[0] * four_pi << " " << c_sca;
}

}  // namespace
