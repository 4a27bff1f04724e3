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
#include "vantok/pool.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <tuple>
#include <vector>

namespace vantok::mie {

using complex::scale;
using C = Complex<double>;

namespace {

using amplitudes::Angular;

// The rows w_n pi_n(mu_j) and w_n tau_n(mu_j) of one order at every cosine.
struct Rows {
  std::span<const double> p;
  std::span<const double> t;
};

// The rows of the orders 1, 2, ... in turn, by the recurrences.
class RecurrenceRows {
 public:
  explicit RecurrenceRows(std::span<const double> mu) : p_(mu.size()), t_(mu.size()) {
    angular_.reserve(mu.size());
    for (const double m : mu) angular_.push_back(Angular{m});
  }

  // The rows of order n; n must follow the previous call's order.
  Rows operator()(std::size_t n) {
    for (std::size_t j = 0; j < angular_.size(); ++j) std::tie(p_[j], t_[j]) = angular_[j].next(n);
    return {p_, t_};
  }

 private:
  std::vector<Angular> angular_;
  std::vector<double> p_;
  std::vector<double> t_;
};

// The rows of order n read from a table.
struct TableRows {
  const amplitudes::AngularTable& table;

  Rows operator()(std::size_t n) const {
    const std::size_t n_mu = table.mu.size();
    const std::size_t row = (n - 1) * n_mu;
    return {std::span<const double>(table.pi).subspan(row, n_mu), std::span<const double>(table.tau).subspan(row, n_mu)};
  }
};

// One coefficient sequence pair summed into one pair of amplitude buffers:
// (a, b) into (S1, S2), or a pair of their derivatives.
struct Series {
  std::span<const C> a;
  std::span<const C> b;
  amplitudes::AmplitudeBuffers out;
};

// The amplitude sums, the one place they are formed: every output starts at
// zero, and per order n and cosine j S1 += p a then t b, S2 += t a then p b,
// in ascending n, whatever gives the rows.
template <std::size_t K, class RowsOf>
void sum_amplitudes(std::size_t n_terms, std::size_t n_mu, const std::array<Series, K>& series, RowsOf&& rows_of) {
  for (const Series& s : series) {
    VANTOK_ASSERT(s.a.size() >= n_terms && s.b.size() >= n_terms && s.out.s1.size() == n_mu &&
                  s.out.s2.size() == n_mu);
    std::fill(s.out.s1.begin(), s.out.s1.end(), C{0.0, 0.0});
    std::fill(s.out.s2.begin(), s.out.s2.end(), C{0.0, 0.0});
  }
  // A stop check every 2^18 cosine-series steps, about a millisecond.
  vantok::stop::Pace pace(std::size_t{1} << 18);
  for (std::size_t n = 1; n <= n_terms; ++n) {
    pace.step(n_mu * K);
    const Rows rows = rows_of(n);
    for (std::size_t j = 0; j < n_mu; ++j) {
      const double p = rows.p[j];
      const double t = rows.t[j];
      for (const Series& s : series) {
        C& s1 = s.out.s1[j];
        C& s2 = s.out.s2[j];
        s1 = s1 + scale(p, s.a[n - 1]);
        s1 = s1 + scale(t, s.b[n - 1]);
        s2 = s2 + scale(t, s.a[n - 1]);
        s2 = s2 + scale(p, s.b[n - 1]);
      }
    }
  }
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
  RecurrenceRows rows_of(mu);
  for (std::size_t n = 1; n <= n_orders; ++n) {
    const Rows rows = rows_of(n);
    std::copy(rows.p.begin(), rows.p.end(), table.pi.begin() + static_cast<std::ptrdiff_t>((n - 1) * n_mu));
    std::copy(rows.t.begin(), rows.t.end(), table.tau.begin() + static_cast<std::ptrdiff_t>((n - 1) * n_mu));
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
  VANTOK_CHECK(check_buffers("amplitude", mu.size(), out));
  VANTOK_CHECK(amplitudes::check_cosines(mu));
  sum_amplitudes<1>(a.size(), mu.size(), {Series{a, b, out}}, RecurrenceRows(mu));
  return {};
}

Result<void> Coefficients::amplitudes_from_table(const AngularTable& table, AmplitudeBuffers out) const {
  VANTOK_CHECK(check_buffers("amplitude", table.mu.size(), out));
  VANTOK_CHECK(check_terms(a.size(), table));
  sum_amplitudes<1>(a.size(), table.mu.size(), {Series{a, b, out}}, TableRows{table});
  return {};
}

namespace {

// The value, x-derivative and m-derivative series of a derivative evaluation.
std::array<Series, 3> derivative_series(const Coefficients& c, const CoefficientDerivatives& d,
                                        AmplitudeBuffers values, AmplitudeBuffers dx, AmplitudeBuffers dm) {
  return {Series{c.a, c.b, values}, Series{d.da_dx, d.db_dx, dx}, Series{d.da_dm, d.db_dm, dm}};
}

Result<void> check_derivative_buffers(std::size_t n_mu, const AmplitudeBuffers& values, const AmplitudeBuffers& dx,
                                      const AmplitudeBuffers& dm) {
  VANTOK_CHECK(check_buffers("amplitude", n_mu, values));
  VANTOK_CHECK(check_buffers("derivative", n_mu, dx));
  VANTOK_CHECK(check_buffers("derivative", n_mu, dm));
  return {};
}

}  // namespace

Result<void> Coefficients::amplitudes_with_derivatives(const CoefficientDerivatives& d, std::span<const double> mu,
                                                       AmplitudeBuffers values, AmplitudeBuffers dx,
                                                       AmplitudeBuffers dm) const {
  VANTOK_CHECK(check_derivative_buffers(mu.size(), values, dx, dm));
  VANTOK_CHECK(amplitudes::check_cosines(mu));
  sum_amplitudes<3>(a.size(), mu.size(), derivative_series(*this, d, values, dx, dm), RecurrenceRows(mu));
  return {};
}

Result<void> Coefficients::amplitudes_with_derivatives_from_table(const CoefficientDerivatives& d,
                                                                  const AngularTable& table,
                                                                  AmplitudeBuffers values,
                                                                  AmplitudeBuffers dx,
                                                                  AmplitudeBuffers dm) const {
  VANTOK_CHECK(check_derivative_buffers(table.mu.size(), values, dx, dm));
  VANTOK_CHECK(check_terms(a.size(), table));
  sum_amplitudes<3>(a.size(), table.mu.size(), derivative_series(*this, d, values, dx, dm), TableRows{table});
  return {};
}

}  // namespace coefficients
}  // namespace vantok::mie
