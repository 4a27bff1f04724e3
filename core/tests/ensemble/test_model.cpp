// The ensemble model: checks of distributions, particles and whole requests
// (messages and their order, by the particles themselves and by their shapes
// alone), parameter enumeration, counts and names; densities with
// their derivative slots against central differences; radius cutoffs against
// closed-form tails; integration parts; and the moments against mpmath
// quadrature with the G7-K15 rule and the stopping and failure rules.
#include "vantok/ensemble/ensemble.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_moments.hpp"
#include "ensemble/detail_parts.hpp"
#include "ensemble/detail_range.hpp"
#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"
#include "vantok/ensemble/distribution.hpp"
#include "vantok/format.hpp"

using namespace vantok::test::ensemble;
using vantok::Error;
using vantok::test::expect_error;
using vantok::test::rel_err;
using vantok::ensemble::engine::Part;
using vantok::ensemble::engine::parts;
using vantok::ensemble::range::cutoffs;
namespace detail = vantok::ensemble::detail;
namespace moments = vantok::ensemble::moments;
namespace support = vantok::ensemble::engine::support;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double SENTINEL = -12345.0;

// Passes for an empty message, else fails with exactly that message (an
// invalid-input Error).
template <class R>
void expect_outcome(const R& result, const std::string& message) {
  SCOPED_TRACE(message);
  if (message.empty()) {
    EXPECT_TRUE(result.has_value());
  } else {
    expect_error(result, Error::Kind::InvalidInput, message);
  }
}

}  // namespace

TEST(SizeDistributionValidate, MessagesInCheckOrder) {
  const std::string positive = " must be finite and > 0, got ";
  const std::vector<std::pair<SizeDistribution, std::string>> cases = {  // an empty message: passes
      {lognormal(0.1, 2.0), ""}, {lognormal(5e-324, 2.0), ""},  // a positive subnormal passes
      {lognormal(-0.0, 2.0), "median_radius" + positive + "-0"},
      {lognormal(NaN, 1.0), "median_radius" + positive + "NaN"},
      {lognormal(1.0, 1.0), "the lognormal width must be finite and > 1, got 1"},
      {lognormal(1.0, INF), "the lognormal width must be finite and > 1, got inf"},
      {gamma(INF, 0.1), "effective_radius" + positive + "inf"},
      {gamma(1.0, 0.5), "effective_variance must be in (0, 0.5), got 0.5"},
      {gamma(1.0, 0.0), "effective_variance must be in (0, 0.5), got 0"},
      {gamma(1.0, NaN), "effective_variance must be in (0, 0.5), got NaN"},
      {modified_gamma(-1.0, 0.0, 1.0), "alpha must be finite and > -1, got -1"},
      {modified_gamma(0.0, 0.0, 1.0), "b" + positive + "0"},
      {modified_gamma(0.0, 1.0, NaN), "gamma" + positive + "NaN"},
      {power_law(-INF, 0.0, 1.0), "exponent must be finite, got -inf"},
      {power_law(1.0, 0.0, 1.0), "min_radius" + positive + "0"},
      {power_law(1.0, 1.0, -2.0), "max_radius" + positive + "-2"},
      {power_law(1.0, 1.0, 1.0), "min_radius must be < max_radius, got 1 and 1"},
      {monodisperse(1e-14), ""},
      {monodisperse(0.0), "radius" + positive + "0"},
      {tabulated({1.0}, {1.0}),
       "a tabulated distribution needs at least 2 points and as many densities as radii, got 1 radii and 1 densities"},
      {tabulated({1.0, 2.0}, {1.0}),
       "a tabulated distribution needs at least 2 points and as many densities as radii, got 2 radii and 1 densities"},
      {tabulated({1.0, -2.0, 2.0}, {1.0, 1.0, 1.0}), "radius" + positive + "-2"},
      {tabulated({1.0, 2.0, 2.0}, {1.0, 1.0, 1.0}), "tabulated radii must increase"},
      {tabulated({1.0, 2.0}, {1.0, -1.0}), "tabulated densities must be finite and >= 0"},
      {tabulated({1.0, 2.0}, {-0.0, 1.0}), ""},
      {tabulated({1.0, 2.0}, {0.0, -0.0}), "tabulated densities must not all be 0"},
      {multimodal({}), "a multimodal distribution needs a mode"},
      {multimodal({{1.0, lognormal(1.0, 2.0)}, {2.0, monodisperse(1.0)}, {0.0, monodisperse(1.0)}}),
       "the weight of mode 2" + positive + "0"},
      // Mode 1's weight before mode 1's distribution, both before mode 2.
      {multimodal({{1.0, lognormal(1.0, 2.0)}, {-1.0, lognormal(0.0, 2.0)}}), "the weight of mode 1" + positive + "-1"},
      {multimodal({{1.0, lognormal(1.0, 2.0)}, {1.0, lognormal(0.0, 2.0)}, {0.0, monodisperse(1.0)}}),
       "mode 1: invalid input: median_radius" + positive + "0"},
      // A multimodal mode passes here (the whole-request check refuses it).
      {multimodal({{1.0, multimodal({{1.0, monodisperse(1.0)}})}}), ""},
      {multimodal({{1.0, multimodal({{1.0, monodisperse(-1.0)}})}}),
       "mode 0: invalid input: mode 0: invalid input: radius" + positive + "-1"},
  };
  for (const auto& [distribution, message] : cases) expect_outcome(distribution.validate(), message);
  // Copies of the nested kinds are deep.
  SizeDistribution source = multimodal({{1.0, tabulated({1.0, 2.0}, {1.0, 1.0})}});
  SizeDistribution copy = source;
  std::get<Tabulated>(std::get<Multimodal>(copy.kind).modes[0].distribution.kind).radii[0] = 0.5;
  EXPECT_EQ(std::get<Tabulated>(std::get<Multimodal>(source.kind).modes[0].distribution.kind).radii[0], 1.0);
}

