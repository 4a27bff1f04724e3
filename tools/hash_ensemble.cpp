// Hashes every output of the ensemble engine over a fixed set of runs: spheres
// and layered spheres, lognormal, gamma, multimodal, power-law and
// monodisperse distributions, mixtures and batches, with and without Greek
// coefficients (all orders and up to an order), cosines and derivatives. Each
// run is made in an arena of one thread and of eight threads; the two must
// agree bit for bit. A change of one bit of any output changes the digest:
// run it before and after a restructuring that must keep every result.
//
//     cmake --build build --target hash_ensemble && ./build/bench/hash_ensemble [-v]
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ensemble/detail_rounds.hpp"
#include "vantok/pool.hpp"

namespace {

using namespace vantok::ensemble;
using vantok::Complex;

// FNV-1a over the bytes of everything fed.
struct Hash {
  std::uint64_t h = 1469598103934665603ULL;
  void bytes(const void* p, std::size_t n) {
    const auto* c = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ c[i]) * 1099511628211ULL;
  }
  void number(double v) { bytes(&v, sizeof v); }
  void count(std::size_t v) { bytes(&v, sizeof v); }
  void numbers(const std::vector<double>& v) {
    count(v.size());
    for (double x : v) number(x);
  }
  void outputs(const Outputs& o) {
    for (double v : o.values) number(v);
    count(o.phase ? 1 : 0);
    if (o.phase) {
      for (const auto& e : *o.phase) numbers(e);
    }
    count(o.greek ? 1 : 0);
    if (o.greek) {
      for (const std::vector<double>* s : o.greek->vectors()) numbers(*s);
    }
  }
  void result(const EnsembleResult& r) {
    outputs(r.value);
    outputs(r.error);
    count(r.d.size());
    for (const Outputs& o : r.d) outputs(o);
    for (const Outputs& o : r.d_errors) outputs(o);
    count(r.panels);
    count(r.converged ? 1 : 0);
    for (const auto& [lo, hi] : r.ranges) {
      number(lo);
      number(hi);
    }
  }
};

std::vector<Complex<double>> index_of(Complex<double> m, std::size_t n) { return std::vector<Complex<double>>(n, m); }

EnsembleOptions options(double rtol, GreekSelection greek, std::vector<double> mu = {},
                        std::vector<EnsembleParam> params = {}) {
  EnsembleOptions o;
  o.rtol = rtol;
  o.max_panels = 100000;
  o.greek = greek;
  o.mu = std::move(mu);
  o.params = std::move(params);
  return o;
}

EnsembleParam param(ParamKind kind, std::size_t component = 0, std::optional<std::size_t> mode = std::nullopt) {
  return {mode, kind, component};
}

struct Case {
  std::string name;
  std::function<std::uint64_t()> run;
};

void feed(Hash& h, const EnsembleResult& r) { h.result(r); }
template <class T>
void feed(Hash& h, const std::vector<T>& v) {
  for (const T& x : v) feed(h, x);
}

// The digest of a run's results, or of its error's text.
template <class T>
std::uint64_t digest(const vantok::Result<T>& results) {
  Hash h;
  if (!results) {
    const std::string e = results.error().to_string();
    std::fprintf(stderr, "error: %s\n", e.c_str());
    h.bytes(e.data(), e.size());
    return h.h;
  }
  feed(h, *results);
  return h.h;
}

std::uint64_t hash_run(const std::vector<Component>& components, const std::vector<double>& wavelengths,
                       const EnsembleOptions& o) {
  return digest(engine::run(components, wavelengths, o));
}

std::uint64_t hash_batch(const std::vector<Component>& components, const std::vector<double>& wavelengths,
                         const EnsembleOptions& o) {
  return digest(engine::run_batch(components, wavelengths, o));
}

