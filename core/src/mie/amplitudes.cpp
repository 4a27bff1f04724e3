// Amplitudes S1, S2 from the Mie coefficients by the angular recurrences
//   pi_0 = 0, pi_1 = 1, pi_{n+1} = ((2n+1) mu pi_n - (n+1) pi_{n-1}) / n,
//   tau_n = n mu pi_n - (n+1) pi_{n-1},
// which are stable upward for every |mu| <= 1. The products p = w_n pi_n and
// t = w_n tau_n are formed by one routine for the table and the recurrence
// path, and both accumulate in ascending n, so the two paths agree bit for bit.
#include "vantok/mie/amplitudes.hpp"

#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/numeric.hpp"

#include <cmath>
#include <new>

namespace vantok::mie {

using complex::scale;
using C = Complex<double>;

namespace {

// The angular functions of one cosine, advanced order by order.
struct Angular {
  double mu;
  double pi_prev = 0.0;
  double pi = 1.0;

  // (w_n pi_n, w_n tau_n) at order n, then advance to order n + 1.
  std::pair<double, double> next(std::size_t n) {
    const auto nf = static_cast<double>(n);
    const auto n1 = static_cast<double>(n + 1);
    const auto two_n1 = static_cast<double>(2 * n + 1);
    const double w = two_n1 / static_cast<double>(n * (n + 1));
    const double p = w * pi;
    const double t = w * ((nf * mu) * pi - n1 * pi_prev);
    const double pi_next = ((two_n1 * mu) * pi - n1 * pi_prev) / nf;
    pi_prev = pi;
    pi = pi_next;
    return {p, t};
  }
};

// S1 += p a then t b; S2 += t a then p b.
inline void accumulate(C& s1, C& s2, double p, double t, const C& a, const C& b) {
  s1 = s1 + scale(p, a);
  s1 = s1 + scale(t, b);
  s2 = s2 + scale(t, a);
  s2 = s2 + scale(p, b);
}

Error buffer_error(const char* what, std::size_t n_mu, std::size_t len1, std::size_t len2) {
  return Error::invalid_input(std::string("the ") + what + " buffers must have one value per cosine (" +
                              fmt::plain(n_mu) + "), got " + fmt::plain(len1) + " and " +
                              fmt::plain(len2));
}

Result<void> check_buffers(const char* what, std::size_t n_mu, const amplitudes::AmplitudeBuffers& out) {
  if (out.s1.size() != n_mu || out.s2.size() != n_mu) {
    return std::unexpected(buffer_error(what, n_mu, out.s1.size(), out.s2.size()));
  }
  return {};
}

Result<void> check_terms(std::size_t n_terms, const amplitudes::AngularTable& table) {
  if (n_terms > table.n_orders) {
    return std::unexpected(Error::invalid_input("the solution has " + fmt::plain(n_terms) +
                                                " terms, more than the " + fmt::plain(table.n_orders) +
                                                " orders of the angular table"));
  }
  return {};
}

void fill_zero(const amplitudes::AmplitudeBuffers& out) {
  std::fill(out.s1.begin(), out.s1.end(), C{0.0, 0.0});
  std::fill(out.s2.begin(), out.s2.end(), C{0.0, 0.0});
}

}  // namespace

namespace amplitudes {

Result<void> check_cosines(std::span<const double> mu) {
  for (const double m : mu) {
    if (!(std::fabs(m) <= 1.0)) {
      return std::unexpected(Error::invalid_input(
          "a cosine of the scattering angle must be finite and in [-1, 1], and for dual numbers "
          "have finite derivative parts, got " +
          fmt::plain(m)));
    }
  }
  return {};
}

Result<AngularTable> AngularTable::create(std::span<const double> mu, std::size_t n_orders) {
  VANTOK_CHECK(check_cosines(mu));
  if (n_orders < 1 || n_orders > MAX_MIE_ORDER) {
    return std::unexpected(Error::invalid_input("the number of orders must be in [1, " +
                                                fmt::plain(MAX_MIE_ORDER) + "], got " +
                                                fmt::plain(n_orders)));
  }
  const std::size_t n_mu = mu.size();
  AngularTable table;
  std::size_t size = 0;
  bool fits = checked_mul(n_orders, n_mu, size) && size <= table.pi.max_size();
  if (fits) {
    try {
      table.pi.assign(size, 0.0);
      table.tau.assign(size, 0.0);
    } catch (const std::bad_alloc&) {
      fits = false;
    }
  }
  if (!fits) {
    return std::unexpected(Error::invalid_input("an angular table of " + fmt::plain(n_orders) +
                                                " orders at " + fmt::plain(n_mu) +
                                                " cosines is too large to allocate"));
  }
  std::vector<Angular> state;
  state.reserve(n_mu);
  for (const double m : mu) state.push_back(Angular{m});
  for (std::size_t n = 1; n <= n_orders; ++n) {
    const std::size_t row = (n - 1) * n_mu;
    for (std::size_t j = 0; j < n_mu; ++j) {
      const auto [p, t] = state[j].next(n);
      table.pi[row + j] = p;
      table.tau[row + j] = t;
    }
  }
  table.mu.assign(mu.begin(), mu.end());
  table.n_orders = n_orders;
  return table;
}

}  // namespace amplitudes

namespace coefficients {

using amplitudes::AmplitudeBuffers;
using amplitudes::AngularTable;

Result<void> Coefficients::amplitudes(std::span<const double> mu, AmplitudeBuffers out) const {
  const std::size_t n_mu = mu.size();
  VANTOK_CHECK(check_buffers("amplitude", n_mu, out));
  VANTOK_CHECK(amplitudes::check_cosines(mu));
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(b.size() >= n_terms);
  for (std::size_t j = 0; j < n_mu; ++j) {
    Angular angular{mu[j]};
    C s1{0.0, 0.0};
    C s2{0.0, 0.0};
    for (std::size_t n = 1; n <= n_terms; ++n) {
      const auto [p, t] = angular.next(n);
      accumulate(s1, s2, p, t, a[n - 1], b[n - 1]);
    }
    out.s1[j] = s1;
    out.s2[j] = s2;
  }
  return {};
}

Result<void> Coefficients::amplitudes_from_table(const AngularTable& table, AmplitudeBuffers out) const {
  const std::size_t n_mu = table.mu.size();
  VANTOK_CHECK(check_buffers("amplitude", n_mu, out));
  const std::size_t n_terms = a.size();
  VANTOK_CHECK(check_terms(n_terms, table));
  VANTOK_ASSERT(b.size() >= n_terms);
  fill_zero(out);
  for (std::size_t n = 1; n <= n_terms; ++n) {
    const std::size_t row = (n - 1) * n_mu;
    for (std::size_t j = 0; j < n_mu; ++j) {
      accumulate(out.s1[j], out.s2[j], table.pi[row + j], table.tau[row + j], a[n - 1], b[n - 1]);
    }
  }
  return {};
}

Result<void> Coefficients::amplitudes_with_derivatives(const CoefficientDerivatives& d,
                                                       std::span<const double> mu,
                                                       AmplitudeBuffers values, AmplitudeBuffers dx,
                                                       AmplitudeBuffers dm) const {
  const std::size_t n_mu = mu.size();
  VANTOK_CHECK(check_buffers("amplitude", n_mu, values));
  VANTOK_CHECK(check_buffers("derivative", n_mu, dx));
  VANTOK_CHECK(check_buffers("derivative", n_mu, dm));
  VANTOK_CHECK(amplitudes::check_cosines(mu));
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(b.size() >= n_terms && d.da_dx.size() >= n_terms && d.da_dm.size() >= n_terms &&
                d.db_dx.size() >= n_terms && d.db_dm.size() >= n_terms);
  for (std::size_t j = 0; j < n_mu; ++j) {
    Angular angular{mu[j]};
    C s1{0.0, 0.0}, s2{0.0, 0.0}, s1x{0.0, 0.0}, s2x{0.0, 0.0}, s1m{0.0, 0.0}, s2m{0.0, 0.0};
    for (std::size_t n = 1; n <= n_terms; ++n) {
      const auto [p, t] = angular.next(n);
      accumulate(s1, s2, p, t, a[n - 1], b[n - 1]);
      accumulate(s1x, s2x, p, t, d.da_dx[n - 1], d.db_dx[n - 1]);
      accumulate(s1m, s2m, p, t, d.da_dm[n - 1], d.db_dm[n - 1]);
    }
    values.s1[j] = s1;
    values.s2[j] = s2;
    dx.s1[j] = s1x;
    dx.s2[j] = s2x;
    dm.s1[j] = s1m;
    dm.s2[j] = s2m;
  }
  return {};
}

Result<void> Coefficients::amplitudes_with_derivatives_from_table(const CoefficientDerivatives& d,
                                                                  const AngularTable& table,
                                                                  AmplitudeBuffers values,
                                                                  AmplitudeBuffers dx,
                                                                  AmplitudeBuffers dm) const {
  const std::size_t n_mu = table.mu.size();
  VANTOK_CHECK(check_buffers("amplitude", n_mu, values));
  VANTOK_CHECK(check_buffers("derivative", n_mu, dx));
  VANTOK_CHECK(check_buffers("derivative", n_mu, dm));
  const std::size_t n_terms = a.size();
  VANTOK_CHECK(check_terms(n_terms, table));
  VANTOK_ASSERT(b.size() >= n_terms && d.da_dx.size() >= n_terms && d.da_dm.size() >= n_terms &&
                d.db_dx.size() >= n_terms && d.db_dm.size() >= n_terms);
  fill_zero(values);
  fill_zero(dx);
  fill_zero(dm);
  for (std::size_t n = 1; n <= n_terms; ++n) {
    const std::size_t row = (n - 1) * n_mu;
    for (std::size_t j = 0; j < n_mu; ++j) {
      const double p = table.pi[row + j];
      const double t = table.tau[row + j];
      accumulate(values.s1[j], values.s2[j], p, t, a[n - 1], b[n - 1]);
      accumulate(dx.s1[j], dx.s2[j], p, t, d.da_dx[n - 1], d.db_dx[n - 1]);
      accumulate(dm.s1[j], dm.s2[j], p, t, d.da_dm[n - 1], d.db_dm[n - 1]);
    }
  }
  return {};
}

}  // namespace coefficients
}  // namespace vantok::mie