TEST(ParticleValidate, LayeredMessages) {
  Particle missing = layered({0.5}, 1), uneven = layered({0.5, 0.7}, 2);
  std::get<LayeredSphere>(missing.kind).radius_fractions.clear();
  std::get<LayeredSphere>(uneven.kind).layers[2].pop_back();
  const std::vector<std::pair<Particle, std::string>> cases = {
      {sphere(0), ""}, {layered({0.5, 0.5}, 2), ""}, {layered({0.5, 1.0}, 2), ""}, {layered({}, 2), ""},
      {Particle{LayeredSphere{{}, {}}}, "a layered sphere needs 1 to 1024 layers, got 0"},
      {layered(std::vector<double>(1024, 0.5), 1), "a layered sphere needs 1 to 1024 layers, got 1025"},
      {missing, "a layered sphere of 2 layers needs 1 radius fractions, got 0"},
      {layered({0.0}, 1), "radius fraction 0 must be in (0, 1], got 0"},
      {layered({0.5, 1.5}, 1), "radius fraction 1 must be in (0, 1], got 1.5"},
      {layered({0.5, NaN}, 1), "radius fraction 1 must be in (0, 1], got NaN"},
      {layered({0.2, 0.6, 0.5}, 1),
       "the radius fractions must be nondecreasing from the core out, but fraction 2 is 0.5 < 0.6"},
      {uneven, "layer 2 has 1 refractive indices and the core 2: one per wavelength"},
  };
  for (const auto& [particle, message] : cases) expect_outcome(particle.validate(), message);
}

namespace {

struct Request {
  std::vector<Component> components = {{sphere(2), lognormal(0.1, 2.0), 1.0}};
  std::vector<double> wavelengths = {0.5, 1.0};
  EnsembleOptions options = ::vantok::test::ensemble::options();

  vantok::Result<void> check() const {
    return validate(components, wavelengths, options, mixture_parameters(components));
  }

  // The same check with the particles' shapes, their refractive indices not
  // at hand.
  vantok::Result<void> check_by_shapes() const {
    std::vector<ParticleShape> shapes;
    std::vector<Component> bare;
    for (const Component& c : components) {
      shapes.push_back(c.particle.shape());
      const Particle empty = c.particle.get_if<Sphere>() != nullptr ? Particle{Sphere{}} : Particle{LayeredSphere{}};
      bare.push_back({empty, c.distribution, c.weight});
    }
    return validate(bare, wavelengths, options, mixture_parameters(bare, shapes), shapes);
  }
};

// A component of `indices` spheres, monodisperse at `radius`.
void add(Request& r, std::size_t indices, double radius, double weight) {
  r.components.push_back({sphere(indices), monodisperse(radius), weight});
}

struct RequestCase {
  std::string what;
  std::function<void(Request&)> change;
  std::string message;  // empty: passes
};

}  // namespace

