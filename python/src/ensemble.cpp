// The ensemble functions: `ensemble_parameters` (the names of the
// differentiable parameters), `ensemble_compute` (one component or a mixture
// at many wavelengths, with derivatives) and `ensemble_compute_batch` (several
// distributions of one particle on shared size nodes). With the interpreter
// lock held, the arguments are parsed and the input arrays measured (borrowed,
// not copied); the output size and every check that reads a shape run on
// those measures; only then are the arrays copied (within the work budget)
// and checked whole. With the lock released the core checks the whole
// request and integrates every wavelength in parallel within the work budget,
// and the rows are laid out into dense arrays; the dict of NumPy arrays is
// made once the lock is back.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "arrays.hpp"
#include "ensemble.hpp"
#include "errors.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "vantok/ensemble/ensemble.hpp"
#include "vantok/ensemble/result.hpp"
#include "vantok/ensemble/run.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"

namespace vantok_py::ensemble {

namespace {

using vantok::ensemble::Component;
using vantok::ensemble::EnsembleOptions;
using vantok::ensemble::EnsembleParam;
using vantok::ensemble::EnsembleResult;
using vantok::ensemble::GreekSelection;
using vantok::ensemble::Naming;
using vantok::ensemble::OUTPUT_COUNT;
using vantok::ensemble::Outputs;
using vantok::ensemble::Particle;
using vantok::ensemble::ParticleShape;
using vantok::ensemble::SizeDistribution;

constexpr std::size_t GREEK_ROWS = 6;
constexpr std::size_t PHASE_ROWS = 4;
using vantok::checked_mul;
using vantok::sat_mul;

vantok::Error invalid(std::string message) { return vantok::Error::invalid_input(std::move(message)); }

std::string decimal(std::uint64_t n) { return vantok::fmt::plain(n); }

// "... would exceed 2 * MAX_MIE_VALUES = 268435456 real values".
vantok::Error too_many(const char* what) {
  return invalid(std::string(what) + " would exceed " + REAL_VALUES.limit_name + " = " + decimal(REAL_VALUES.limit) +
                 " " + REAL_VALUES.kind);
}

/// The scalar arguments both compute functions share.
struct Settings {
  std::optional<std::uint64_t> greek;
  double rtol = 0.0;
  std::uint64_t max_panels = 0;
  bool all_orders = false;
  bool normalized = false;
  bool allow_unvalidated = false;
  bool refine_backscatter = false;

