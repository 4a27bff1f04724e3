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
    M("dd-div-newton-sign", "core/src/scalar/dd*.cpp", "const double m = (-b.lo) * r0;",
      "const double m = b.lo * r0;", "double-double quotient: wrong sign of the divisor's trailing part"),
    M("dd-sqrt-correction", "core/include/vantok/scalar/dd.hpp", "return detail::corrected(s, r / (s + s));",
      "return detail::corrected(s, r / s);", "double-double sqrt: Newton correction divided by s, not 2s"),
    M("dd-exp-taylor-term", "core/src/scalar/dd*.cpp", "for (int j = 9; j >= 2; --j)",
      "for (int j = 9; j >= 3; --j)", "double-double exp: Horner loop stops one term early"),
    M("dual-quotient-sign", "core/include/vantok/scalar/dual.hpp",
      "out.partials[i] = (a.partials[i] - q * b.partials[i]) * r;",
      "out.partials[i] = (a.partials[i] + q * b.partials[i]) * r;", "dual quotient rule: flipped sign"),
    M("dual-mask-dropped", "core/include/vantok/scalar/dual.hpp",
      "return RealTraits<T>::is_zero(d) ? RealTraits<T>::ZERO : d * f;", "return d * f;",
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
      "const double theta0 = ((4.0 * k - 1.0) * M_PI)", "const double theta0 = ((4.0 * k - 3.0) * M_PI)",
      "Gauss-Legendre: Newton started off its root"),
    M("clebsch-overflow-check-dropped", "core/src/special/clebsch.cpp", "(void)c.a_squared(l_max);",
      "", "Clebsch-Gordan: work arrays allocated before the overflow check"),
    M("clebsch-backward-sign", "core/src/special/clebsch.cpp",
      "w.f[k - 1] = -(w.b[k] * w.f[k] + (a_above[l] * lf(big_l)) * f_above[l]) / denominator;",
      "w.f[k - 1] = (w.b[k] * w.f[k] + (a_above[l] * lf(big_l)) * f_above[l]) / denominator;",
      "Clebsch-Gordan: backward recurrence sign"),
    # ---- sphere -------------------------------------------------------------
    M("mie-upward-recurrence", "core/**/mie/*", "const V w1 = lit(2.0 * o.nd - 1.0) * s.inv_x;",
      "const V w1 = lit(2.0 * o.nd + 1.0) * s.inv_x;", "sphere: upward psi/chi recurrence off by one order"),
    M("mie-db-dx-factor", "core/**/mie/*", "out.db_dx[i] = times_i(y2) * s.m2_minus_1;",
      "out.db_dx[i] = times_i(x2) * s.m2_minus_1;",
      "sphere: db/dx uses X^2 instead of Y^2"),
    M("mie-asymmetry-weight", "core/**/mie/*",
      "const V term = lit(static_cast<double>(n * (n + 2)) / (nd + 1.0)) *",
      "const V term = lit(static_cast<double>(n * (n + 2)) / (nd + 2.0)) *", "asymmetry sum: wrong weight"),
    M("mie-g-zero-scattering", "core/**/mie/*",
      "inline M nonzero(V v) { return (v < lit(0.0)) || (v > lit(0.0)) || (v != v); }",
      "inline M nonzero(V v) { return (v == v) || (v != v); }", "g = 0/0 = NaN when nothing scatters"),
    M("mie-back-jacobian", "core/**/mie/*", "dq_back = dq_back - lit(2.0) * back_sq * (u * u * u);",
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
    M("lu-no-pivoting", "core/**/tmatrix/*", "if (M::greater(modulus, best)) {",
      "if (i == k && M::greater(modulus, best)) {", "LU without partial pivoting"),
    M("lu-back-substitution", "core/**/tmatrix/*",
      "for (std::size_t j = i + 1; j < n; ++j) s = s - row[j] * y[j];",
      "for (std::size_t j = i + 2; j < n; ++j) s = s - row[j] * y[j];", "back substitution skips a column"),
    M("lu-dual-zero-multiplier", "core/**/tmatrix/*",
      "if (!LuMember<DD>::is_zero(Complex<DD>{z.re.partials[i], z.im.partials[i]})) return false;",
      "(void)i;", "dual LU: a multiplier of value 0 skips its row update, dropping derivatives"),
    M("refine-one-sweep", "core/**/tmatrix/*", "constexpr int MAX_SWEEPS = 4;",
      "constexpr int MAX_SWEEPS = 1;", "refinement stops after one sweep"),
    M("estimate-nan-candidate", "core/**/tmatrix/*",
      "if (std::isnan(c) && !std::isnan(magnitude) && !std::isnan(scale)) return INFINITY;",
      "if (false) return INFINITY;", "error estimate: 0 * inf counted as no bound"),
    M("series-suffix-index", "core/**/tmatrix/*",
      "const auto k = static_cast<std::size_t>(std::min(d - t + 1, big_n));",
      "const auto k = static_cast<std::size_t>(std::min(d - t, big_n));", "tail sum: suffix index off by one"),
    M("angular-start", "core/**/tmatrix/*",
      "if (m < n_max) d0m[m + 1] = (root_const<T>(2 * m + 1) * c) * d0m[m];",
      "if (m < n_max) d0m[m + 1] = (root_const<T>(2 * m + 3) * c) * d0m[m];",
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
    M("py-layered-particle-index", "python/src/*.cpp",
      "auto terms = vantok::layered::check_inputs(x_.row(p), m_.row(p), options_); "
      "if (!terms) return std::unexpected(at(p, std::move(terms).error()));",
      "auto terms = vantok::layered::check_inputs(x_.row(p), m_.row(p), options_); "
      "if (!terms) return std::unexpected(at(0, std::move(terms).error()));",
      "layered errors name particle 0"),
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


def sync_tree(dest: Path) -> None:
    """Copies the tracked and unignored files of the working tree to dest,
    rewriting only what differs (so that rebuilds stay incremental)."""
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
        if path.is_file() and rel not in wanted and not rel.startswith(".hypothesis"):
            path.unlink()


class Runner:
    def __init__(self, work: Path, jobs: int, timeout: float, build_timeout: float, skip: set[str],
                 gtest_filter: str | None, python: str):
        self.python = python
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
            proc = subprocess.Popen(["cmake", "--build", str(self.build), "-j", str(self.jobs)], stdout=out,
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
        for test in sorted((self.source / "python" / "tests").glob("test_*.py")):
            jobs.append((test.name, [self.python, "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider",
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
                    out = open(self.logs / f"{tag}.{name}.log", "w")
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
                        failures.append(f"{name}: {first_failure(self.logs / f'{tag}.{name}.log', timed_out)}")
                if failures and stop_at_first:
                    break
        finally:
            for name, proc, _, out in running:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                out.close()
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
    parser.add_argument("--gtest-filter", help="a --gtest_filter for every GoogleTest program (e.g. -Suite.*)")
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
                    set(filter(None, args.skip.split(","))), args.gtest_filter, args.python)
    runner.source.mkdir(parents=True, exist_ok=True)
    sync_tree(runner.source)
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