TEST(Validate, MessagesInCheckOrder) {
  const std::vector<RequestCase> cases = {
      {"rtol low end", [](Request& r) { r.options.rtol = 1e-13; }, ""},
      {"rtol high end", [](Request& r) { r.options.rtol = 0.1; }, ""},
      {"rtol below", [](Request& r) { r.options.rtol = 1e-14; }, "rtol must be in [1e-13, 0.1], got 0.00000000000001"},
      {"rtol above", [](Request& r) { r.options.rtol = 0.11; }, "rtol must be in [1e-13, 0.1], got 0.11"},
      {"rtol NaN before max_panels", [](Request& r) { r.options.rtol = NaN; r.options.max_panels = 0; },
       "rtol must be in [1e-13, 0.1], got NaN"},
      {"max_panels", [](Request& r) { r.options.max_panels = 0; }, "max_panels must be at least 1"},
      {"greek order limit", [](Request& r) { r.options.greek = GreekSelection::up_to(2097152); }, ""},
      {"greek order", [](Request& r) { r.options.greek = GreekSelection::up_to(2097153); },
       "the Greek order must be at most 2097152, got 2097153"},
      {"refine order limit", [](Request& r) { r.options.refine_order = 1024; }, ""},
      {"refine order", [](Request& r) { r.options.refine_order = 1025; },
       "refine_order must be at most 1024, got 1025"},
      {"cosines at the ends", [](Request& r) { r.options.mu = {-1.0, 1.0}; }, ""},
      {"cosine", [](Request& r) { r.options.mu = {0.0, 1.0000001}; }, "cosine 1 must be in [-1, 1], got 1.0000001"},
      {"cosine NaN", [](Request& r) { r.options.mu = {NaN}; }, "cosine 0 must be in [-1, 1], got NaN"},
      {"wavelength", [](Request& r) { r.wavelengths[1] = -0.0; }, "wavelength 1 must be finite and > 0, got -0"},
      {"no wavelength", [](Request& r) { r.wavelengths.clear(); r.components[0].particle = sphere(0); }, ""},
      {"distribution", [](Request& r) { r.components[0].distribution = lognormal(0.0, 2.0); },
       "component 0: invalid input: median_radius must be finite and > 0, got 0"},
      {"mode distribution", [](Request& r) { r.components[0].distribution =
           multimodal({{1.0, lognormal(1.0, 2.0)}, {1.0, lognormal(0.0, 2.0)}}); },
       "component 0: invalid input: mode 1: invalid input: median_radius must be finite and > 0, got 0"},
      {"multimodal mode", [](Request& r) { r.components[0].distribution =
           multimodal({{1.0, multimodal({{1.0, monodisperse(1.0)}})}}); },
       "component 0: the modes of a multimodal distribution cannot be multimodal"},
      {"particle", [](Request& r) { r.components[0].particle = layered({1.5}, 2); },
       "component 0: radius fraction 0 must be in (0, 1], got 1.5"},
      {"index count", [](Request& r) { add(r, 2, 1.0, 1.0); add(r, 3, 1.0, 1.0); },
       "component 2 has 3 refractive indices for 2 wavelengths"},
      {"layered index count", [](Request& r) { r.components[0].particle = layered({0.5}, 1); },
       "component 0 has 1 refractive indices for 2 wavelengths"},
      {"weight", [](Request& r) { r.components[0].weight = -1.0; },
       "the weight of component 0 must be finite and >= 0, got -1"},
      {"weight NaN", [](Request& r) { r.components[0].weight = NaN; },
       "the weight of component 0 must be finite and >= 0, got NaN"},
      {"weight -0 counts as 0", [](Request& r) { r.components[0].weight = -0.0; add(r, 2, 1.0, 1.0); }, ""},
      {"mode weight sum", [](Request& r) { r.components[0].distribution =
           multimodal({{1e308, monodisperse(1.0)}, {1e308, monodisperse(2.0)}}); },
       "component 0: the mode weights must have a finite sum"},
      {"no component", [](Request& r) { r.components.clear(); },
       "the mixture weights must have a finite, positive sum, got 0"},
      {"zero weights", [](Request& r) { r.components[0].weight = 0.0; add(r, 2, 1.0, 0.0); },
       "the mixture weights must have a finite, positive sum, got 0"},
      {"weight sum overflows", [](Request& r) { r.components[0].weight = 1e308; add(r, 2, 1.0, 1e308); },
       "the mixture weights must have a finite, positive sum, got inf"},
      // A component fault is reported before a later component's.
      {"first component first", [](Request& r) { add(r, 2, 0.0, 1.0); r.components[0].weight = -2.0; },
       "the weight of component 0 must be finite and >= 0, got -2"},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.what);
    Request request;
    c.change(request);
    expect_outcome(request.check(), c.message);
    expect_outcome(request.check_by_shapes(), c.message);
  }
}

// Shapes of vast counts, with no refractive index, fraction or layer at hand,
// are refused by their numbers, in the particle's check order.
TEST(Validate, VastShapesRefusedByTheirCounts) {
  const std::size_t vast = std::size_t{1} << 40;
  static constexpr double HALF[1] = {0.5};
  const std::vector<std::pair<ParticleShape, std::string>> cases = {
      {{std::nullopt, 0, {}, vast, std::nullopt}, "component 0 has 1099511627776 refractive indices for 2 wavelengths"},
      {{vast, vast, {}, 2, std::nullopt}, "component 0: a layered sphere needs 1 to 1024 layers, got 1099511627776"},
      {{3, vast, {}, 2, std::nullopt},
       "component 0: a layered sphere of 3 layers needs 2 radius fractions, got 1099511627776"},
      {{1, 0, {}, vast, std::nullopt}, "component 0 has 1099511627776 refractive indices for 2 wavelengths"},
      {{2, 1, HALF, 2, std::pair{std::size_t{1}, vast}},
       "component 0: layer 1 has 1099511627776 refractive indices and the core 2: one per wavelength"}};
  const std::vector<Component> bare = {{Particle{LayeredSphere{}}, lognormal(0.1, 2.0), 1.0}};
  for (const auto& [shape, message] : cases) {
    expect_outcome(validate(bare, std::vector<double>{0.5, 1.0}, options(), {}, std::span(&shape, 1)), message);
  }
}

namespace {

// The names of the parameters in enumeration order, separated by spaces.
std::string names(const std::vector<EnsembleParam>& params, Naming naming) {
  std::string out;
  for (const EnsembleParam& p : params) out += (out.empty() ? "" : " ") + p.name(naming);
  return out;
}

}  // namespace

// Names of the kinds the requested-parameter messages below and the module's
// tests do not list.
TEST(EnsembleParam, EnumerationOrderAndNames) {
  auto single = [](std::size_t c, const SizeDistribution& d, const Particle& p) {
    return names(component_parameters(c, d, p, ComponentWeight::Omit), Naming::Single);
  };
  EXPECT_EQ(single(0, modified_gamma(1.0, 1.0, 1.0), sphere(1)), "alpha b gamma m_real m_imag");
  EXPECT_EQ(single(3, tabulated({1.0, 2.0}, {1.0, 1.0}), layered({}, 1)), "layer0.m_real layer0.m_imag");
  const std::vector<Component> two = {
      {sphere(1), power_law(1.0, 1.0, 2.0), 1.0},
      {layered({0.5}, 1), multimodal({{1.0, lognormal(1.0, 2.0)}, {1.0, tabulated({1.0, 2.0}, {1.0, 1.0})}}), 1.0}};
  const std::vector<EnsembleParam> all = mixture_parameters(two);
  EXPECT_EQ(names(all, Naming::Mixture),
            "c0.exponent c0.m_real c0.m_imag c0.weight c1.mode0.median_radius c1.mode0.width c1.mode0.weight "
            "c1.mode1.weight c1.layer0.m_real c1.layer0.m_imag c1.layer1.m_real c1.layer1.m_imag "
            "c1.layer0.radius_fraction c1.weight");
  // Counted without the list; the first `limit` listed alone.
  std::size_t count = 0;
  for (const Component& c : two) {
    count += component_parameter_count(c.distribution, c.particle.shape(), ComponentWeight::Include);
  }
  EXPECT_EQ(count, all.size());
  for (std::size_t limit = 0; limit <= all.size() + 1; ++limit) {
    const std::vector<EnsembleParam> first(all.begin(), all.begin() + std::min(limit, all.size()));
    EXPECT_EQ(mixture_parameters(two, {}, limit), first) << limit;
  }
}