std::vector<Case> cases() {
  const Complex<double> m{1.53, 0.008};
  const std::vector<double> one{0.55};
  const std::vector<double> three{0.45, 0.55, 0.7};
  const std::vector<double> mu{-1.0, -0.5, 0.0, 0.3, 0.9, 1.0};
  const Particle sphere{Sphere{index_of(m, 3)}};
  const Particle layered{LayeredSphere{{0.6}, {index_of({1.33, 0.0}, 3), index_of({1.6, 0.02}, 3)}}};
  const Particle sphere1{Sphere{index_of(m, 1)}};
  std::vector<Case> out;

  const std::vector<Component> lognormal{{sphere1, SizeDistribution{Lognormal{0.1, 2.0}}, 1.0}};
  out.push_back({"lognormal all orders 1e-9", [=] { return hash_run(lognormal, one, options(1e-9, GreekSelection::all())); }});
  const std::vector<Component> gamma{{sphere, SizeDistribution{Gamma{1.0, 0.1}}, 1.0}};
  out.push_back({"gamma all orders 1e-9, 3 wavelengths",
                 [=] { return hash_run(gamma, three, options(1e-9, GreekSelection::all())); }});
  out.push_back({"gamma cosines, derivatives, all orders 1e-6", [=] {
                   return hash_run(gamma, three,
                                   options(1e-6, GreekSelection::all(), mu,
                                           {param(param::MReal{}), param(param::Distribution{"effective_variance"}),
                                            param(param::MImag{}), param(param::Distribution{"effective_radius"})}));
                 }});
  out.push_back({"gamma cosines only, derivatives 1e-7", [=] {
                   return hash_run(gamma, one,
                                   options(1e-7, GreekSelection::off(), mu,
                                           {param(param::MImag{}), param(param::Distribution{"effective_radius"})}));
                 }});
  out.push_back({"gamma Greek up to 40, no derivatives 1e-8",
                 [=] { return hash_run(gamma, three, options(1e-8, GreekSelection::up_to(40), mu)); }});
  out.push_back({"gamma Greek up to 2000 1e-6",
                 [=] { return hash_run(gamma, one, options(1e-6, GreekSelection::up_to(2000))); }});

  const std::vector<Component> large{{sphere, SizeDistribution{Lognormal{8.0, 1.2}}, 1.0}};
  out.push_back({"large spheres all orders, two derivatives 1e-4", [=] {
                   return hash_run(large, {0.5},
                                   options(1e-4, GreekSelection::all(), {},
                                           {param(param::MReal{}), param(param::Distribution{"width"})}));
                 }});
  out.push_back({"large spheres all orders, one derivative 1e-4", [=] {
                   return hash_run(large, {0.6}, options(1e-4, GreekSelection::all(), mu, {param(param::MImag{})}));
                 }});
  out.push_back({"gamma Greek up to 0 and 3, derivatives 1e-6", [=] {
                   const std::vector<EnsembleParam> p{param(param::MImag{}), param(param::Distribution{"effective_radius"})};
                   return hash_run(gamma, one, options(1e-6, GreekSelection::up_to(0), {}, p)) ^
                          hash_run(gamma, one, options(1e-6, GreekSelection::up_to(3), {}, p)) * 3 ^
                          hash_run(gamma, one, options(1e-6, GreekSelection::up_to(1), {})) * 7;
                 }});

  const std::vector<Component> coated{{layered, SizeDistribution{Lognormal{0.3, 1.6}}, 1.0}};
  out.push_back({"layered all orders, cosines, derivatives 1e-6", [=] {
                   return hash_run(coated, three,
                                   options(1e-6, GreekSelection::all(), mu,
                                           {param(param::LayerMReal{0}), param(param::LayerMImag{1}),
                                            param(param::RadiusFraction{0}), param(param::Distribution{"width"}),
                                            param(param::LayerMImag{0}), param(param::LayerMReal{1})}));
                 }});
  out.push_back({"layered all orders 1e-8",
                 [=] { return hash_run(coated, one, options(1e-8, GreekSelection::all(), mu)); }});

  const std::vector<Component> mixture{
      {sphere, SizeDistribution{Lognormal{0.2, 1.8}}, 2.0},
      {sphere, SizeDistribution{Multimodal{{Mode{1.0, SizeDistribution{Gamma{0.5, 0.2}}},
                                            Mode{3.0, SizeDistribution{Lognormal{1.5, 1.3}}}}}},
       1.0},
      {sphere, SizeDistribution{Monodisperse{0.7}}, 0.5},
      {sphere, SizeDistribution{PowerLaw{3.5, 0.05, 2.0}}, 0.25}};
  out.push_back({"mixture all orders, derivatives 1e-6", [=] {
                   return hash_run(mixture, three,
                                   options(1e-6, GreekSelection::all(), mu,
                                           {param(param::Weight{}, 0), param(param::Weight{}, 1, 1),
                                            param(param::Distribution{"radius"}, 2), param(param::MReal{}, 3),
                                            param(param::Distribution{"width"}, 1, 1)}));
                 }});
  out.push_back({"batch all orders 1e-7", [=] { return hash_batch(mixture, three, options(1e-7, GreekSelection::all(), mu)); }});
  const std::vector<Component> mono{{sphere, SizeDistribution{Monodisperse{2.0}}, 1.0}};
  out.push_back({"monodisperse all orders, derivatives", [=] {
                   return hash_run(mono, three,
                                   options(1e-6, GreekSelection::all(), mu,
                                           {param(param::Distribution{"radius"}), param(param::MImag{})}));
                 }});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
  Hash total;
  bool agree = true;
  for (const Case& c : cases()) {
    const std::uint64_t single = vantok::pool::with_threads(1, c.run);
    const std::uint64_t many = vantok::pool::with_threads(8, c.run);
    if (single != many) {
      agree = false;
      std::printf("THREADS DIFFER: %s: %016llx (1) %016llx (8)\n", c.name.c_str(),
                  static_cast<unsigned long long>(single), static_cast<unsigned long long>(many));
    }
    if (verbose) std::printf("%016llx  %s\n", static_cast<unsigned long long>(single), c.name.c_str());
    total.bytes(c.name.data(), c.name.size());
    total.count(single);
  }
  std::printf("%016llx\n", static_cast<unsigned long long>(total.h));
  return agree ? 0 : 1;
}
