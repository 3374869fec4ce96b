#include "kelvora/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kelvora/error.hpp"

namespace kelvora::serialization {

namespace {

struct Decimal {
  bool negative = false;
  char digits[20];  // shortest round-trip digits, no leading/trailing zeros
  int count = 0;
  int exponent = 0;  // decimal exponent of the first digit
};

Decimal decompose(double value) {
  Decimal d;
  char sci[40];
  auto r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  if (r.ec != std::errc()) internal_fault("f64 serialization should never fail");
  const char* p = sci;
  const char* end = r.ptr;
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  // p at 'e'
  ++p;
  bool neg_exp = false;
  if (*p == '+' || *p == '-') neg_exp = (*p++ == '-');
  int e = 0;
  for (; p != end; ++p) e = e * 10 + (*p - '0');
  d.exponent = neg_exp ? -e : e;
  return d;
}

// Values with one to four decimals, such as the confidences 0.5 or 0.875,
// written without the general shortest-digits search; 0 when `value` is not
// one. For a magnitude below 2^50 / 10^4 the scaled value is within 1/4 of
// the integer m it rounds to, and m / 10^k, correctly rounded, equals `value`
// exactly when the k-decimal text of m reads back as `value`. The first k
// that passes gives the fewest digits, which are the shortest round trip's.
// Such a value has its first digit at exponent -4..10, so the JSON form and
// the display form agree: plain notation, no exponent.
std::size_t format_short_fraction(char* buf, double value) {
  constexpr double kScale[] = {1.0, 10.0, 100.0, 1'000.0, 10'000.0};
  constexpr unsigned kMaxDecimals = 4;
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-4 && magnitude < 0x1p50 / 10'000.0)) return 0;
  for (unsigned k = 1; k <= kMaxDecimals; ++k) {
    const auto m = static_cast<std::uint64_t>(magnitude * kScale[k] + 0.5);
    if (static_cast<double>(m) / kScale[k] != magnitude) continue;
    const auto scale = static_cast<std::uint64_t>(kScale[k]);
    char* out = buf;
    if (value < 0) *out++ = '-';
    out = std::to_chars(out, out + 24, m / scale).ptr;
    *out++ = '.';
    std::uint64_t fraction = m % scale;
    for (unsigned i = k; i-- > 0;) {
      out[i] = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    return static_cast<std::size_t>(out + k - buf);
  }
  return 0;
}

// Writes `value` (finite) into buf; returns the length. `json` selects the
// JSON form (".0", exponent outside -5..15), else the display form.
std::size_t format_f64_into(char* buf, double value, bool json) {
  char* out = buf;
  if (value == 0.0) {
    if (std::signbit(value)) *out++ = '-';
    *out++ = '0';
    if (json) {
      *out++ = '.';
      *out++ = '0';
    }
    return static_cast<std::size_t>(out - buf);
  }
  // Whole numbers below 2^53 (1.0, the usual confidence, among them): their
  // shortest digits are the integer's own digits, and they stay below 1e16,
  // so the JSON form too writes them in plain notation.
  const double magnitude = std::fabs(value);
  if (magnitude < 0x1p53) {
    const auto whole = static_cast<std::uint64_t>(magnitude);
    if (static_cast<double>(whole) == magnitude) {
      if (value < 0) *out++ = '-';
      if (whole < 10) {
        *out++ = static_cast<char>('0' + whole);
      } else {
        out = std::to_chars(out, out + 24, whole).ptr;
      }
      if (json) {
        *out++ = '.';
        *out++ = '0';
      }
      return static_cast<std::size_t>(out - buf);
    }
  }
  if (std::size_t n = format_short_fraction(buf, value); n != 0) return n;
  Decimal d = decompose(value);
  if (d.negative) *out++ = '-';
  const int n = d.count;
  const int e = d.exponent;
  if (!json || (e >= -5 && e <= 15)) {
    if (e >= n - 1) {
      std::memcpy(out, d.digits, n);
      out += n;
      for (int i = 0; i < e - (n - 1); ++i) *out++ = '0';
      if (json) {
        *out++ = '.';
        *out++ = '0';
      }
    } else if (e >= 0) {
      std::memcpy(out, d.digits, e + 1);
      out += e + 1;
      *out++ = '.';
      std::memcpy(out, d.digits + e + 1, n - e - 1);
      out += n - e - 1;
    } else {
      *out++ = '0';
      *out++ = '.';
      for (int i = 0; i < -e - 1; ++i) *out++ = '0';
      std::memcpy(out, d.digits, n);
      out += n;
    }
  } else {
    *out++ = d.digits[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, d.digits + 1, n - 1);
      out += n - 1;
    }
    *out++ = 'e';
    *out++ = e < 0 ? '-' : '+';
    auto r = std::to_chars(out, out + 8, e < 0 ? -e : e);
    out = r.ptr;
  }
  return static_cast<std::size_t>(out - buf);
}

}  // namespace

std::size_t put_f64_json(char* out, double value) {
  return format_f64_into(out, value, /*json=*/true);
}

std::string format_f64(double value) {
  if (!std::isfinite(value)) internal_fault("f64 serialization should never fail");
  char buf[40];
  return std::string(buf, format_f64_into(buf, value, /*json=*/true));
}

std::string format_f64_display(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[400];  // 5e-324 needs 327 characters
  return std::string(buf, format_f64_into(buf, value, /*json=*/false));
}

std::optional<double> parse_f64(std::string_view text) {
  // JSON number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  const char* p = text.data();
  const char* end = p + text.size();
  auto digit = [&](const char* q) { return q != end && *q >= '0' && *q <= '9'; };
  bool negative = false;
  if (p != end && *p == '-') {
    negative = true;
    ++p;
  }
  if (!digit(p)) return std::nullopt;
  if (*p == '0') {
    ++p;
  } else {
    while (digit(p)) ++p;
  }
  bool is_float = false;
  if (p != end && *p == '.') {
    ++p;
    if (!digit(p)) return std::nullopt;
    while (digit(p)) ++p;
    is_float = true;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (!digit(p)) return std::nullopt;
    while (digit(p)) ++p;
    is_float = true;
  }
  if (p != end) return std::nullopt;

  const char* begin = text.data();
  if (!is_float) {
    // nlohmann::json keeps integers as 64-bit integers (strtoll / strtoull)
    // and converts them to double on request; an integer out of the 64-bit
    // range falls back to the float reader. The document parser holds the
    // token "-0" as negative zero (the sign survives a round trip); so here.
    if (negative) {
      std::int64_t v;
      auto r = std::from_chars(begin, end, v);
      if (r.ec == std::errc() && r.ptr == end) return v == 0 ? -0.0 : static_cast<double>(v);
    } else {
      std::uint64_t v;
      auto r = std::from_chars(begin, end, v);
      if (r.ec == std::errc() && r.ptr == end) return static_cast<double>(v);
    }
  }
  // strtod: correctly rounded; nlohmann refuses a result that is not finite.
  double v = 0.0;
  auto r = std::from_chars(begin, end, v, std::chars_format::general);
  if (r.ec == std::errc() && r.ptr == end) {
    if (!std::isfinite(v)) return std::nullopt;
    return v;
  }
  if (r.ec != std::errc::result_out_of_range) return std::nullopt;
  // Out of range: overflow (strtod gives inf: refused) or underflow (strtod
  // gives a signed zero). Decide by the decimal magnitude of the text.
  const char* q = begin + (negative ? 1 : 0);
  std::int64_t point = 0;  // digits before the point, after leading zeros
  bool seen_nonzero = false;
  std::int64_t lead_frac_zeros = 0;
  for (; q != end && *q >= '0' && *q <= '9'; ++q) {
    if (*q != '0' || seen_nonzero) {
      seen_nonzero = true;
      ++point;
    }
  }
  if (q != end && *q == '.') {
    for (++q; q != end && *q >= '0' && *q <= '9'; ++q) {
      if (!seen_nonzero) {
        if (*q == '0') {
          ++lead_frac_zeros;
        } else {
          seen_nonzero = true;
        }
      }
    }
  }
  std::int64_t exp = 0;
  if (q != end && (*q == 'e' || *q == 'E')) {
    ++q;
    bool neg_exp = false;
    if (*q == '+' || *q == '-') neg_exp = (*q++ == '-');
    for (; q != end; ++q) {
      if (exp < 100'000'000) exp = exp * 10 + (*q - '0');
    }
    if (neg_exp) exp = -exp;
  }
  const std::int64_t magnitude = (point > 0 ? point : -lead_frac_zeros) + exp;
  if (magnitude > 0) return std::nullopt;
  return negative ? -0.0 : 0.0;
}

}  // namespace kelvora::serialization