TEST(Validate, RequestedParameters) {
  const EnsembleParam weight0{std::nullopt, param::Weight{}, 0}, weight5{std::nullopt, param::Weight{}, 5};
  const EnsembleParam width0{std::nullopt, param::Distribution{"width"}, 0};
  const EnsembleParam mode_width{0, param::Distribution{"width"}, 0};
  const std::vector<Component> two = {{sphere(1), lognormal(0.1, 2.0), 1.0}, {sphere(1), monodisperse(1.0), 1.0}};
  const std::span<const Component> one(two.data(), 1);
  const std::vector<double> wavelengths = {0.5};
  const auto available = mixture_parameters(two);
  auto check = [&](std::span<const Component> components, std::vector<EnsembleParam> requested,
                   std::span<const EnsembleParam> offered, const std::string& message) {
    EnsembleOptions o = options();
    o.params = std::move(requested);
    expect_outcome(validate(components, wavelengths, o, offered), message);
  };
  const std::string listed = R"( here; the parameters are ["c0.median_radius", "c0.width", "c0.m_real", )"
                             R"("c0.m_imag", "c0.weight")";
  check(two, {width0, weight0}, available, "");
  check(two, {weight0, width0, weight0}, available, "parameter c0.weight requested twice");
  check(two, {weight5}, available,
        "no parameter c5.weight" + listed + R"(, "c1.radius", "c1.m_real", "c1.m_imag", "c1.weight"])");
  // Unavailable at its first occurrence, before it repeats.
  check(two, {weight5, weight5}, available,
        "no parameter c5.weight" + listed + R"(, "c1.radius", "c1.m_real", "c1.m_imag", "c1.weight"])");
  // One component: the prefix follows the available list's component weight.
  check(one, {mode_width}, mixture_parameters(one), "no parameter c0.mode0.width" + listed + "]");
  check(one, {mode_width}, component_parameters(0, two[0].distribution, two[0].particle, ComponentWeight::Omit),
        R"(no parameter mode0.width here; the parameters are ["median_radius", "width", "m_real", "m_imag"])");
  check(one, {width0}, {}, "no parameter width here; the parameters are []");
}

// Where a kind has an interior maximum the reference is that mode: n = 1
// there (L(a) = 0) and smaller on both sides.
TEST(Density, ReferenceAndScale) {
  struct Case {
    SizeDistribution d;
    double reference, scale;
    bool mode;
  };
  const Case cases[] = {
      {lognormal(0.1, 2.0), 0.1, std::log(2.0), false},
      // The gamma mode a_e(1 - 3v), or a_e without an interior maximum.
      {gamma(1.0, 0.1), 0.7, std::sqrt(0.1 / 0.8), true},
      {gamma(0.3, 0.2), 0.3 * 0.4, std::sqrt(0.2 / 0.6), true},
      {gamma(2.0, 0.4), 2.0, std::sqrt(0.4 / 0.2), false},
      {gamma(2.0, 1.0 / 3.0), 2.0, 1.0, false},
      // The modified-gamma mode (alpha/(b gamma))^(1/gamma), alpha clamped at 1.
      {modified_gamma(2.0, 3.0, 1.5), std::pow(2.0 / 4.5, 1.0 / 1.5), 1.0 / std::sqrt(3.0), true},
      {modified_gamma(0.5, 1.0, 2.0), std::sqrt(0.5), 1.0, false},
      {modified_gamma(-0.5, 2.0, 1.0), 0.5, 1.0, false},
      {power_law(3.0, 0.1, 10.0), 0.1, INF, false}, {power_law(-1.0, 0.5, 2.0), 2.0, INF, false},
      {monodisperse(3.0), 1.0, INF, false},         {tabulated({1.0, 2.0}, {1.0, 1.0}), 1.0, INF, false},
  };
  for (const Case& c : cases) {
    const Density density(c.d);
    EXPECT_LE(rel_err(density.reference, c.reference), 4e-16) << density.reference << " vs " << c.reference;
    EXPECT_LE(rel_err(density.scale, c.scale), 4e-16) << density.scale << " vs " << c.scale;
    if (!c.mode) continue;
    const double peak = density.eval(density.reference, {});
    EXPECT_NEAR(peak, 1.0, 1e-15);
    EXPECT_LT(density.eval(density.reference * (1 + 1e-3), {}), peak);
    EXPECT_LT(density.eval(density.reference * (1 - 1e-3), {}), peak);
  }
  EXPECT_THROW(Density(multimodal({{1.0, monodisperse(1.0)}})).eval(1.0, {}), vantok::InternalFailure);
}