  /// The run's options (without their cosines, which the caller copies once
  /// this guard has passed) and its Greek selection, after the Greek-order
  /// limit and the output-size guard over `rows` rows of `parameter_count`
  /// derivative sets and n_mu cosines: rows (B + 4 n_mu) (2P + 2) real values,
  /// B = 11 + 6 (L + 1) with Greek coefficients up to L, else 11 (all orders
  /// are guarded once their length is known).
  vantok::Result<std::pair<EnsembleOptions, GreekSelection>> options(std::size_t n_mu,
                                                                      std::vector<EnsembleParam> params,
                                                                      std::uint64_t rows,
                                                                      std::size_t parameter_count) const {
    GreekSelection selection = GreekSelection::off();
    std::uint64_t per_row = OUTPUT_COUNT;
    if (all_orders) {
      selection = GreekSelection::all();
    } else if (greek) {
      if (*greek > vantok::MAX_GREEK_ORDER) {
        return std::unexpected(invalid("the Greek order must be at most " + decimal(vantok::MAX_GREEK_ORDER) +
                                       ", got " + decimal(*greek)));
      }
      selection = GreekSelection::up_to(static_cast<std::size_t>(*greek));
      per_row += GREEK_ROWS * (*greek + 1);
    }
    const std::uint64_t count = sat_mul<std::uint64_t>(rows, per_row + sat_mul<std::uint64_t>(PHASE_ROWS, n_mu));
    std::uint64_t total = 0;
    if (!checked_mul<std::uint64_t>(count, 2 * static_cast<std::uint64_t>(parameter_count) + 2, total) ||
        total > REAL_VALUES.limit) {
      return std::unexpected(too_many("the ensemble outputs"));
    }
    EnsembleOptions out;
    out.refine_order = std::nullopt;
    out.greek = selection;
    out.params = std::move(params);
    out.rtol = rtol;
    out.max_panels = static_cast<std::size_t>(max_panels);
    out.unnormalized = !normalized;
    out.allow_unvalidated = allow_unvalidated;
    out.refine_backscatter = refine_backscatter;
    return std::pair{std::move(out), selection};
  }
};

/// The length G of the Greek axis: none without Greek coefficients, L + 1 up
/// to L, and for all orders the longest alpha1 among the rows' values (a row
/// without Greek coefficients counting 1), at least 1.
std::optional<std::size_t> greek_length(const GreekSelection& selection, std::span<const EnsembleResult> rows) {
  switch (selection.kind) {
    case GreekSelection::Kind::Off:
      return std::nullopt;
    case GreekSelection::Kind::UpTo:
      return selection.order + 1;
    case GreekSelection::Kind::All:
      break;
  }
  std::size_t longest = 1;
  for (const EnsembleResult& row : rows) {
    if (row.value.greek) longest = std::max(longest, row.value.greek->alpha1.size());
  }
  return longest;
}

/// The four records of one set of a row: the values, their errors, derivative
/// k and its errors (set 2 + 2k and 3 + 2k).
const Outputs& record(const EnsembleResult& row, std::size_t set) {
  if (set == 0) return row.value;
  if (set == 1) return row.error;
  const std::size_t k = (set - 2) / 2;
  return set % 2 == 0 ? row.d[k] : row.d_errors[k];
}

/// The result arrays of n rows, each owning its buffer. Sets are laid out as
/// four arrays: values and errors (rows, n, ...), derivatives and their errors
/// (P, rows, n, ...).
struct Arrays {
  std::size_t n = 0;
  std::size_t parameters = 0;
  std::optional<std::size_t> greek_length;
  std::size_t cosines = 0;
  std::array<Buffer<double>, 4> values;  // (11, n), (11, n), (P, 11, n), (P, 11, n)
  std::array<Buffer<double>, 4> greek;   // (6, n, G) ... (P, 6, n, G), when G is given
  std::array<Buffer<double>, 4> phase;   // (4, n, Q) ... (P, 4, n, Q), when Q > 0
  Buffer<bool> converged;
  Buffer<std::uint64_t> panels;
};

/// Allocates one quantity's four buffers of `per_set` values per row and set,
/// and fills them in C order: fill(record, out) writes one record's values.
template <class Fill>
Outcome<std::array<Buffer<double>, 4>> lay_out(std::span<const EnsembleResult> rows, std::size_t parameters,
                                               std::size_t per_set, Fill&& fill) {
  std::array<Buffer<double>, 4> out;
  for (std::size_t a = 0; a < 4; ++a) {
    const std::size_t sets = a < 2 ? 1 : parameters;
    VANTOK_TRY(buffer, zeros<double>(sets * per_set * rows.size(), "the ensemble outputs"));
    double* at = buffer.data();
    for (std::size_t k = 0; k < sets; ++k) {
      const std::size_t set = a < 2 ? a : 2 + 2 * k + (a - 2);
      fill([&](const EnsembleResult& row) -> const Outputs& { return record(row, set); }, at);
      at += per_set * rows.size();
    }
    out[a] = std::move(buffer);
  }
  return out;
}

/// The rows as dense arrays: P derivative sets, G orders (none without Greek
/// coefficients), Q cosines. Checks the Greek coefficients' size first when
/// G is given. Lock-free.
Outcome<Arrays> arrays(std::span<const EnsembleResult> rows, std::size_t parameters, std::optional<std::size_t> G,
                       std::size_t Q) {
  const std::size_t n = rows.size();
  // Rows the engine built for these options have every record asked for.
  for (const EnsembleResult& row : rows) {
    VANTOK_ASSERT(row.d.size() >= parameters && row.d_errors.size() >= parameters);
    for (std::size_t set = 0; set < 2 + 2 * parameters; ++set) {
      const Outputs& o = record(row, set);
      VANTOK_ASSERT(!G || o.greek.has_value());
      VANTOK_ASSERT(Q == 0 || (o.phase.has_value() && std::ranges::all_of(*o.phase, [&](const auto& f) {
                                 return f.size() == Q;
                               })));
    }
  }
  Arrays out{n, parameters, G, Q, {}, {}, {}, {}, {}};
  // values[i, j] = entry i of row j's record.
  VANTOK_TRY(values, lay_out(rows, parameters, OUTPUT_COUNT, [&](auto pick, double* at) {
               for (std::size_t i = 0; i < OUTPUT_COUNT; ++i) {
                 for (const EnsembleResult& row : rows) *at++ = pick(row).values[i];
               }
             }));
  out.values = std::move(values);
  if (G) {
    // Six coefficients, values and errors, for the values and each parameter.
    std::uint64_t total = 0;
    if (!checked_mul<std::uint64_t>(sat_mul<std::uint64_t>(n, *G), 12 * (static_cast<std::uint64_t>(parameters) + 1), total) ||
        total > REAL_VALUES.limit) {
      return std::unexpected(too_many("the Greek coefficients"));
    }
    // greek[c, j, l]: zero above a row's own orders.
    VANTOK_TRY(greek, lay_out(rows, parameters, GREEK_ROWS * *G, [&](auto pick, double* at) {
                 for (std::size_t c = 0; c < GREEK_ROWS; ++c) {
                   for (const EnsembleResult& row : rows) {
                     const std::vector<double>& series = *pick(row).greek->vectors()[c];
                     std::copy_n(series.begin(), std::min(series.size(), *G), at);
                     at += *G;
                   }
                 }
               }));
    out.greek = std::move(greek);
  }
  if (Q > 0) {
    // phase[c, j, q].
    VANTOK_TRY(phase, lay_out(rows, parameters, PHASE_ROWS * Q, [&](auto pick, double* at) {
                 for (std::size_t c = 0; c < PHASE_ROWS; ++c) {
                   for (const EnsembleResult& row : rows) at = std::copy_n((*pick(row).phase)[c].begin(), Q, at);
                 }
               }));
    out.phase = std::move(phase);
  }
  VANTOK_TRY(converged, zeros<bool>(n, "the ensemble outputs"));
  VANTOK_TRY(panels, zeros<std::uint64_t>(n, "the ensemble outputs"));
  for (std::size_t j = 0; j < n; ++j) {
    converged[j] = rows[j].converged;
    panels[j] = rows[j].panels;
  }
  out.converged = std::move(converged);
  out.panels = std::move(panels);
  return out;
}

/// The dict of the arrays, keys in their fixed order; an insertion failure
/// frees the arrays not yet inserted. Lock held; throws PyErrSet.
PyRef into_dict(Arrays&& a) {
  PyRef dict = PyRef::checked(PyDict_New());
  auto put = [&](const std::string& key, PyRef value) {
    check_status(PyDict_SetItemString(dict.get(), key.c_str(), value.get()));
  };
  static constexpr const char* SUFFIXES[] = {"", "_errors", "_d", "_d_errors"};
  const std::size_t n = a.n;
  const std::size_t P = a.parameters;
  // Each set's trailing shape, after the leading P axis of the derivatives.
  auto put_set = [&](const char* base, std::array<Buffer<double>, 4>& buffers, std::vector<std::size_t> shape) {
    for (std::size_t k = 0; k < 4; ++k) {
      std::vector<std::size_t> full = shape;
      if (k >= 2) full.insert(full.begin(), P);
      put(std::string(base) + SUFFIXES[k], array<double>(full, std::move(buffers[k])));
    }
  };
  // "values", "errors", "d", "d_errors".
  static constexpr const char* VALUE_KEYS[] = {"values", "errors", "d", "d_errors"};
  for (std::size_t k = 0; k < 4; ++k) {
    std::vector<std::size_t> shape = {OUTPUT_COUNT, n};
    if (k >= 2) shape.insert(shape.begin(), P);
    put(VALUE_KEYS[k], array<double>(shape, std::move(a.values[k])));
  }
  if (a.greek_length) put_set("greek", a.greek, {GREEK_ROWS, n, *a.greek_length});
  if (a.cosines > 0) put_set("phase", a.phase, {PHASE_ROWS, n, a.cosines});
  put("converged", array({n}, std::move(a.converged)));
  put("panels", array({n}, std::move(a.panels)));
  return dict;
}

Naming naming_of(bool mixture) { return mixture ? Naming::Mixture : Naming::Single; }

/// The number of parameters of a call's list (every component's parameters
/// and weight in a mixture, else those of the only component without its
/// weight), computed without the list.
vantok::Result<std::size_t> parameter_count(std::span<const Component> components,
                                            std::span<const ParticleShape> shapes, bool mixture) {
  using vantok::ensemble::ComponentWeight;
  if (!mixture && components.size() != 1) {
    return std::unexpected(
        invalid("a single distribution needs exactly one component, got " + decimal(components.size())));
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < components.size(); ++i) {
    count = vantok::sat_add(count, vantok::ensemble::component_parameter_count(
                                       components[i].distribution, shapes[i],
                                       mixture ? ComponentWeight::Include : ComponentWeight::Omit));
  }
  return count;
}

/// The first `limit` parameters of a call's list, refused (MemoryError) beyond
/// the work budget before any is listed: a vast layer count costs nothing
/// until its parameters are.
std::vector<EnsembleParam> parameter_list(std::span<const Component> components,
                                          std::span<const ParticleShape> shapes, bool mixture, std::size_t limit) {
  vantok::memory::require_work(limit, sizeof(EnsembleParam), "the parameter list");
  if (mixture) return vantok::ensemble::mixture_parameters(components, shapes, limit);
  return vantok::ensemble::component_parameters(0, components[0].distribution, shapes[0],
                                                vantok::ensemble::ComponentWeight::Omit, limit);
}

/// The parameters at `indices` of the list, in that order, each at most once;
/// only the list's first entries up to the largest valid index are formed.
vantok::Result<std::vector<EnsembleParam>> requested(std::span<const Component> components,
                                                    std::span<const ParticleShape> shapes, bool mixture,
                                                    std::span<const std::uint64_t> indices) {
  VANTOK_TRY(count, parameter_count(components, shapes, mixture));
  std::size_t needed = 0;
  for (const std::uint64_t index : indices) {
    if (index < count) needed = std::max(needed, static_cast<std::size_t>(index) + 1);
  }
  const std::vector<EnsembleParam> list = parameter_list(components, shapes, mixture, needed);
  const Naming naming = naming_of(mixture);
  std::vector<EnsembleParam> out;
  for (const std::uint64_t index : indices) {
    if (index >= count) return std::unexpected(invalid("no parameter " + decimal(index)));
    const EnsembleParam& p = list[static_cast<std::size_t>(index)];
    if (std::ranges::find(out, p) != out.end()) {
      return std::unexpected(invalid("parameter " + p.name(naming) + " requested twice"));
    }
    out.push_back(p);
  }
  return out;
}

/// Every component's parameters and weight, for the whole check: formed only
/// once every particle's shape passes (the check refuses the first that does
/// not before it reads them), so a vast refused layer count forms none.
std::vector<EnsembleParam> available(std::span<const Component> components, std::span<const ParticleShape> shapes) {
  for (const ParticleShape& shape : shapes) {
    if (!shape.validate()) return {};
  }
  return vantok::ensemble::mixture_parameters(components, shapes);
}

/// The lock-free stage of `ensemble_compute`: the core's checked run over
/// every wavelength (validation against the full mixture list first), the
/// Greek length, the arrays.
Outcome<Arrays> compute_rows(std::span<const Component> components, std::span<const double> wavelengths,
                             const EnsembleOptions& options, const GreekSelection& selection) {
  VANTOK_TRY(rows, vantok::ensemble::compute(components, wavelengths, options));
  return arrays(rows, options.params.size(), greek_length(selection, rows), options.mu.size());
}

/// The lock-free stage of `ensemble_compute_batch`: the core's checked batch
/// run (the particle and each distribution checked, one component per
/// distribution holding a copy of the particle, within the work budget), and
/// its rows laid out distribution-major.
Outcome<Arrays> batch_rows(std::vector<SizeDistribution>&& distributions, const Particle& particle,
                           std::span<const double> wavelengths, const EnsembleOptions& options,
                           const GreekSelection& selection) {
  VANTOK_TRY(per_distribution,
             vantok::ensemble::compute_batch(std::move(distributions), particle, wavelengths, options));
  std::vector<EnsembleResult> rows;
  rows.reserve(per_distribution.size() * wavelengths.size());
  for (std::vector<EnsembleResult>& results : per_distribution) {
    for (EnsembleResult& r : results) rows.push_back(std::move(r));
  }
  return arrays(rows, 0, greek_length(selection, rows), options.mu.size());
}

/// Runs a lock-free stage with the interpreter lock released, then makes the dict.
template <class Stage>
PyObject* unlocked_dict(Stage&& stage) {
  Outcome<Arrays> out = unlocked(stage);
  if (!out) errors::throw_failure(std::move(out.error()));
  return into_dict(std::move(*out)).release();
}

PyObject* compute(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"items", "wavelengths", "mixture", "greek", "all_orders", "mu",
                                           "normalized", "derivatives", "rtol", "max_panels", "allow_unvalidated",
                                           "refine_backscatter"};
  static constexpr args::Spec spec{"ensemble_compute", nullptr, params, 12};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::vector<Item> given = items(a.object(0), params[0]);
  PyObject* wavelengths = a.f64_array(1);
  const bool mixture = a.flag(2);
  Settings settings;
  settings.greek = a.opt_u64(3);
  settings.all_orders = a.flag(4);
  PyObject* mu = a.f64_array(5);
  settings.normalized = a.flag(6);
  const std::vector<std::uint64_t> derivatives = indices(a.object(7), params[7]);
  settings.rtol = a.f64(8);
  settings.max_panels = a.u64(9);
  settings.allow_unvalidated = a.flag(10);
  settings.refine_backscatter = a.flag(11);

