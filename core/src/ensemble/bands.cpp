// Greek bands: band keys, the Gauss-Legendre rule of each band and its
// parity-split angular tables.
//
// Angular functions (upward recurrences, stable for |mu| <= 1):
//   pi_0 = 0, pi_1 = 1, pi_{k+1} = ((2k+1) mu pi_k - (k+1) pi_{k-1}) / k,
//   tau_k = k mu pi_k - (k+1) pi_{k-1}.
// pi_k(-mu) = (-1)^(k-1) pi_k(mu) and tau_k(-mu) = (-1)^k tau_k(mu), so the
// tables at mu >= 0 give the amplitudes at -mu as well (band_amplitudes.cpp).
#include "ensemble/detail_bands.hpp"

#include "ensemble/detail_kronrod.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/gauss_legendre.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <set>
#include <variant>

namespace vantok::ensemble::engine {

using matrix::Mat;

namespace {

struct Shape {
  std::size_t order;
  std::size_t n_nodes;
};

// L_b = min(2K, L) and n = K + floor(L_b/2) + 1, saturating.
Shape shape(std::size_t key, std::size_t order_limit) {
  const std::size_t order = std::min(sat_mul<std::size_t>(2, key), order_limit);
  return {order, sat_add<std::size_t>(sat_add(key, order / 2), 1)};
}

// The half tables, column (term) by column, all rows advancing together.
void angular_tables(Band& band) {
  const std::size_t first = band.n_nodes / 2;
  const std::size_t rows = band.half();
  // Every element is written below.
  band.even = Mat::uninitialized(rows, band.key);
  band.odd = Mat::uninitialized(rows, band.key);
  std::vector<double> pi_prev(rows, 0.0);
  std::vector<double> pi(rows, 1.0);
  const std::span<const double> mu(band.nodes.data() + first, rows);
  for (std::size_t k = 1; k <= band.key; ++k) {
    const auto kf = static_cast<double>(k);
    const auto k1 = static_cast<double>(k + 1);
    const auto two_k1 = static_cast<double>(2 * k + 1);
    const double c = two_k1 / static_cast<double>(k * (k + 1));
    // pi_k is even in mu for odd k, tau_k for even k.
    const std::span<double> pi_column = (k % 2 == 1 ? band.even : band.odd).column(k - 1);
    const std::span<double> tau_column = (k % 2 == 1 ? band.odd : band.even).column(k - 1);
    for (std::size_t i = 0; i < rows; ++i) {
      const double tau = (kf * mu[i]) * pi[i] - k1 * pi_prev[i];
      pi_column[i] = c * pi[i];
      tau_column[i] = c * tau;
      const double pi_next = ((two_k1 * mu[i]) * pi[i] - k1 * pi_prev[i]) / kf;
      pi_prev[i] = pi[i];
      pi[i] = pi_next;
    }
  }
}

Result<Band> build(std::size_t key, std::size_t order_limit, std::size_t offset) {
  const Shape s = shape(key, order_limit);
  Band band;
  band.key = key;
  band.order = s.order;
  band.n_nodes = s.n_nodes;
  band.offset = offset;
  VANTOK_TRY(rule, special::gauss_legendre::gauss_legendre<double>(s.n_nodes));
  band.nodes = std::move(rule.first);
  band.weights = std::move(rule.second);
  angular_tables(band);
  return band;
}

}  // namespace

namespace {

// Every key, 1, 2, 3, ..., up to the largest value of size_t (where the
// saturating steps stop), made once by the keys' own recurrence. Never
// destroyed: threads the process exit does not wait for (an interpreter's
// daemon threads, the pool's workers) may still read it while it exits.
const std::vector<std::size_t>& all_keys() {
  static const std::vector<std::size_t>& keys = *[] {
    auto* out = new std::vector<std::size_t>{1};
    for (;;) {
      const std::size_t next = sat_cast<std::size_t>(std::ceil(1.25 * static_cast<double>(out->back())));
      if (next <= out->back()) break;
      out->push_back(next);
    }
    return out;
  }();
  return keys;
}

}  // namespace

std::size_t band_key(std::size_t n_terms) {
  // The first key k >= N: the recurrence k = ceil(1.25 k) from 1 stops there.
  const std::vector<std::size_t>& keys = all_keys();
  const auto it = std::lower_bound(keys.begin(), keys.end(), n_terms);
  return it != keys.end() ? *it : keys.back();
}

Result<std::size_t> panel_terms(const particle::Optics& optics, const mie::SolveOptions& options,
                                double t_lo, double t_hi, double wavelength) {
  const detail::PanelRule rule(t_lo, t_hi);
  std::size_t most = 0;
  for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
    const double r = std::exp(rule.node(i).t);
    auto n_terms = optics.n_terms(options, size_parameter(r, wavelength));
    if (!n_terms) return std::unexpected(context(std::move(n_terms).error(), wavelength, r));
    most = std::max(most, *n_terms);
  }
  return most;
}