// Each kind writes the slots of its parameter table as far as `out` reaches
// (a two-parameter kind writes a third as n·0); outside its range a bounded
// kind, and tabulated and monodisperse everywhere, write zero in every slot.
TEST(Density, EdgeValuesAndSlots) {
  std::array<double, 5> out;
  const auto eval = [&](const SizeDistribution& d, double r, std::size_t slots = 5) {
    out.fill(SENTINEL);
    return Density(d).eval(r, std::span(out).first(slots));
  };
  // Lognormal at its median: n = 1/s, d/dr_m = 0, d/dwidth = -n/(s width).
  const double s = std::log(3.0);
  EXPECT_LE(rel_err(eval(lognormal(0.5, 3.0), 0.5), 1.0 / s), 4e-16);
  EXPECT_EQ(out, (std::array{0.0, out[1], 0.0, SENTINEL, SENTINEL}));
  EXPECT_LE(rel_err(out[1], -1.0 / (s * s * 3.0)), 4e-16);
  // Power law: both ends inside, one ulp outside zero in every slot.
  EXPECT_EQ(eval(power_law(2.0, 0.5, 2.0), 0.5, 2), 1.0);
  EXPECT_EQ(out, (std::array{-0.0, 0.0, SENTINEL, SENTINEL, SENTINEL}));
  EXPECT_LE(rel_err(eval(power_law(2.0, 0.5, 2.0), 2.0), 1.0 / 16.0), 4e-16);
  EXPECT_LE(rel_err(out[0], -std::log(4.0) / 16.0), 4e-16);
  EXPECT_EQ(eval(power_law(2.0, 0.5, 2.0), std::nextafter(2.0, 3.0)), 0.0);
  EXPECT_EQ(out, (std::array{0.0, 0.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(eval(power_law(2.0, 0.5, 2.0), std::nextafter(0.5, 0.0), 0), 0.0);
  // Tabulated: the table's values at its radii, straight lines between, zero outside.
  const std::array<std::array<double, 2>, 8> points = {
      {{1.0, 3.0}, {1.5, 2.0}, {2.0, 1.0}, {3.0, 1.5}, {4.0, 2.0}, {0.999, 0.0}, {4.001, 0.0}, {1.25, 2.5}}};
  for (const auto& [r, want] : points) {
    EXPECT_EQ(eval(tabulated({1.0, 2.0, 4.0}, {3.0, 1.0, 2.0}), r), want) << r;
    EXPECT_EQ(out, (std::array{0.0, 0.0, 0.0, 0.0, 0.0})) << r;
  }
  EXPECT_EQ(eval(monodisperse(2.0), 123.0), 1.0);
  EXPECT_EQ(out[0], 0.0);
  // A short slice: the alpha and b slots of the modified gamma only.
  eval(modified_gamma(1.0, 2.0, 0.5), 0.3, 2);
  EXPECT_NE(out[0], SENTINEL);
  EXPECT_NE(out[1], SENTINEL);
  EXPECT_EQ(out[2], SENTINEL);
}

// dn/dp with the reference radius held fixed, against central differences of
// the density built from perturbed parameters (its own scale, the original
// reference). Step 1e-5 relative: truncation ~1e-10, rounding ~1e-11.
TEST(Density, DerivativeSlotsMatchCentralDifferences) {
  struct Case {
    std::vector<double> p;
    SizeDistribution (*make)(const std::vector<double>&);
    std::vector<double> radii;
  };
  const Case cases[] = {
      {{0.2, 1.8}, [](const std::vector<double>& p) { return lognormal(p[0], p[1]); }, {0.05, 0.2, 0.9}},
      {{1.5, 0.15}, [](const std::vector<double>& p) { return gamma(p[0], p[1]); }, {0.3, 1.0, 4.0}},
      {{2.5, 1.5, 0.8}, [](const std::vector<double>& p) { return modified_gamma(p[0], p[1], p[2]); },
       {0.2, 1.0, 3.0}},
      {{2.5, 0.5, 4.0}, [](const std::vector<double>& p) { return power_law(p[0], p[1], p[2]); }, {0.7, 3.0}},
  };
  for (const Case& c : cases) {
    const SizeDistribution d = c.make(c.p);
    const Density density(d);
    const std::size_t slots = d.parameter_names().size();
    for (double r : c.radii) {
      std::array<double, 3> out{};
      density.eval(r, std::span(out).first(slots));
      for (std::size_t k = 0; k < slots; ++k) {
        auto at = [&](double factor) {
          std::vector<double> p = c.p;
          p[k] *= factor;
          const SizeDistribution shifted = c.make(p);
          Density moved(shifted);
          moved.reference = density.reference;
          return moved.eval(r, {});
        };
        const double want = (at(1 + 1e-5) - at(1 - 1e-5)) / (2e-5 * c.p[k]);
        EXPECT_NEAR(out[k], want, 1e-8 * (std::fabs(want) + density.eval(r, {}))) << "slot " << k << " r " << r;
      }
    }
  }
}

// r^k n(r) of a lognormal is a lognormal of ln-median ln r_m + k s², so the
// weight beyond hi is erfc((ln hi - ln r_m - k s²)/(s √2))/2 of the total, and
// likewise below lo: the geometric tail estimate keeps each within tol. Steps
// are min(0.5 s, 0.5) in ln r and each side takes at least two, also when all
// weight lies within the first upper step.
TEST(Cutoffs, TailsWithinToleranceInWholeSteps) {
  const std::vector<std::int32_t> exponents = {0, 2, 3};
  for (const double width : {1.01, 1.05, 1.5, 2.0, 3.0, 10.0}) {
    for (const double tol : {1e-3, 1e-7, 1e-12}) {
      const SizeDistribution d = lognormal(0.3, width);
      const auto range = cutoffs(Density(d), exponents, 0.3, tol);
      ASSERT_TRUE(range.has_value());
      const double s = std::log(width), h = std::fmin(0.5 * s, 0.5);
      for (const std::int32_t k : exponents) {
        const double centre = std::log(0.3) + k * s * s;
        EXPECT_LE(0.5 * std::erfc((std::log(range->second) - centre) / (s * std::sqrt(2.0))), tol) << width << k;
        EXPECT_LE(0.5 * std::erfc((centre - std::log(range->first)) / (s * std::sqrt(2.0))), tol) << width << k;
      }
      for (const double end : {std::log(0.3 / range->first), std::log(range->second / 0.3)}) {
        EXPECT_GE(end / h, 2.0 - 1e-9);
        EXPECT_NEAR(end / h, std::round(end / h), 1e-9);
      }
    }
  }
  const SizeDistribution narrow = power_law(0.0, 1.0, 1.0000001);
  EXPECT_EQ(cutoffs(Density(narrow), exponents, 1.0, 1e-6), std::pair(std::exp(-1.0), std::exp(1.0)));
}

TEST(Cutoffs, Failures) {
  const std::vector<std::int32_t> two = {2};
  // r^2 · r^-3 · r dt is flat in t: no step shrinks.
  const SizeDistribution flat = power_law(3.0, 1e-300, 1e300);
  Density unit(flat);
  unit.reference = 1.0;  // n = r^-3, representable over the whole march
  expect_error(cutoffs(unit, two, 1.0, 1e-6), Error::Kind::InvalidInput,
               "the size distribution is too broad: its tails do not decay within e^200 of r = 1e0");
  Density narrow_steps = unit;
  narrow_steps.scale = 0.5;  // steps of 0.25
  expect_error(cutoffs(narrow_steps, two, 2.5, 1e-6), Error::Kind::InvalidInput,
               "the size distribution is too broad: its tails do not decay within e^100 of r = 2.5e0");
  // A density that overflows at the start fails in the first step, naming its
  // far end start·e^(-h).
  const SizeDistribution d = lognormal(1.0, 2.0);
  Density overflowing(d);
  overflowing.reference = 1e308;
  expect_error(cutoffs(overflowing, two, 1.0, 1e-6), Error::Kind::InvalidInput,
               "the size distribution's density is not finite near r = " +
                   vantok::fmt::exp(std::exp(-0.5 * std::log(2.0))));
}

// One part per component, or per mode of a multimodal one (its mode weight and
// their sum, the component's weight); requested parameters map to particle
// slots (Re m, Im m, or per layer Re m, Im m, then the fractions) and to the
// part's distribution parameters; supports and ranges per kind: a smooth
// kind's cut range around its centre (with a tail allowance of 0.2 rtol in
// each mean's error), a bounded kind's exact range, a point.
TEST(Parts, ModesSlotsSupportsAndRanges) {
  using Slots = std::vector<std::optional<std::size_t>>;
  using DistParams = std::vector<std::pair<std::size_t, std::size_t>>;
  const std::vector<Component> components = {
      {sphere(1), lognormal(0.1, 2.0), 3.0},
      {sphere(1),
       multimodal({{2.0, gamma(1.0, 0.1)}, {1.0, lognormal(0.5, 1.5)}, {1.0, tabulated({1.0, 2.0}, {1.0, 2.0})}}), 0.5},
      {layered({0.3, 0.6}, 1), monodisperse(2.0), 1.0},
      {sphere(1), power_law(3.0, 0.1, 10.0), 1.0}};
  const std::vector<EnsembleParam> params = {
      {std::nullopt, param::MReal{}, 1},          {1, param::Distribution{"width"}, 1},
      {1, param::Weight{}, 1},                    {std::nullopt, param::Weight{}, 1},
      {std::nullopt, param::MImag{}, 0},          {std::nullopt, param::RadiusFraction{1}, 2},
      {std::nullopt, param::LayerMImag{2}, 2},    {std::nullopt, param::Distribution{"radius"}, 2},
      {std::nullopt, param::LayerMReal{0}, 2}};
  const auto got = parts(components, params, 1e-6);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 6u);
  const Part& plain = (*got)[0];
  EXPECT_EQ(std::tuple(plain.mode.has_value(), plain.mode_weight, plain.mode_weight_sum, plain.weight),
            std::tuple(false, 1.0, 1.0, 3.0));
  EXPECT_EQ(std::pair(plain.component, plain.distribution), std::pair(&components[0], &components[0].distribution));
  EXPECT_EQ(plain.particle_params, (Slots{std::nullopt, 4}));
  EXPECT_EQ(plain.dist_params.size(), 0u);
  EXPECT_EQ(plain.averages->mean_derivatives.size(), 0u);
  EXPECT_EQ(std::get<support::Smooth>(plain.support).centre, 0.1);
  EXPECT_LT(plain.range.first, 0.1 * std::exp(-1.0));
  EXPECT_GT(plain.range.second, 0.1 * std::exp(1.0));
  EXPECT_GE(plain.averages->mean_errors[0], 0.2e-6 * plain.averages->means[0]);
  for (std::size_t j = 0; j < 3; ++j) {
    const Part& p = (*got)[1 + j];
    EXPECT_EQ(std::tuple(p.mode, p.mode_weight, p.mode_weight_sum, p.weight, p.component_index),
              std::tuple(std::optional<std::size_t>(j), j == 0 ? 2.0 : 1.0, 4.0, 0.5, 1u));
    EXPECT_EQ(p.particle_params, (Slots{0, std::nullopt}));
    EXPECT_EQ(p.dist_params, (j == 1 ? DistParams{{1, 1}} : DistParams{}));
  }
  EXPECT_EQ(std::get<support::Smooth>((*got)[1].support).centre, 1.0);
  const auto bounded = std::get<support::Bounded>((*got)[3].support);
  EXPECT_EQ(std::tuple(bounded.lo, bounded.hi, (*got)[3].range), std::tuple(1.0, 2.0, std::pair(1.0, 2.0)));
  const Part& point = (*got)[4];
  const auto none = std::nullopt;
  EXPECT_EQ(point.particle_params, (Slots{8, none, none, none, none, 6, none, 5}));
  EXPECT_EQ(point.dist_params, (DistParams{{7, 0}}));
  EXPECT_EQ(std::get<support::Point>(point.support).radius, 2.0);
  EXPECT_EQ(point.range, std::pair(2.0, 2.0));
  EXPECT_FALSE(point.averages.has_value());
  // No tail allowance on an exact range: the error is that of the quadrature alone.
  EXPECT_EQ((*got)[5].range, std::pair(0.1, 10.0));
  EXPECT_LT((*got)[5].averages->mean_errors[0], 0.2e-6 * (*got)[5].averages->means[0]);
}

// A range failure carries no component index; a mass failure of the moments
// gains the component's index, bare message.
TEST(Parts, ErrorPrefixes) {
  const std::vector<Component> broad = {{sphere(1), monodisperse(1.0), 1.0},
                                        {sphere(1), modified_gamma(0.0, 1000.0, 0.001), 1.0}};
  expect_error(parts(broad, {}, 1e-6), Error::Kind::InvalidInput,
               "the size distribution is too broad: its tails do not decay within e^200 of r = 1e0");
  const std::vector<Component> huge = {{sphere(1), monodisperse(1.0), 1.0},
                                       {sphere(1), tabulated({1.0, 1e10}, {1e308, 1e308}), 1.0}};
  expect_error(parts(huge, {}, 1e-6), Error::Kind::InvalidInput,
               "component 1: the size distribution has no finite positive mass on its range (got inf)");
}

// K15 integrates x^k exactly on [-1, 1] up to degree 22 and G7 up to 13, to
// the rounding of the tabulated doubles; the nodes ascend, mirror about the
// centre, and the Gauss weights sit at the odd indices.
TEST(KronrodRule, ExactDegrees) {
  const detail::PanelRule rule(-1.0, 1.0), panel(2.0, 3.0);
  for (int k = 0; k <= 22; ++k) {
    double kronrod = 0.0, gauss = 0.0;
    for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
      kronrod += rule.node(i).kronrod * std::pow(rule.node(i).t, k);
      gauss += rule.node(i).gauss * std::pow(rule.node(i).t, k);
    }
    const double exact = k % 2 == 1 ? 0.0 : 2.0 / (k + 1);
    EXPECT_NEAR(kronrod, exact, 2e-15) << k;
    EXPECT_NEAR(k <= 13 ? gauss : exact, exact, 2e-15) << k;
  }
  for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
    EXPECT_LT(i > 0 ? panel.node(i - 1).t : 0.0, panel.node(i).t);
    EXPECT_EQ(panel.node(i).kronrod, panel.node(14 - i).kronrod);
    EXPECT_EQ(panel.node(i).gauss != 0.0, i % 2 == 1) << i;
  }
  EXPECT_EQ(panel.node(7).t, 2.5);
}

