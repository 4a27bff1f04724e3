/* A plain textbook Mie solver, the yardstick of the sphere benchmarks: not part
 * of the library. It follows the classic scheme of Bohren & Huffman (1983,
 * ch. 4 and app. A): the logarithmic derivative D_n(m x) by downward
 * recurrence from well above N, psi_n(x) and chi_n(x) by upward recurrence,
 * a_n and b_n by eq. 4.88 with C99 complex arithmetic, and the series sums of
 * the efficiencies (eqs. 4.61, 4.62, 4.82). No guards, no scaling, no
 * vectorisation: the speed of the straightforward method at gcc -O2.
 *
 *     gcc -O2 -shared -fPIC -o textbook_mie.so textbook_mie.c -lm
 */
#include <complex.h>
#include <math.h>
#include <stdlib.h>

/* The efficiencies of one sphere with n_terms terms into q: Q_ext, Q_sca,
 * Q_abs, Q_back, g. d is scratch of at least max(n_terms, |m x|) + 16 values. */
static void sphere(double x, double complex m, int n_terms, double complex *d, double *q) {
  const double complex mx = m * x;
  int n_start = n_terms;
  if (cabs(mx) > n_start) n_start = (int)cabs(mx);
  n_start += 15;

  /* D_{n-1} = n/(mx) - 1/(D_n + n/(mx)), from D = 0 at n_start. */
  d[n_start] = 0.0;
  for (int n = n_start; n >= 1; --n) {
    const double complex t = n / mx;
    d[n - 1] = t - 1.0 / (d[n] + t);
  }

  double psi0 = cos(x), psi1 = sin(x);
  double chi0 = -sin(x), chi1 = cos(x);
  double complex xi1 = psi1 - I * chi1;
  double complex a_prev = 0.0, b_prev = 0.0;
  double sca = 0.0, ext = 0.0, asy = 0.0;
  double complex back = 0.0;
  for (int n = 1; n <= n_terms; ++n) {
    const double w = 2.0 * n + 1.0;
    const double psi = (2.0 * n - 1.0) / x * psi1 - psi0;
    const double chi = (2.0 * n - 1.0) / x * chi1 - chi0;
    const double complex xi = psi - I * chi;
    const double complex ta = d[n] / m + n / x;
    const double complex tb = m * d[n] + n / x;
    const double complex a = (ta * psi - psi1) / (ta * xi - xi1);
    const double complex b = (tb * psi - psi1) / (tb * xi - xi1);
    sca += w * (creal(a) * creal(a) + cimag(a) * cimag(a) + creal(b) * creal(b) + cimag(b) * cimag(b));
    ext += w * creal(a + b);
    back += (n % 2 == 0 ? w : -w) * (a - b);
    if (n > 1) {
      const double nm = n - 1.0;
      asy += nm * (nm + 2.0) / (nm + 1.0) * creal(a_prev * conj(a) + b_prev * conj(b));
    }
    asy += w / (n * (n + 1.0)) * creal(a * conj(b));
    a_prev = a;
    b_prev = b;
    psi0 = psi1;
    psi1 = psi;
    chi0 = chi1;
    chi1 = chi;
    xi1 = xi;
  }
  const double s = 2.0 / (x * x);
  q[0] = s * ext;
  q[1] = s * sca;
  q[2] = q[0] - q[1];
  q[3] = (creal(back) * creal(back) + cimag(back) * cimag(back)) / (x * x);
  q[4] = 2.0 * asy / sca;
}

/* count spheres: x[i], m = (m_re[i], m_im[i]), n_terms[i] terms; efficiencies
 * into q[5 i .. 5 i + 4]. Returns 0, or -1 when the scratch cannot be made. */
int textbook_efficiencies(long count, const double *x, const double *m_re, const double *m_im,
                          const long *n_terms, double *q) {
  long largest = 0;
  for (long i = 0; i < count; ++i) {
    const long need = n_terms[i] + (long)(hypot(m_re[i], m_im[i]) * x[i]) + 16;
    if (need > largest) largest = need;
  }
  double complex *d = malloc((size_t)(largest + 1) * sizeof *d);
  if (d == NULL) return -1;
  for (long i = 0; i < count; ++i) sphere(x[i], m_re[i] + I * m_im[i], (int)n_terms[i], d, q + 5 * i);
  free(d);
  return 0;
}