Result<std::vector<std::size_t>> band_keys(std::span<const Part> parts,
                                           std::span<const std::vector<std::size_t>> groups,
                                           std::span<const Pass1> records, double wavelength,
                                           std::size_t index, const EnsembleOptions& options) {
  VANTOK_ASSERT(records.size() == groups.size());
  const mie::SolveOptions solve{std::nullopt, options.allow_unvalidated};
  std::set<std::size_t> keys;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    VANTOK_ASSERT(!groups[g].empty() && groups[g].front() < parts.size());
    const Part& first = parts[groups[g].front()];
    if (std::holds_alternative<support::Point>(first.support)) {
      keys.insert(band_key(records[g].max_terms));
      continue;
    }
    const particle::Optics optics = particle::Optics::at(first.component->particle, index);
    for (const auto& [t_lo, t_hi] : records[g].panels) {
      VANTOK_TRY(n_terms, panel_terms(optics, solve, t_lo, t_hi, wavelength));
      keys.insert(band_key(n_terms));
    }
  }
  return std::vector<std::size_t>(keys.begin(), keys.end());
}

std::size_t greek_order_limit(const GreekSelection& greek, std::size_t n_max) {
  switch (greek.kind) {
    case GreekSelection::Kind::All:
      return sat_mul<std::size_t>(2, n_max);
    case GreekSelection::Kind::UpTo:
      return greek.order;
    case GreekSelection::Kind::Off:
      return 0;
  }
  return 0;
}

std::size_t band_nodes(std::size_t key, std::size_t order_limit) { return shape(key, order_limit).n_nodes; }

std::size_t band_storage(std::size_t key, std::size_t order_limit) {
  const Shape s = shape(key, order_limit);
  const std::size_t rule = sat_mul<std::size_t>(2, s.n_nodes);
  const std::size_t half = s.n_nodes - s.n_nodes / 2;
  const std::size_t tables = sat_mul(sat_mul<std::size_t>(2, half), key);
  return sat_add(rule, tables);
}

const Band* Layout::band(std::size_t key) const noexcept {
  const auto it = std::lower_bound(bands.begin(), bands.end(), key,
                                   [](const Band& b, std::size_t k) { return b.key < k; });
  return it != bands.end() && it->key == key ? &*it : nullptr;
}

Result<std::size_t> layout_storage(std::span<const std::size_t> keys, std::size_t order_limit) {
  std::size_t storage = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    VANTOK_ASSERT(i == 0 || keys[i - 1] < keys[i]);
    const Shape s = shape(keys[i], order_limit);
    if (s.order > MAX_GREEK_ORDER) {
      return std::unexpected(Error::invalid_input("the Greek order must be at most " +
                                                  fmt::plain(MAX_GREEK_ORDER) + ", got " +
                                                  fmt::plain(s.order)));
    }
    if (s.n_nodes > MAX_GAUSS_LEGENDRE_POINTS) {
      // The rule refuses it with its own message, before allocating.
      VANTOK_CHECK(special::gauss_legendre::gauss_legendre<double>(s.n_nodes));
    }
    storage = sat_add(storage, band_storage(keys[i], order_limit));
  }
  return storage;
}

Result<Layout> layout(std::span<const std::size_t> keys, std::size_t order_limit,
                      std::span<const double> mu) {
  // Every band's limits first, in key order, then the storage of all of them,
  // then the bands.
  VANTOK_TRY(storage, layout_storage(keys, order_limit));
  memory::require_work(storage, sizeof(double), "the angular tables of the Greek quadrature");

  // The bands in parallel, each into its slot; the first error in key order.
  Layout out;
  out.mu = mu;
  std::vector<std::size_t> offsets(keys.size());
  // The band blocks follow the base range (base_quantities), key after key.
  std::size_t offset = sat_add<std::size_t>(quantity2::SCALARS, sat_mul(PHASE_ELEMENTS, mu.size()));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    offsets[i] = offset;
    offset = sat_add(offset, sat_mul(PHASE_ELEMENTS, shape(keys[i], order_limit).n_nodes));
  }
  std::vector<std::optional<Result<Band>>> built(keys.size());
  pool::for_each_index(
      keys.size(), [&](std::size_t i) { built[i] = build(keys[i], order_limit, offsets[i]); }, pool::Grain::One);
  out.bands.reserve(keys.size());
  for (std::optional<Result<Band>>& band : built) {
    VANTOK_ASSERT(band.has_value());
    if (!*band) return std::unexpected(std::move(*band).error());
    out.bands.push_back(std::move(**band));
  }
  out.n_quantities = offset;
  return out;
}

}  // namespace vantok::ensemble::engine