// Every kind with every parameter requested, against 30-digit quadrature over
// the whole support (records: kind, parameters, M0, <r^2>, <r^3>, then per
// parameter their derivatives). The smooth kinds integrate over cut ranges
// (tails below rtol/1000) and carry a tail allowance of 0.2 rtol; the reported
// errors are checked to cover the true ones (up to the rounding of the final
// quotients, which no quadrature error estimate includes).
TEST(Moments, MatchQuadratureReference) {
  constexpr double ROUNDING = 1e-14;
  for (const auto& r : vantok::test::read_table("ensemble_moments.txt")) {
    const std::size_t n = r.tag == "tabulated" ? static_cast<std::size_t>(r.num(0)) : 0;
    std::vector<double> radii, densities;
    for (std::size_t i = 0; i < n; ++i) {
      radii.push_back(r.num(1 + i));
      densities.push_back(r.num(1 + n + i));
    }
    const SizeDistribution d = r.tag == "lognormal"        ? lognormal(r.num(0), r.num(1))
                               : r.tag == "gamma"          ? gamma(r.num(0), r.num(1))
                               : r.tag == "modified_gamma" ? modified_gamma(r.num(0), r.num(1), r.num(2))
                               : r.tag == "power_law"      ? power_law(r.num(0), r.num(1), r.num(2))
                                                           : tabulated(radii, densities);
    const std::size_t fields = n > 0 ? 1 + 2 * n : r.tag == "lognormal" || r.tag == "gamma" ? 2 : 3;
    const std::vector<Component> components = {{sphere(1), d, 1.0}};
    std::vector<EnsembleParam> params;
    for (const auto& p : component_parameters(0, d, components[0].particle, ComponentWeight::Omit)) {
      if (std::holds_alternative<param::Distribution>(p.kind)) params.push_back(p);
    }
    for (const double rtol : {1e-4, 1e-8}) {
      const auto got_parts = parts(components, params, rtol);
      ASSERT_TRUE(got_parts.has_value()) << got_parts.error().to_string();
      const moments::Averages& got = *got_parts->front().averages;
      SCOPED_TRACE(r.tag + " " + r.fields[0] + " rtol " + std::to_string(rtol));
      const bool smooth = std::holds_alternative<support::Smooth>(got_parts->front().support);
      EXPECT_NEAR(got.m0, r.num(fields), (smooth ? 1e-3 * rtol : 1e-14) * r.num(fields));
      for (std::size_t k = 0; k < 2; ++k) {
        const double want = r.num(fields + 1 + k);
        EXPECT_NEAR(got.means[k], want, 2 * rtol * want);
        EXPECT_LE(std::fabs(got.means[k] - want), got.mean_errors[k] + ROUNDING * std::fabs(want));
      }
      ASSERT_EQ(got.mean_derivatives.size(), params.size());
      for (std::size_t j = 0; j < params.size(); ++j) {
        const double dm0 = r.num(fields + 3 + 3 * j);
        // dM0/dp may vanish (the lognormal median): scale by M0.
        EXPECT_NEAR(got.m0_derivatives[j], dm0, 2 * rtol * (std::fabs(dm0) + got.m0)) << "parameter " << j;
        for (std::size_t k = 0; k < 2; ++k) {
          const double want = r.num(fields + 4 + 3 * j + k), scale = std::fabs(want) + got.means[k];
          EXPECT_NEAR(got.mean_derivatives[j][k], want, 10 * rtol * scale) << "parameter " << j << " power " << k;
          EXPECT_LE(std::fabs(got.mean_derivatives[j][k] - want), got.mean_derivative_errors[j][k] + ROUNDING * scale)
              << "parameter " << j << " power " << k;
        }
      }
    }
  }
}

