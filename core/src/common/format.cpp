// Message number formatting on the shortest round-trip digits of std::to_chars.
// chars_format::fixed is not used: it prints the exact binary value
// (1e300 -> 1000000000000000052504760255...), not the shortest digits.
#include "vantok/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace vantok::fmt {
namespace {

// The shortest decimal representation of a finite v: sign, significant digits
// (no point) and the decimal exponent of the first digit, v = d.ddd x 10^exponent.
struct Digits {
  bool negative;
  std::string digits;
  int exponent;
};

Digits shortest_digits(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string text(buf, res.ptr);
  Digits d{false, {}, 0};
  std::size_t i = 0;
  if (text[i] == '-') {
    d.negative = true;
    ++i;
  }
  const std::size_t e = text.find('e');
  for (; i < e; ++i) {
    if (text[i] != '.') d.digits.push_back(text[i]);
  }
  d.exponent = std::atoi(text.c_str() + e + 1);
  // to_chars gives "0e+00" for zero; strip trailing zeros of other values
  // defensively (the shortest form has none).
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

std::string non_finite(double v) {
  if (std::isnan(v)) return "NaN";
  return v < 0 ? "-inf" : "inf";
}

std::string exp_layout(const Digits& d) {
  std::string out = d.negative ? "-" : "";
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1, std::string::npos);
  }
  out += 'e';
  out += std::to_string(d.exponent);
  return out;
}

std::string positional_layout(const Digits& d, bool keep_point) {
  std::string out = d.negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.digits == "0") {
    out += keep_point ? "0.0" : "0";
    return out;
  }
  if (d.exponent >= 0) {
    const int int_len = d.exponent + 1;
    if (n <= int_len) {
      out += d.digits;
      out.append(static_cast<std::size_t>(int_len - n), '0');
      if (keep_point) out += ".0";
    } else {
      out.append(d.digits, 0, static_cast<std::size_t>(int_len));
      out += '.';
      out.append(d.digits, static_cast<std::size_t>(int_len), std::string::npos);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += d.digits;
  }
  return out;
}

template <class T, class F>
std::string list(std::span<const T> values, F&& one) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += one(values[i]);
  }
  out += ']';
  return out;
}

}  // namespace

std::string exp(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  return exp_layout(shortest_digits(v));
}

std::string plain(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  return positional_layout(shortest_digits(v), false);
}

std::string debug(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  const double a = std::fabs(v);
  const Digits d = shortest_digits(v);
  if (a != 0.0 && (a < 1e-4 || a >= 1e16)) return exp_layout(d);
  return positional_layout(d, true);
}

std::string debug(const complex::Complex<double>& z) {
  return "Complex { re: " + debug(z.re) + ", im: " + debug(z.im) + " }";
}

std::string plain(std::int64_t v) { return std::to_string(v); }
std::string plain(std::uint64_t v) { return std::to_string(v); }

std::string debug_list(std::span<const double> values) {
  return list(values, [](double v) { return debug(v); });
}

std::string debug_list(std::span<const complex::Complex<double>> values) {
  return list(values, [](const complex::Complex<double>& z) { return debug(z); });
}

std::string debug_list(std::span<const std::size_t> values) {
  return list(values, [](std::size_t v) { return std::to_string(v); });
}

}  // namespace vantok::fmt
