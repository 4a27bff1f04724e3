// The ensemble model: checks of distributions, particles and whole requests
// (messages and their order), parameter enumeration and names.
#include "vantok/ensemble/ensemble.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "ensemble/model_support.hpp"
#include "support/expect_error.hpp"

using namespace vantok::test::ensemble;
using vantok::Error;
using vantok::test::expect_error;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

struct DistributionCase {
  SizeDistribution distribution;
  std::string message;  // empty: passes
};

// Passes for an empty message, else fails with exactly that message (an
// invalid-input Error, or the bare text of a particle check).
template <class R>
void expect_outcome(const R& result, const std::string& message) {
  SCOPED_TRACE(message);
  if (message.empty()) {
    EXPECT_TRUE(result.has_value());
  } else if constexpr (std::is_same_v<typename R::error_type, Error>) {
    expect_error(result, Error::Kind::InvalidInput, message);
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), message);
  }
}

}  // namespace

TEST(SizeDistributionValidate, MessagesInCheckOrder) {
  const std::string positive = " must be finite and > 0, got ";
  const std::vector<DistributionCase> cases = {
      {lognormal(0.1, 2.0), ""},
      {lognormal(5e-324, 2.0), ""},  // a positive subnormal passes
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
  for (const DistributionCase& c : cases) expect_outcome(c.distribution.validate(), c.message);
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
      {sphere(0), ""},
      {layered({0.5, 0.5}, 2), ""},
      {layered({0.5, 1.0}, 2), ""},
      {layered({}, 2), ""},
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

TEST(EnsembleParam, EnumerationOrderNamesAndEquality) {
  auto single = [](std::size_t c, const SizeDistribution& d, const Particle& p) {
    return names(component_parameters(c, d, p, ComponentWeight::Omit), Naming::Single);
  };
  EXPECT_EQ(single(0, lognormal(0.1, 2.0), sphere(1)), "median_radius width m_real m_imag");
  EXPECT_EQ(single(0, gamma(1.0, 0.1), sphere(1)), "effective_radius effective_variance m_real m_imag");
  EXPECT_EQ(single(0, modified_gamma(1.0, 1.0, 1.0), sphere(1)), "alpha b gamma m_real m_imag");
  EXPECT_EQ(single(0, monodisperse(1.0), sphere(1)), "radius m_real m_imag");
  EXPECT_EQ(single(3, tabulated({1.0, 2.0}, {1.0, 1.0}), layered({}, 1)), "layer0.m_real layer0.m_imag");
  const std::vector<Component> one = {{sphere(1), lognormal(0.1, 2.0), 1.0}};
  EXPECT_EQ(names(mixture_parameters(one), Naming::Mixture), "c0.median_radius c0.width c0.m_real c0.m_imag c0.weight");
  const std::vector<Component> two = {
      {sphere(1), power_law(1.0, 1.0, 2.0), 1.0},
      {layered({0.5}, 1), multimodal({{1.0, lognormal(1.0, 2.0)}, {1.0, tabulated({1.0, 2.0}, {1.0, 1.0})}}), 1.0}};
  EXPECT_EQ(names(mixture_parameters(two), Naming::Mixture),
            "c0.exponent c0.m_real c0.m_imag c0.weight c1.mode0.median_radius c1.mode0.width c1.mode0.weight "
            "c1.mode1.weight c1.layer0.m_real c1.layer0.m_imag c1.layer1.m_real c1.layer1.m_imag "
            "c1.layer0.radius_fraction c1.weight");
  // Equality compares every field (a name by its text).
  const EnsembleParam width{std::nullopt, param::Distribution{"width"}, 0};
  const std::string text = "width";
  EXPECT_EQ(width, (EnsembleParam{std::nullopt, param::Distribution{text}, 0}));
  EXPECT_NE(width, (EnsembleParam{std::nullopt, param::Distribution{"width"}, 1}));
  EXPECT_NE(width, (EnsembleParam{0, param::Distribution{"width"}, 0}));
  EXPECT_NE((EnsembleParam{std::nullopt, param::LayerMReal{1}, 0}),
            (EnsembleParam{std::nullopt, param::LayerMImag{1}, 0}));
  EXPECT_NE((EnsembleParam{std::nullopt, param::RadiusFraction{0}, 0}),
            (EnsembleParam{std::nullopt, param::RadiusFraction{1}, 0}));
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