  // Every guard and every check on the shapes runs before an input array is
  // copied: the arrays are borrowed here only to be measured.
  Components parsed = components(given);
  const std::size_t n_wavelengths = length(wavelengths, params[1], "wavelength");
  const std::size_t n_mu = length(mu, params[5], "mu");
  if (parsed.list.empty()) errors::throw_failure(invalid("a mixture needs a component"));
  const std::vector<ParticleShape> shapes = parsed.shapes();
  std::vector<EnsembleParam> chosen = value_or_raise(requested(parsed.list, shapes, mixture, derivatives));
  const std::size_t count = chosen.size();
  auto run = value_or_raise(settings.options(n_mu, std::move(chosen), n_wavelengths, count));
  // The whole check, in its order, with the particles' shapes and the cosines
  // and wavelengths read where they lie: no input is copied before it passes
  // (it runs again on the copies, with the lock released).
  value_or_raise(vantok::ensemble::validate_settings(run.first));
  value_or_raise(each_value(mu, params[5], "mu", vantok::ensemble::validate_cosine));
  value_or_raise(each_value(wavelengths, params[1], "wavelength", vantok::ensemble::validate_wavelength));
  value_or_raise(vantok::ensemble::validate_components(parsed.list, n_wavelengths, run.first.params,
                                                       available(parsed.list, shapes), shapes));
  const std::vector<double> w = copied(wavelengths, params[1], "wavelength", "the wavelengths");
  run.first.mu = copied(mu, params[5], "mu", "the cosines");
  parsed.copy_particles();
  return unlocked_dict([&] { return compute_rows(parsed.list, w, run.first, run.second); });
}

PyObject* batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"specs", "particle_spec", "wavelengths", "greek", "all_orders", "mu",
                                           "normalized", "rtol", "max_panels", "allow_unvalidated",
                                           "refine_backscatter"};
  static constexpr args::Spec spec{"ensemble_compute_batch", nullptr, params, 11};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::vector<PyRef> specs = objects(a.object(0), params[0]);
  PyObject* particle_spec = a.object(1);
  PyObject* wavelengths = a.f64_array(2);
  Settings settings;
  settings.greek = a.opt_u64(3);
  settings.all_orders = a.flag(4);
  PyObject* mu = a.f64_array(5);
  settings.normalized = a.flag(6);
  settings.rtol = a.f64(7);
  settings.max_panels = a.u64(8);
  settings.allow_unvalidated = a.flag(9);
  settings.refine_backscatter = a.flag(10);

  std::vector<SizeDistribution> distributions;
  distributions.reserve(specs.size());
  for (const PyRef& s : specs) distributions.push_back(distribution(s.get()));
  // Every guard and every check on the shapes runs before an input array is
  // copied.
  const ParticleSpec particle_form = particle(particle_spec);
  const std::size_t n_wavelengths = length(wavelengths, params[2], "wavelength");
  const std::size_t n_mu = length(mu, params[5], "mu");
  const std::uint64_t rows = sat_mul<std::uint64_t>(specs.size(), n_wavelengths);
  auto run = value_or_raise(settings.options(n_mu, {}, rows, 0));
  value_or_raise(vantok::ensemble::validate_batch(distributions.size(), particle_form.shape(), n_wavelengths));
  const std::vector<double> w = copied(wavelengths, params[2], "wavelength", "the wavelengths");
  run.first.mu = copied(mu, params[5], "mu", "the cosines");
  const Particle parsed = particle_form.copy();
  return unlocked_dict([&] { return batch_rows(std::move(distributions), parsed, w, run.first, run.second); });
}

