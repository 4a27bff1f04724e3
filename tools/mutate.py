#!/usr/bin/env python3
"""Mutation testing of the test suite: how many hand-picked faults does it find?

Each mutant below is one small fault of the kind that slips past review (a
flipped sign, an off-by-one start, a wrong constant, a dropped check, a swapped
message, a skipped borrow release, a wrong stride). The tool copies the
repository into a scratch directory, builds it once, checks that the suite
passes there, then for each mutant: applies the fault to the copy, rebuilds,
runs every GoogleTest executable and every pytest file (in parallel, each with
a time limit) and records whether any of them failed ("killed") or all passed
("survived"). The copy is restored after each mutant; the working tree is never
touched.

A mutant names its code by text, not by line: the text (whitespace-insensitive)
must occur exactly once among the files its glob matches, so the mutants
survive reformatting and moves within an area. After a restructuring, a mutant
whose text is gone shows as "missing" in --check and is re-targeted by editing
its entry.

    tools/mutate.py --check              # every mutant still applies
    tools/mutate.py -j4                  # the whole run (about half an hour)
    tools/mutate.py -j4 --only dd-sum-trailing-error,py-gil-efficiencies
    tools/mutate.py --list
    tools/mutate.py -j4 --skip test_ensemble --gtest-filter='-GreekWigner.*'   # a part of the suite
    tools/mutate.py -j4 --every-failure  # every test that finds each fault

Results go to <workdir>/results.txt (one line per mutant) and to stdout.
"""

from __future__ import annotations

import argparse
import dataclasses
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


@dataclasses.dataclass(frozen=True)
class Mutant:
    name: str
    files: str  # glob relative to the repository root
    find: str  # code text, matched with any run of whitespace as \s+
    replace: str
    fault: str