// Closed forms: a monodisperse density is 1 with a derivative slot of 0 at
// every node (M0 = 1.5 and <r^2> = (8 - 1/8)/3/1.5 over [0.5, 2]); n = 0.25/r
// over [0.25, 4] without parameters has M0 = ln 16 / 4.
TEST(Moments, ClosedForms) {
  const SizeDistribution mono = monodisperse(1.0), power = power_law(1.0, 0.25, 4.0);
  const std::size_t slots[] = {0};
  const auto got = moments::moments(mono, slots, {}, 0.5, 2.0, 1e-10, 0.0);
  ASSERT_TRUE(got.has_value());
  EXPECT_NEAR(got->m0, 1.5, 1e-14);
  EXPECT_EQ(std::pair(got->m0_derivatives[0], got->m0_derivative_errors[0]), std::pair(0.0, 0.0));
  EXPECT_NEAR(got->means[0], (8.0 - 0.125) / 4.5, 1e-13);
  const auto bare = moments::moments(power, {}, {}, 0.25, 4.0, 1e-8, 0.0);
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->mean_derivatives.size(), 0u);
  EXPECT_EQ(bare->mean_derivative_errors.size(), 0u);
  EXPECT_EQ(bare->m0_derivatives.size(), 0u);
  EXPECT_EQ(bare->m0_derivative_errors.size(), 0u);
  EXPECT_NEAR(bare->m0, 0.25 * std::log(16.0), 1e-15);
}