PyObject* parameters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"items", "mixture"};
  static constexpr args::Spec spec{"ensemble_parameters", nullptr, params, 2};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::vector<Item> given = items(a.object(0), params[0]);
  const bool mixture = a.flag(1);

  const Components parsed = components(given);
  const std::vector<ParticleShape> shapes = parsed.shapes();
  // Nothing is validated: a model the engine would refuse still has names.
  std::vector<EnsembleParam> list;
  if (!parsed.list.empty()) {
    const std::size_t count = value_or_raise(parameter_count(parsed.list, shapes, mixture));
    list = parameter_list(parsed.list, shapes, mixture, count);
  }
  PyRef names = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(list.size())));
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string name = list[i].name(naming_of(mixture));
    PyObject* text = check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    PyList_SetItem(names.get(), static_cast<Py_ssize_t>(i), text);  // steals; cannot fail on a new list
  }
  return names.release();
}

}  // namespace

PyMethodDef parameters_def = args::method(
    "ensemble_parameters", &args::entry<&parameters>,
    "ensemble_parameters(items, mixture)\n--\n\n"
    "The names of the parameters of the components (a single distribution unless `mixture`),\n"
    "in the order `ensemble_compute` indexes them.");

PyMethodDef compute_def = args::method(
    "ensemble_compute", &args::entry<&compute>,
    "ensemble_compute(items, wavelengths, mixture, greek, all_orders, mu, normalized, derivatives, rtol, "
    "max_panels, allow_unvalidated, refine_backscatter)\n--\n\n"
    "The ensemble outputs at each wavelength: a dict of arrays `values`/`errors` (11, n),\n"
    "`d`/`d_errors` (P, 11, n), with the Greek coefficients (`greek`\u2026 (6, n, L + 1), zero-padded\n"
    "to the longest) and the phase matrix (`phase`\u2026 (4, n, n_mu)) when requested, `converged`\n"
    "(n) and `panels` (n). The Greek coefficients go up to `greek`, or every order with\n"
    "`all_orders`, or are not computed.");

PyMethodDef batch_def = args::method(
    "ensemble_compute_batch", &args::entry<&batch>,
    "ensemble_compute_batch(specs, particle_spec, wavelengths, greek, all_orders, mu, normalized, rtol, "
    "max_panels, allow_unvalidated, refine_backscatter)\n--\n\n"
    "The ensemble outputs of each distribution (tagged tuples `specs`) of one particle (a tagged\n"
    "tuple) at each wavelength, sharing the size nodes: as `ensemble_compute` without derivatives,\n"
    "one row per (distribution, wavelength), distribution-major.");

}  // namespace vantok_py::ensemble