M = Mutant
MUTANTS = [
    # ---- scalars ------------------------------------------------------------
    M("dd-sum-trailing-error", "core/include/vantok/scalar/dd.hpp", "e = f + e;", "(void)f;",
      "double-double sum drops the rounding error of the trailing parts"),
    M("dd-div-newton-sign", "core/**/scalar/dd*", "const double m = (-b.lo) * r0;",
      "const double m = b.lo * r0;", "double-double quotient: wrong sign of the divisor's trailing part"),
    M("dd-sqrt-correction", "core/include/vantok/scalar/dd.hpp", "return detail::corrected(s, r / (s + s));",
      "return detail::corrected(s, r / s);", "double-double sqrt: Newton correction divided by s, not 2s"),
    M("dd-exp-taylor-term", "core/src/scalar/dd*.cpp", "for (int j = 9; j >= 2; --j)",
      "for (int j = 9; j >= 3; --j)", "double-double exp: Horner loop stops one term early"),
    M("dual-quotient-sign", "core/include/vantok/scalar/dual.hpp",
      "out.partials[i] = (a.partials[i] - q * b.partials[i]) * r;",
      "out.partials[i] = (a.partials[i] + q * b.partials[i]) * r;", "dual quotient rule: flipped sign"),
    M("dual-mask-dropped", "core/include/vantok/scalar/dual.hpp",
      "return ScalarTraits<T>::is_zero(d) ? ScalarTraits<T>::ZERO : d * f;", "return d * f;",
      "dual special paths: zero partials no longer masked (0 * inf = NaN)"),
    M("complex-inv-bounds-inclusive", "core/include/vantok/complex.hpp",
      "s_value > 1e-300 && s_value < 1e300) {", "s_value >= 1e-300 && s_value <= 1e300) {",
      "complex reciprocal: bounds of the direct path inclusive"),
    M("complex-inv-smith-sign", "core/include/vantok/complex.hpp", "return {t * rho, -rho};",
      "return {t * rho, rho};", "complex reciprocal: sign of Smith's second branch"),
    # ---- common -------------------------------------------------------------
    M("format-exp-drops-sign", "core/src/common/format.cpp",
      'std::string out = d.negative ? "-" : ""; out += d.digits[0];',
      'std::string out = ""; out += d.digits[0];', "exponent form loses the minus sign"),
    M("pool-stop-ignored", "core/src/common/pool.cpp", "if (token->requested()) throw Stopped{};",
      "if (false) throw Stopped{};", "a requested stop is not seen by pool threads"),
    # ---- special functions --------------------------------------------------
    M("wigner-general-difference-off", "core/src/special/*wigner*", "xp >= 0.9 ? Kind::GeneralDifference",
      "xp >= 2.0 ? Kind::GeneralDifference", "Wigner d: m != n near x = 1 uses the plain three-term form"),
    M("wigner-difference-only-m0", "core/src/special/*wigner*", "if (m == np && xp >= 0.0)",
      "if (m == np && m == 0 && xp >= 0.0)", "Wigner d: m == n != 0 leaves the difference form"),
    M("wigner-mirror-parity", "core/src/special/wigner*.cpp",
      "if ((static_cast<std::int64_t>(l) + m) % 2 != 0) out[l] = -out[l];",
      "if ((static_cast<std::int64_t>(l) + path.n) % 2 != 0) out[l] = -out[l];",
      "Wigner d: mirror sign from the wrong index"),
    M("wigner-extended-start-lost", "core/src/special/wigner*.cpp",
      "if (ev + exponent < EXTENDED_BELOW) return {exponent, v};", "if (false) return {exponent, v};",
      "Wigner d: start values below the double range flushed instead of carried"),
    M("gl-asymptotic-term", "core/src/special/gauss_legendre*.cpp",
      "const double theta = alpha + v2 * (f1 + v2 * (f2 + v2 * f3));",
      "const double theta = alpha + v2 * (f1 + v2 * f2);", "Gauss-Legendre: asymptotic node series one term short"),
    M("gl-newton-start", "core/src/special/gauss_legendre*.cpp",
      "const double theta0 = ((4.0 * k - 1.0) * constants::PI)", "const double theta0 = ((4.0 * k - 3.0) * constants::PI)",
      "Gauss-Legendre: Newton started off its root"),
    M("clebsch-overflow-check-dropped", "core/src/special/clebsch.cpp", "(void)c.a_squared(l_max);",
      "", "Clebsch-Gordan: work arrays allocated before the overflow check"),
    M("clebsch-backward-sign", "core/src/special/clebsch.cpp",
      "return -(w.b[k] * w.f[k] + (a_above * lf(big_l)) * f_above) / denominator;",
      "return (w.b[k] * w.f[k] + (a_above * lf(big_l)) * f_above) / denominator;",
      "Clebsch-Gordan: backward recurrence sign"),
    M("clebsch-no-first-peak", "core/src/special/clebsch.cpp",
      "rising[l] = w.o.l_min >= 1 && w.count >= 2;", "rising[l] = false;",
      "Clebsch-Gordan: matched at the largest backward value even below the forward values' first peak"),
    M("clebsch-no-rescaled-sweep", "core/src/special/clebsch.cpp",
      "if (!largest_from(w, peak[l])) {", "if (false) {",
      "Clebsch-Gordan: a backward sweep past 2^500 not redone with scaling"),
    # ---- sphere -------------------------------------------------------------
    M("mie-upward-recurrence", "core/src/spherical/*", "const V w1 = lit(2.0 * o.nd - 1.0) * s.inv_x;",
      "const V w1 = lit(2.0 * o.nd + 1.0) * s.inv_x;", "sphere: upward psi/chi recurrence off by one order"),
    M("mie-db-dx-factor", "core/src/spherical/*", "out.db_dx[i] = times_i(y2) * s.m2_minus_1;",
      "out.db_dx[i] = times_i(x2) * s.m2_minus_1;",
      "sphere: db/dx uses X^2 instead of Y^2"),
    M("mie-asymmetry-weight", "core/src/spherical/*",
      "const V term = lit(static_cast<double>(n * (n + 2)) / (nd + 1.0)) *",
      "const V term = lit(static_cast<double>(n * (n + 2)) / (nd + 2.0)) *", "asymmetry sum: wrong weight"),
    M("mie-g-zero-scattering", "core/src/spherical/*",
      "inline M nonzero(V v) { return (v < lit(0.0)) || (v > lit(0.0)) || (v != v); }",
      "inline M nonzero(V v) { return (v == v) || (v != v); }", "g = 0/0 = NaN when nothing scatters"),
    M("mie-back-jacobian", "core/src/spherical/*", "dq_back = dq_back - lit(2.0) * back_sq * (u * u * u);",
      "dq_back = dq_back - back_sq * (u * u * u);", "Q_back Jacobian: explicit x term halved"),
    M("mie-tau-sign", "core/**/mie/*", "const double t = w * ((nf * mu) * pi - n1 * pi_prev);",
      "const double t = w * ((nf * mu) * pi + n1 * pi_prev);", "amplitudes: sign in tau_n"),
    M("mie-phase-f34", "core/**/mie/*", "out.f34[j] = im_conj(s1, s2) * c;",
      "out.f34[j] = im_conj(s2, s1) * c;", "phase matrix: F34 with swapped amplitudes"),
    M("mie-greek-zero-guard", "core/**/mie/*", "if (!normalized && a0 == 0.0) return;",
      "if (false) return;", "unnormalised Greek coefficients of a non-scattering sphere: 0/0"),
    M("mie-negative-zero-index", "core/**/mie/*", "if (0.0 > m.re || 0.0 > m.im) {",
      "if (0.0 > m.re || std::signbit(m.im)) {", "refractive index: -0.0 refused"),
    M("mie-default-terms", "core/**/mie/*", "std::ceil(std::cbrt(x) * 6.0 + x + 3.0)",
      "std::ceil(std::cbrt(x) * 4.0 + x + 3.0)", "default truncation: wrong constant"),
    # ---- layered sphere -----------------------------------------------------
    M("layered-chi-xi-switch", "core/**/layered/*", "const bool weak = ml.im * x_out < 0.5;",
      "const bool weak = ml.im * x_out < 0.0;", "layered: the chi form is never chosen"),
    M("layered-nu-form", "core/**/layered/*",
      "const M near = lit(4.0) * norm1(big_w) >= max_ignoring_nan(norm1(d.d1_z1), norm1(g1s));",
      "const M near = lit(4.0) * norm1(big_w) < lit(-1.0);",
      "layered derivatives: the cancellation-free nu form is never chosen"),
    M("layered-correction-form", "core/**/layered/*",
      "const M shift = lit(4.0) * norm1(h_shift) >= max_ignoring_nan(norm1(d.d1_z2), norm1(c_prime));",
      "const M shift = lit(4.0) * norm1(h_shift) >= lit(-1.0);",
      "layered: the correction form is kept even where it cancels"),
    M("layered-chain-kx", "core/**/layered/*", "kx = dm2 * inv_mj;", "kx = dm2 * inv_mp;",
      "layered derivatives: b-side x term divided by the wrong index"),
    M("layered-max-layers", "core/**/layered/*", "if (x_count > MAX_LAYERS) {",
      "if (x_count > MAX_LAYERS + 1) {", "layer count limit off by one"),
    # ---- T-matrix linear algebra and series ----------------------------------
    M("lu-no-pivoting", "core/**/tmatrix/*", "if (Traits::greater(modulus, best)) {",
      "if (i == k && Traits::greater(modulus, best)) {", "LU without partial pivoting"),
    M("lu-back-substitution", "core/**/tmatrix/*",
      "for (std::size_t j = i + 1; j < n; ++j) s = s - row[j] * y[j];",
      "for (std::size_t j = i + 2; j < n; ++j) s = s - row[j] * y[j];", "back substitution skips a column"),
    M("lu-dual-zero-multiplier", "core/**/tmatrix/*",
      "return Traits::is_exact_zero(z.re) && Traits::is_exact_zero(z.im);",
      "return Traits::value_is_exact_zero(z.re) && Traits::value_is_exact_zero(z.im);",
      "dual LU: a multiplier of value 0 skips its row update, dropping derivatives"),
    M("refine-one-sweep", "core/**/tmatrix/*", "constexpr int MAX_SWEEPS = 4;",
      "constexpr int MAX_SWEEPS = 1;", "refinement stops after one sweep"),
    M("estimate-nan-candidate", "core/**/tmatrix/*",
      "if (std::isnan(c) && !std::isnan(magnitude) && !std::isnan(scale)) return INFINITY;",
      "if (false) return INFINITY;", "error estimate: 0 * inf counted as no bound"),
    M("series-suffix-index", "core/src/tmatrix/detail_series_tails.inc",
      "const auto k = static_cast<std::size_t>(std::min(d - t + 1, big_n));",
      "const auto k = static_cast<std::size_t>(std::min(d - t, big_n));", "tail sum: suffix index off by one"),
    M("angular-start", "core/**/tmatrix/*",
      "f.first = root_const<T>(2 * m + 1);",
      "f.first = root_const<T>(2 * m + 3);",
      "T-matrix angular functions: wrong second start value"),
    M("exps-scaled-sign", "core/**/tmatrix/*", "const T e1 = exp((-z.im) - s);",
      "const T e1 = exp((-z.im) + s);", "scaled exponentials: wrong sign of the scale"),
    # ---- module frame and bindings ------------------------------------------
    M("py-gil-efficiencies", "python/src/*.?pp",
      "return unlocked([&]() -> Outcome<efficiency_outputs::Buffers> {",
      "return std::invoke([&]() -> Outcome<efficiency_outputs::Buffers> {",
      "the efficiency functions keep the interpreter lock while they compute"),
    M("py-changed-during-call", "python/src/*.cpp",
      "if (terms > out.n_terms) return std::unexpected(changed_during_call(i));",
      "if (false) return std::unexpected(changed_during_call(i));",
      "coefficient outputs: an element grown since the first pass is not refused"),
    M("py-skip-shared-release", "python/src/*.cpp",
      "if (access_ == Access::Shared) api_->release(api_->flags, array_.get());",
      "if (access_ == Access::Shared) {}", "read borrows are never released"),
    M("py-cursor-stride", "python/src/*.hpp", "offset_ += view_->strides_[d];",
      "offset_ += static_cast<np::npy_intp>(sizeof(T));", "input arrays read as if C-contiguous"),
    M("py-error-class", "python/src/*.cpp",
      "case vantok::Error::Kind::OutsideValidatedDomain: return \"OutsideValidatedDomainError\";",
      "case vantok::Error::Kind::OutsideValidatedDomain: return \"InvalidInputError\";",
      "outside-domain errors raised as InvalidInputError"),
    M("py-missing-plural", "python/src/*.cpp", '(missing.size() == 1 ? "" : "s")',
      '(missing.size() == 0 ? "" : "s")', "argument errors: wrong plural"),
    M("py-aligned-check", "python/src/*.cpp", "if ((np::fields(array)->flags & np::ARRAY_ALIGNED) == 0) {",
      "if (false) {", "misaligned arrays accepted"),
    M("py-guard-message", "python/src/*.cpp", 'if (counting_derivatives) message += " (counting derivatives)";',
      "(void)counting_derivatives;", "size-guard message loses its derivative note"),
    M("py-cosines-copied-before-guard", "python/src/*.hpp", "VANTOK_CHECK(check_cosines(mu_view));",
      "VANTOK_CHECK(cosines(mu_view));", "angular calls copy mu before the size guard has counted it"),
    M("mie-ratio-recurrence-unpolled", "core/src/spherical/kernel_lanes.inc",
      "if (n % stop_stride == 0) stop::check();", "(void)stop_stride;",
      "a vast |m x| runs its ratio recurrence without a stop check"),
    M("py-held-work-unpolled", "python/src/lock.hpp",
      "bool poll() override { return polls_ && PyErr_CheckSignals() < 0; }", "bool poll() override { return false; }",
      "Ctrl-C does not end the first orientation average of a solved spheroid's methods"),
    M("py-not-converged-pickle", "python/vantok/errors.py",
      "return type(self), (self.message, self.achieved, self.requested), self.__dict__",
      "return super().__reduce__()", "NotConvergedError cannot be made again from its pickle"),
    M("py-greek-padded-per-element", "python/src/*.hpp",
      "const std::size_t order = std::min<std::size_t>(out.order, 2 * c.a.size());",
      "const std::size_t order = out.order;", "Greek calls expand every element up to the call's order, zeros and all"),
    M("py-layered-particle-index", "python/src/*.cpp",
      "auto terms = vantok::layered::check_inputs(x_.row(p), m_.row(p), options_); "
      "if (!terms) return std::unexpected(at(p, std::move(terms).error()));",
      "auto terms = vantok::layered::check_inputs(x_.row(p), m_.row(p), options_); "
      "if (!terms) return std::unexpected(at(0, std::move(terms).error()));",
      "layered errors name particle 0"),
    # ---- ensemble engine ------------------------------------------------------
    M("ens-batch-index-count", "core/src/ensemble/ensemble.cpp", "if (particle.index_count != wavelengths) {",
      "if (false) {", "ensemble batch: index count not checked against the wavelengths"),
    M("ens-rtol-low-exclusive", "core/src/ensemble/ensemble.cpp", "if (!(rtol >= 1e-13 && rtol <= 0.1))",
      "if (!(rtol > 1e-13 && rtol <= 0.1))", "ensemble request: the lowest accepted rtol refused"),
    M("ens-density-lognormal-dmedian", "core/src/ensemble/distribution.cpp", "{u / (s * s * k.median_radius),",
      "{u / (s * k.median_radius),", "lognormal density: median derivative divided by s, not s^2"),
    M("ens-cutoff-one-step", "core/src/ensemble/range.cpp", "closed[side] = sweep != 0 && pass;",
      "closed[side] = pass;", "radius cutoffs: a side may close after its first step"),
    M("ens-moment-derivative-quotient", "core/src/ensemble/moments.cpp",
      "const double dq = (values[base + k + 1] - q * d0) / m0;", "const double dq = values[base + k + 1] / m0;",
      "mean-power derivatives lose the quotient rule's dM0 term"),
    M("ens-pass1-max-panels", "core/src/ensemble/first_pass_steps.cpp",
      "const std::size_t take = std::min(candidates.size(), max_panels - n);",
      "const std::size_t take = candidates.size();", "first pass: bisection beyond max_panels"),
    M("ens-pass2-distribution-derivative", "core/src/ensemble/second_pass_averages.cpp",
      "const double dv = (r.sums[i] - v * big_d) / m0;", "const double dv = r.sums[i] / m0;",
      "part averages: distribution derivatives lose the dM0 term"),
    M("ens-pass2-mean-powers", "core/src/ensemble/second_pass_averages.cpp",
      "if (smooth) take_mean_powers(m, n_d, out);", "if (false) take_mean_powers(m, n_d, out);",
      "part averages: a smooth part's <r²>, <r³> from its panels, whose range leaves out the r³ tail"),
    M("ens-mode-weight-derivative", "core/src/ensemble/second_pass_mixture.cpp",
      "g = ((w / total) * (delta - mw / mws)) / mws;", "g = ((w / total) * delta) / mws;",
      "mixture: derivative by a mode weight ignores the renormalisation"),
    M("ens-lidar-ratio", "core/src/ensemble/outputs.cpp", "c_ext.div(c_back).scale(FOUR_PI)",
      "c_ext.div(c_back).scale(PI)", "lidar ratio with pi instead of 4 pi"),
    M("ens-band-tau", "core/src/ensemble/bands.cpp", "const double tau = (kf * mu[i]) * pi[i] - k1 * pi_prev[i];",
      "const double tau = (kf * mu[i]) * pi[i] + k1 * pi_prev[i];", "Greek bands: sign in tau_k"),
    M("ens-band-storage-unchecked", "core/src/ensemble/bands.cpp",
      'memory::require_work(storage, sizeof(double), "the angular tables of the Greek quadrature");',
      "", "Greek bands: storage beyond the work budget allocated instead of refused"),
    M("ens-projection-difference", "core/src/ensemble/projection.cpp", "t[V_DIFFERENCE] = t[V0] - t[V2];",
      "t[V_DIFFERENCE] = t[V0] + t[V2];", "projection: alpha2 - alpha3 from F11 + F33"),
    M("ens-projection-paired-split", "core/src/ensemble/projection.cpp",
      "const std::size_t split = 4 * (columns / 4);", "const std::size_t split = columns;",
      "projection: paired sums at every order (not the bits of the stored product)"),
    M("ens-matmul-depth-blocks", "core/src/ensemble/detail_matrix_lanes.inc",
      "(sum[r][j] + (first ? V::broadcast(0.0) : V::load(out))).store(out);", "sum[r][j].store(out);",
      "blocked product: each depth block overwrites the sums of the blocks before"),
    M("ens-fast-term-parity", "core/src/ensemble/band_amplitudes.cpp", "const bool odd_term = row % 2 == 0;",
      "const bool odd_term = row % 2 == 1;", "fast phase products: a_k and b_k on the wrong half tables"),
    # ---- T-matrix kernel, driver and outputs ---------------------------------
    M("tm-surface-normal-sign", "core/src/tmatrix/detail_kernel_node.inc",
      "nt.s = (((ctx.b2 - ctx.a2) * st) * x) / big_d;", "nt.s = (((ctx.a2 - ctx.b2) * st) * x) / big_d;",
      "mode kernel: sign of the surface-normal factor"),
    M("tm-variant-gap", "core/src/tmatrix/detail_kernel_impl.hpp",
      "if (gap >= 3 && Traits::greater(mg[1 + code][e], mg[2][e])) code = 1;",
      "if (gap >= 2 && Traits::greater(mg[1 + code][e], mg[2][e])) code = 1;",
      "mode kernel: variant 1 chosen for orders two apart"),
    M("tm-cross-section-weight", "core/src/tmatrix/state.cpp",
      "const T w = scalar::constant<T>(m == 0 ? 1.0 : 2.0);", "const T w = scalar::constant<T>(1.0);",
      "cross sections: modes m > 0 counted once, not for +m and -m"),
    M("tm-refinement-mode-cap", "core/src/tmatrix/kernel.cpp", "if (m > in.m_max) return std::nullopt;",
      "if (m >= in.m_max) return std::nullopt;", "refinement mask: the highest mode never refined"),
    M("tm-refine-regular-dropped", "core/src/tmatrix/one_solve.cpp", "q2[e] = g ? q_dd[e] + rg2[e] : q_dd[e];",
      "q2[e] = q_dd[e];", "refinement: the f64 regular part of negligible rows not added back to Q"),
    M("tm-carry-any-quadrature", "core/src/tmatrix/one_solve.cpp",
      "if (entry && entry->n_terms == n_terms && entry->n_theta == n_theta) return entry;",
      "if (entry && entry->n_terms == n_terms) return entry;",
      "convergence: mode 0 kept from a solve at another quadrature size"),
    M("tm-partials-row-dropped", "core/src/tmatrix/detail_kernel_impl.hpp",
      "if (list[i].second < a.n_from) continue;", "if (list[i].second <= a.n_from) continue;",
      "kernel: the first summed row of each block left out of the chunk partials"),
    M("tm-unscale-zero-nan", "core/src/tmatrix/scaled_solve.cpp",
      "if (Traits::is_exact_zero(z.re) && Traits::is_exact_zero(z.im)) return z;", "",
      "unscaling: an underflowed element times an overflowing factor gives NaN"),
    M("tm-converge-step", "core/src/tmatrix/convergence.cpp",
      "std::size_t next_terms(std::size_t n) { return sat_add<std::size_t>(n, std::max<std::size_t>(n / 8, 2)); }",
      "std::size_t next_terms(std::size_t n) { return sat_add<std::size_t>(n, std::max<std::size_t>(n / 8, 1)); }",
      "convergence: N may grow by one"),
    M("tm-orientation-f34", "core/src/tmatrix/mueller.cpp", "f[4].push_back((-z1.im) - z2.im);",
      "f[4].push_back(z1.im - z2.im);", "orientation average: sign of F34"),
    M("tm-greek-rule-short", "core/src/tmatrix/greek_projection.cpp", "const size_t q = n_max + big_l / 2 + 1;",
      "const size_t q = n_max + big_l / 2;", "Greek projection: quadrature one point short"),
    M("tm-qback-constant", "core/src/tmatrix/solution.cpp", "q[3] = (s * constants::FOUR_PI) / g_geo;",
      "q[3] = (s * constants::TWO_PI) / g_geo;", "Q_back with 2 pi instead of 4 pi"),
    M("tm-jacobian-x-unseeded", "core/src/tmatrix/solution.cpp",
      "const DualF64 x = DualF64::variable(state_->x, 0); const DualF64 g_geo",
      "const DualF64 x = cst<DualF64>(state_->x); const DualF64 g_geo",
      "efficiency Jacobian: the -2Q/x term of the geometric cross section lost"),
    M("tm-derivative-rhs-sign", "core/src/tmatrix/derivative_f64_solve.cpp",
      "for (std::size_t j = 0; j < k; ++j) v[j] = -v[j];", "", "derivative blocks: right-hand side not negated"),
    M("tm-dd-scale-partials", "core/src/tmatrix/derivative_solve.cpp", "add_scale_partials(t, rows, dl);",
      "(void)dl;", "double-double derivative solve: the order scales' derivatives not unscaled"),
    M("tm-ratio-start-unbounded", "core/src/mie/ratios.cpp", "if (start > MAX_START_ORDER) {",
      "if (start > MAX_START_ORDER && a < 0.0) {", "ratio recurrences: a start order that could not end is run"),
    # ---- ensemble and T-matrix bindings -------------------------------------
    M("py-tmatrix-efficiency-layout", "python/src/tmatrix_random.cpp",
      "efficiencies[k * count + p] = e[k];", "efficiencies[p * EFFICIENCIES + k] = e[k];",
      "tmatrix_random: efficiencies stored transposed"),
    M("py-tmatrix-object-phase-guard", "python/src/tmatrix_object.cpp",
      "product({count, cosines, derivatives ? GUARDED_PER_COSINE : ROWS})", "product({count, cosines, ROWS})",
      "TMatrixObject.phase_matrix: the derivatives left out of the output guard"),
    M("py-tmatrix-object-greek-padded", "python/src/tmatrix_object.cpp",
      "if (order && *order > 2 * n_terms && *order <= vantok::MAX_GREEK_ORDER) expanded = 2 * n_terms;", "",
      "TMatrixObject.greek pads every series to the order asked for, zeros and all"),
    M("py-tmatrix-greek-width", "python/src/tmatrix_random.cpp",
      "for (const auto& g : series) width = std::max(width, g.alpha1.size());",
      "for (const auto& g : series) width = g.alpha1.size();",
      "tmatrix_random: Greek width from the last spheroid, not the longest"),
    # ---- lanes, stop hook, Greek Wigner functions -----------------------------
    M("lanes-neq-ordered", "core/include/vantok/scalar/lanes.hpp", "_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)",
      "_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_OQ)", "four-lane != false for a NaN operand"),
    M("lanes-select-swapped", "core/include/vantok/scalar/lanes.hpp",
      "return {_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v))};",
      "return {_mm_or_pd(_mm_and_pd(m.v, b.v), _mm_andnot_pd(m.v, a.v))};", "two-lane select picks the wrong side"),
    M("stop-poll-not-recorded", "core/src/common/pool.cpp", "if (stop) token.request();", "(void)stop;",
      "a poll that asks to stop is not recorded for the other threads"),
    M("nested-stop-caller-unpolled", "core/src/common/pool.cpp",
      "stop::detail::TokenAccess::poll_nesting_if_due(token);", "stop::detail::TokenAccess::poll_if_due(token);",
      "a caller that waits for the pool under a nested token never polls the token it is nested in"),
    M("refusal-runs-second-passes", "core/src/ensemble/rounds.cpp",
      "return !slot.passed || (lowest_first_failure_.load() == slots_.size() && i < lowest_failure_.load());",
      "return !slot.passed || i < lowest_failure_.load();",
      "a refusal found after the first passes still runs the second passes below it, only to discard them"),
    M("run-error-by-index-alone", "core/src/ensemble/rounds.cpp",
      "Slot& slot = slots_[first < slots_.size() ? first : any];", "Slot& slot = slots_[any];",
      "a failing run reports its lowest failure, which depends on the rounds (the pool's size)"),
    M("pipeline-window-widened", "core/src/common/pool.cpp", "tbb::parallel_pipeline( window,",
      "tbb::parallel_pipeline( window + 1,", "a pipeline starts an index before the slot it reuses is retired"),
    M("scratch-list-unprepared", "core/src/common/pool.cpp",
      'ScratchSlots* scratch = &tl_scratch; asm volatile("" : : "r"(scratch) : "memory");', "",
      "a thread's scratch list is first set up when memory may have run out"),
    M("ahead-while-unsettled", "core/src/tmatrix/convergence.cpp",
      "pr.last < std::min(ABOUT_TO_CONVERGE * plan.rtol, SETTLING)", "pr.last < ABOUT_TO_CONVERGE * plan.rtol",
      "trials made ahead at every step of a run that never settles (loose rtol)"),
    M("wigner-greek-zero-region", "core/src/special/wigner_greek.cpp", "if (x < 0.0) return Region::NearNegative;",
      "if (x <= 0.0) return Region::NearNegative;", "Greek Wigner functions: x = 0 in the mirrored region"),
    M("wigner-greek-degree1-mirror", "core/src/special/wigner_greek.cpp",
      "scratch[0][l][j] = l == 0 ? 1.0 : (flip ? -g.x00[j] : g.x00[j]);",
      "scratch[0][l][j] = l == 0 ? 1.0 : g.x00[j];", "Greek Wigner functions: d^1_00 of a mirrored argument"),
]