// The mass must be finite and positive (a positive subnormal passes). The
// error of a mean propagates M0's and M_k's errors and adds the tail
// allowance: with exact integrals only the allowance remains.
TEST(Moments, MassFailuresAndErrorPropagation) {
  const std::string head = "the size distribution has no finite positive mass on its range (got ";
  const SizeDistribution huge = tabulated({1.0, 1e10}, {1e308, 1e308});
  expect_error(moments::moments(huge, {}, huge.get_if<Tabulated>()->radii, 1.0, 1e10, 1e-6, 0.0),
               Error::Kind::InvalidInput, head + "inf)");
  const double zeros[6] = {};
  for (const auto& [m0, text] : std::vector<std::pair<double, std::string>>{
           {0.0, "0e0"}, {-0.0, "-0e0"}, {-2.0, "-2e0"}, {std::nan(""), "NaN"}}) {
    const double values[3] = {m0, 1.0, 1.0};
    expect_error(moments::averages(values, std::span(zeros, 3), 0, 0.0), Error::Kind::InvalidInput, head + text + ")");
  }
  const double tiny[3] = {5e-324, 0.0, 0.0};
  EXPECT_TRUE(moments::averages(tiny, std::span(zeros, 3), 0, 0.0).has_value());

  const double values[6] = {2.0, 8.0, 4.0, 1.0, 2.0, 6.0};
  const auto got = moments::averages(values, zeros, 1, 0.1);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(std::pair(got->means[0], got->mean_errors[0]), std::pair(4.0, 0.4));
  // d<r^2>/dp = (D2 - q D0)/M0 = (2 - 4)/2, d<r^3>/dp = (6 - 2)/2; error
  // tail |dq| + |D0| err(q)/M0.
  EXPECT_EQ(got->mean_derivatives[0], (std::array{-1.0, 2.0}));
  EXPECT_NEAR(got->mean_derivative_errors[0][0], 0.1 + 0.2, 1e-15);
  const double errors[6] = {0.2, 0.0, 0.0, 0.0, 0.0, 0.0};
  const auto with_m0_error = moments::averages(values, errors, 1, 0.0);
  // err(q) = E0 |q| / M0.
  EXPECT_NEAR(with_m0_error->mean_errors[0], 0.4, 1e-15);
  EXPECT_EQ(with_m0_error->m0_err, 0.2);
}