def pattern(text: str) -> re.Pattern:
    return re.compile(r"\s+".join(re.escape(word) for word in text.split()))


def locate(mutant: Mutant, source: Path) -> tuple[Path | None, list[tuple[Path, int]]]:
    """The file holding the mutant's text, and every (file, count) with a match."""
    rx = pattern(mutant.find)
    hits = []
    for name in sorted(glob.glob(str(source / mutant.files), recursive=True)):
        count = len(rx.findall(Path(name).read_text()))
        if count:
            hits.append((Path(name), count))
    if len(hits) == 1 and hits[0][1] == 1:
        return hits[0][0], hits
    return None, hits


def sync_tree(dest: Path, keep: tuple[str, ...] = ()) -> None:
    """Copies the tracked and unignored files of the working tree to dest,
    rewriting only what differs (so that rebuilds stay incremental); files of
    dest under a prefix in `keep` stay even when the tree lacks them."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, check=True, capture_output=True).stdout.split(b"\0")
    wanted = set()
    for raw in listed:
        if not raw:
            continue
        rel = raw.decode()
        src = ROOT / rel
        if not src.is_file():
            continue
        wanted.add(rel)
        out = dest / rel
        data = src.read_bytes()
        if not out.exists() or out.read_bytes() != data:
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(data)
            shutil.copymode(src, out)
    for path in list(dest.rglob("*")):
        rel = path.relative_to(dest).as_posix()
        if path.is_file() and rel not in wanted and not rel.startswith((".hypothesis", *keep)):
            path.unlink()


class Runner:
    def __init__(self, work: Path, jobs: int, timeout: float, build_timeout: float, skip: set[str],
                 gtest_filter: str | None, python: str, every_failure: bool = False, targets: list[str] = ()):
        self.targets = list(targets)
        self.pytest_dirs: list[str] = []
        self.python = python
        self.every_failure = every_failure
        self.source = work / "source"
        self.build = work / "build"
        self.jobs = jobs
        self.timeout = timeout
        self.build_timeout = build_timeout
        self.skip = skip
        self.gtest_filter = gtest_filter
        self.logs = work / "logs"
        self.logs.mkdir(parents=True, exist_ok=True)

    def configure(self) -> None:
        if (self.build / "CMakeCache.txt").exists():
            return
        subprocess.run(["cmake", "-S", str(self.source), "-B", str(self.build), "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython3_EXECUTABLE={self.python}", "-DVANTOK_BUILD_BENCH=OFF"],
                       check=True, stdout=subprocess.DEVNULL)

    def compile(self, log: Path) -> bool:
        with open(log, "w") as out:
            targets = ["--target", *self.targets] if self.targets else []
            proc = subprocess.Popen(["cmake", "--build", str(self.build), "-j", str(self.jobs), *targets], stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True)
            try:
                return proc.wait(timeout=self.build_timeout) == 0
            except subprocess.TimeoutExpired:
                return False
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()

    def suite(self) -> list[tuple[str, list[str]]]:
        """(name, command) of every test job: each GoogleTest executable and each pytest file."""
        jobs = []
        flags = [f"--gtest_filter={self.gtest_filter}"] if self.gtest_filter else []
        for exe in sorted((self.build / "core" / "tests").glob("test_*")):
            if exe.is_file() and os.access(exe, os.X_OK):
                jobs.append((exe.name, [str(exe), "--gtest_brief=1", *flags]))
        stop = [] if self.every_failure else ["-x"]
        for folder in ["python/tests", *self.pytest_dirs]:
            for test in sorted((self.source / folder).glob("test_*.py")):
                name = test.name if folder == "python/tests" else f"{folder}/{test.name}"
                jobs.append((name, [self.python, "-m", "pytest", *stop, "-q", "-rfE", "-p", "no:cacheprovider",
                                    str(test)]))
        return [job for job in jobs if job[0] not in self.skip]

    def run_suite(self, tag: str, stop_at_first: bool = True) -> tuple[str, str]:
        """("passed" | "failed" | "timeout", what failed first)."""
        env = dict(os.environ, PYTHONPATH=str(self.build / "python"), PYTHONDONTWRITEBYTECODE="1")
        pending = self.suite()
        running: list[tuple[str, subprocess.Popen, float, object]] = []
        failures: list[str] = []
        status = "passed"
        try:
            while pending or running:
                while pending and len(running) < self.jobs:
                    name, cmd = pending.pop(0)
                    out = open(self.logs / f"{tag}.{name.replace('/', '_')}.log", "w")
                    proc = subprocess.Popen(cmd, cwd=self.source, env=env, stdout=out, stderr=subprocess.STDOUT,
                                            start_new_session=True)
                    running.append((name, proc, time.monotonic(), out))
                time.sleep(0.05)
                for item in list(running):
                    name, proc, started, out = item
                    code = proc.poll()
                    timed_out = code is None and time.monotonic() - started > self.timeout
                    if code is None and not timed_out:
                        continue
                    if timed_out:
                        os.killpg(proc.pid, signal.SIGKILL)
                        proc.wait()
                    out.close()
                    running.remove(item)
                    if timed_out or code != 0:
                        status = "timeout" if timed_out and status == "passed" else ("failed" if status == "passed" else status)
                        log = self.logs / f"{tag}.{name.replace('/', '_')}.log"
                        found = every_failure(log, timed_out) if self.every_failure else first_failure(log, timed_out)
                        failures.append(f"{name}: {found}")
                if failures and stop_at_first and not self.every_failure:
                    break
        finally:
            for name, proc, _, out in running:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                out.close()
        if self.every_failure:
            return status, "; ".join(failures)
        return status, failures[0] if failures else ""


def first_failure(log: Path, timed_out: bool) -> str:
    if timed_out:
        return "time limit"
    text = log.read_text(errors="replace")
    for rx in (r"\[  FAILED  \] (\S+)", r"^FAILED (\S+)", r"^ERROR (\S+)"):
        found = re.search(rx, text, re.M)
        if found:
            return found.group(1)
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1][:160] if lines else "no output"


def every_failure(log: Path, timed_out: bool) -> str:
    """Every failed test of a log (GoogleTest and pytest names), or the first-failure text."""
    if timed_out:
        return "time limit"
    text = log.read_text(errors="replace")
    names = re.findall(r"^\[  FAILED  \] (\S+)(?! tests?, listed)", text, re.M)
    names += re.findall(r"^(?:FAILED|ERROR) (\S+)", text, re.M)
    return " ".join(dict.fromkeys(n for n in names if not n[0].isdigit())) or first_failure(log, timed_out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", type=Path, default=ROOT / "build-mutate",
                        help="scratch directory for the source copy and its build (default build-mutate/)")
    parser.add_argument("-j", "--jobs", type=int, default=4, help="parallel compile and test jobs (default 4)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds per test job (default: 5 times the slowest baseline job, at least 60)")
    parser.add_argument("--build-timeout", type=float, default=1800.0, help="seconds per rebuild")
    parser.add_argument("--only", help="comma-separated mutant names")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    parser.add_argument("--check", action="store_true", help="check that every mutant applies, and exit")
    parser.add_argument("--skip-baseline", action="store_true", help="do not run the unmutated suite first")
    parser.add_argument("--skip", default="", help="comma-separated test jobs not to run (test_ensemble, test_x.py)")
    parser.add_argument("--targets", default="",
                        help="comma-separated build targets rebuilt for each mutant (default: all); with --skip, "
                             "leave out what the skipped jobs need (e.g. test_scalar,test_mie,_vantok)")
    parser.add_argument("--pytest-dirs", default="",
                        help="comma-separated directories of the source copy whose test_*.py files run besides "
                             "python/tests (e.g. an earlier version of the tests placed there, to compare suites)")
    parser.add_argument("--resync", action="store_true",
                        help="copy the working tree again before each mutant (tests edited meanwhile take part); "
                             "files under the --pytest-dirs and --keep prefixes stay")
    parser.add_argument("--keep", default="", help="comma-separated path prefixes of the source copy that syncing "
                                                   "never deletes (extra test areas placed there)")
    parser.add_argument("--gtest-filter", help="a --gtest_filter for every GoogleTest program (e.g. -Suite.*)")
    parser.add_argument("--every-failure", action="store_true",
                        help="run the whole suite for each mutant and record every test that fails (slower; shows "
                             "which tests find which fault)")
    parser.add_argument("--python", default=os.environ.get("PYTHON", "/usr/bin/python3"),
                        help="the interpreter that builds the module and runs pytest (default $PYTHON or "
                             "/usr/bin/python3, as make does)")
    args = parser.parse_args()
    # A termination restores the mutated file and stops the jobs (finally blocks).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))

    mutants = MUTANTS
    if args.only:
        names = args.only.split(",")
        unknown = set(names) - {m.name for m in MUTANTS}
        if unknown:
            parser.error(f"unknown mutants: {', '.join(sorted(unknown))}")
        mutants = [m for m in MUTANTS if m.name in names]
    if args.list:
        for m in mutants:
            print(f"{m.name:32} {m.files:40} {m.fault}")
        return 0
    if args.check:
        bad = 0
        for m in mutants:
            found, hits = locate(m, ROOT)
            if found is None:
                bad += 1
                where = ", ".join(f"{p.relative_to(ROOT)} x{n}" for p, n in hits) or "nowhere"
                print(f"missing {m.name}: text found {where}")
        print(f"{len(mutants) - bad} of {len(mutants)} mutants apply")
        return 1 if bad else 0

    work = args.workdir.resolve()
    runner = Runner(work, args.jobs, args.timeout or 600.0, args.build_timeout,
                    set(filter(None, args.skip.split(","))), args.gtest_filter, args.python, args.every_failure,
                    list(filter(None, args.targets.split(","))))
    runner.pytest_dirs = list(filter(None, args.pytest_dirs.split(",")))
    keep = tuple(runner.pytest_dirs) + tuple(filter(None, args.keep.split(",")))
    runner.source.mkdir(parents=True, exist_ok=True)
    sync_tree(runner.source, keep)
    runner.configure()
    if not runner.compile(runner.logs / "baseline.build.log"):
        print(f"the unmutated tree does not build: see {runner.logs / 'baseline.build.log'}")
        return 2
    if not args.skip_baseline:
        started = time.monotonic()
        status, failure = runner.run_suite("baseline", stop_at_first=False)
        elapsed = time.monotonic() - started
        if status != "passed":
            print(f"the unmutated suite does not pass ({failure}); logs in {runner.logs}")
            return 2
        print(f"baseline suite passes in {elapsed:.0f} s")
        if args.timeout is None:
            runner.timeout = max(60.0, 5 * elapsed)

    results = []
    killed = 0
    for m in mutants:
        if args.resync:
            sync_tree(runner.source, keep)
        path, hits = locate(m, runner.source)
        if path is None:
            results.append((m, "missing", f"text found {len(hits)} file(s), {sum(n for _, n in hits)} time(s)"))
            print(f"{'missing':9} {m.name}")
            continue
        original = path.read_text()
        mutated = pattern(m.find).sub(lambda _: m.replace, original, count=1)
        started = time.monotonic()
        try:
            path.write_text(mutated)
            if not runner.compile(runner.logs / f"{m.name}.build.log"):
                status, detail = "nobuild", f"see {runner.logs / (m.name + '.build.log')}"
            else:
                status, detail = runner.run_suite(m.name)
        finally:
            path.write_text(original)
        if status in ("failed", "timeout"):
            killed += 1
            status = "killed" if status == "failed" else "killed-t"
        elif status == "passed":
            status, detail = "SURVIVED", ""
        results.append((m, status, detail))
        print(f"{status:9} {m.name:32} {time.monotonic() - started:5.0f} s  {detail}", flush=True)

    # Leave the copy built as the tree is.
    runner.compile(runner.logs / "restore.build.log")
    applicable = sum(1 for _, s, _ in results if s not in ("missing", "nobuild"))
    summary = f"killed {killed} of {applicable} mutants"
    survivors = [m.name for m, s, _ in results if s == "SURVIVED"]
    lines = [f"{s:9} {m.name:32} {m.fault}" + (f"  [{d}]" if d else "") for m, s, d in results]
    lines += ["", summary, "survived: " + (", ".join(survivors) or "none")]
    (work / "results.txt").write_text("\n".join(lines) + "\n")
    print(summary)
    print("survived:", ", ".join(survivors) or "none")
    return 0


if __name__ == "__main__":
    sys.exit(main())
