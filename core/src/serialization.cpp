// Canonical JSON, SHA-256, derived identifiers and the text forms of floats
// and time stamps.
#include "kelvora/serialization.hpp"

// The state walk keeps SHA-256 midstates; the low-level context is a plain
// struct, so a midstate is a copy (the EVP context would need a heap copy).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>

namespace kelvora::serialization {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// --------------------------------------------------------------- SHA-256

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

const EVP_MD* sha256_md() {
  // Fetched once: an explicit fetch avoids the per-Init implicit lookup.
  static const EVP_MD* md = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? static_cast<const EVP_MD*>(fetched) : EVP_sha256();
  }();
  return md;
}

// Streams bytes into SHA-256. Small pieces are batched into a buffer so that
// the digest sees large updates; large pieces go straight to the digest.
class Sha256Stream {
 public:
  Sha256Stream() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), sha256_md(), nullptr) != 1) {
      internal_fault("SHA-256 initialisation failed");
    }
  }

  void feed(std::string_view bytes) {
    if (bytes.size() >= kDirect) {
      flush();
      update(bytes.data(), bytes.size());
      return;
    }
    if (len_ + bytes.size() > kBuffer) flush();
    std::memcpy(buf_.data() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
  }
  void feed(char c) {
    if (len_ == kBuffer) flush();
    buf_[len_++] = c;
  }

  Hash finish() {
    flush();
    Hash h;
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), h.bytes.data(), &n) != 1 || n != 32) {
      internal_fault("SHA-256 finalisation failed");
    }
    return h;
  }

 private:
  static constexpr std::size_t kBuffer = 16384;
  static constexpr std::size_t kDirect = 4096;

  void flush() {
    if (len_ > 0) update(buf_.data(), len_);
    len_ = 0;
  }
  void update(const void* data, std::size_t n) {
    if (EVP_DigestUpdate(ctx_.get(), data, n) != 1) internal_fault("SHA-256 update failed");
  }

  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx_;
  std::size_t len_ = 0;
  std::array<char, kBuffer> buf_;
};

// A sink that appends to a string (the same member walk as the hash stream).
struct StringSink {
  std::string& out;
  void feed(std::string_view bytes) { out.append(bytes); }
  void feed(char c) { out.push_back(c); }
};

// --------------------------------------------------------------- pieces

// The 36 characters of the 8-4-4-4-12 form at `out`. Every entry text holds
// two of them (key and id), so this is one of the writer's hot spots: the 32
// digits are made 16 at a time, then placed around the hyphens.
void put_uuid(char* out, const Uuid& id) {
  char hex[32];
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(id.bytes.data()));
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), low_nibble);
  const __m128i lo = _mm_and_si128(v, low_nibble);
  // A nibble x becomes '0' + x, plus the gap up to 'a' when x > 9.
  auto digits = [](__m128i x) {
    const __m128i letter = _mm_cmpgt_epi8(x, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(x, _mm_set1_epi8('0')),
                        _mm_and_si128(letter, _mm_set1_epi8('a' - '0' - 10)));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hex), digits(_mm_unpacklo_epi8(hi, lo)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 16), digits(_mm_unpackhi_epi8(hi, lo)));
#else
  for (std::size_t i = 0; i < 16; ++i) {
    hex[2 * i] = kHexDigits[id.bytes[i] >> 4];
    hex[2 * i + 1] = kHexDigits[id.bytes[i] & 0x0F];
  }
#endif
  std::memcpy(out, hex, 8);
  out[8] = '-';
  std::memcpy(out + 9, hex + 8, 4);
  out[13] = '-';
  std::memcpy(out + 14, hex + 12, 4);
  out[18] = '-';
  std::memcpy(out + 19, hex + 16, 4);
  out[23] = '-';
  std::memcpy(out + 24, hex + 20, 12);
}

void append_uuid(std::string& out, const Uuid& id) {
  const std::size_t at = out.size();
  out.resize(at + 36);
  put_uuid(out.data() + at, id);
}

void write_uuid(std::string& out, const Uuid& id) {
  out.push_back('"');
  append_uuid(out, id);
  out.push_back('"');
}

template <class U>
void write_uint(std::string& out, U value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void write_name(std::string& out, std::string_view name) {
  out.push_back('"');
  out.append(name);
  out.push_back('"');
}

template <class IdT>
void write_id_list(std::string& out, const std::vector<IdT>& ids) {
  out.push_back('[');
  bool first = true;
  for (const auto& id : ids) {
    if (!first) out.push_back(',');
    first = false;
    write_uuid(out, id.uuid);
  }
  out.push_back(']');
}

// ----------------------------------------------------------- float text

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

// ------------------------------------------------------------ time stamps

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Howard Hinnant's days_from_civil / civil_from_days, for 64-bit years.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = floor_div(y, 400);
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

constexpr Civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = floor_div(z, 146097);
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return Civil{y + (m <= 2), m, d};
}

constexpr bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr unsigned days_in_month(std::int64_t y, unsigned m) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* put2(char* p, unsigned v) {  // v < 100
  std::memcpy(p, kDigitPairs + 2 * v, 2);
  return p + 2;
}

char* put3(char* p, unsigned v) {  // v < 1000, three digits
  *p = static_cast<char>('0' + v / 100);
  return put2(p + 1, v % 100);
}

// civil_from_days for the days of years 0..9999 in 32-bit arithmetic, with
// no division left but by constants (Neri and Schneider's calendar
// algorithm; the count is shifted by 82 eras so that it stays unsigned).
constexpr std::int64_t kFirstFastDay = -719'528;  // 0000-01-01
constexpr std::int64_t kLastFastDay = 2'932'896;  // 9999-12-31
constexpr Civil civil_from_days_fast(std::int64_t z) {
  constexpr std::uint32_t kEras = 82;
  const auto n = static_cast<std::uint32_t>(z + 719'468 + 146'097 * kEras);
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t century = n1 / 146'097;
  const std::uint32_t n2 = (n1 % 146'097) | 3;
  const std::uint64_t p2 = std::uint64_t{2'939'745} * n2;
  const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);
  const std::uint32_t day_of_year = static_cast<std::uint32_t>(p2) / 2'939'745 / 4;
  const std::uint32_t n3 = 2'141 * day_of_year + 197'913;
  const std::uint32_t month = n3 >> 16;
  const std::uint32_t day = (n3 & 0xFFFF) / 2'141 + 1;
  const std::uint32_t january_or_february = day_of_year >= 306 ? 1 : 0;
  return Civil{static_cast<std::int64_t>(100 * century + year_of_century + january_or_february) -
                   400 * static_cast<std::int64_t>(kEras),
               january_or_february != 0 ? month - 12 : month, day};
}
static_assert(civil_from_days_fast(kFirstFastDay).year == 0);
static_assert(civil_from_days_fast(kLastFastDay).year == 9999);
static_assert(civil_from_days_fast(kLastFastDay).month == 12);
static_assert(civil_from_days_fast(kLastFastDay).day == 31);
static_assert(civil_from_days_fast(0).year == 1970 && civil_from_days_fast(0).day == 1);
static_assert(civil_from_days_fast(11'016).month == 2 && civil_from_days_fast(11'016).day == 29);

// Writes the date-time into buf (at least 48 bytes); returns the length.
std::size_t format_timestamp_into(char* buf, Timestamp ts, bool zulu) {
  std::int64_t secs = ts.seconds;
  std::uint32_t nanos = ts.nanos;
  unsigned leap = 0;
  if (nanos >= 1'000'000'000) {  // leap second: second 59 shown as 60
    leap = 1;
    nanos -= 1'000'000'000;
  }
  const std::int64_t days = floor_div(secs, 86400);
  const auto sod = static_cast<unsigned>(secs - days * 86400);
  const Civil c = days >= kFirstFastDay && days <= kLastFastDay ? civil_from_days_fast(days)
                                                                : civil_from_days(days);
  char* p = buf;
  if (c.year >= 0 && c.year <= 9999) {
    auto y = static_cast<unsigned>(c.year);
    p = put2(p, y / 100);
    p = put2(p, y % 100);
  } else {
    // Rust's {:+05}: sign, then at least four digits.
    *p++ = c.year < 0 ? '-' : '+';
    std::uint64_t mag = c.year < 0 ? static_cast<std::uint64_t>(-(c.year + 1)) + 1
                                   : static_cast<std::uint64_t>(c.year);
    char digits[24];
    auto r = std::to_chars(digits, digits + sizeof digits, mag);
    auto len = static_cast<std::size_t>(r.ptr - digits);
    for (std::size_t i = len; i < 4; ++i) *p++ = '0';
    std::memcpy(p, digits, len);
    p += len;
  }
  *p++ = '-';
  p = put2(p, c.month);
  *p++ = '-';
  p = put2(p, c.day);
  *p++ = 'T';
  p = put2(p, sod / 3600);
  *p++ = ':';
  p = put2(p, (sod / 60) % 60);
  *p++ = ':';
  p = put2(p, sod % 60 + leap);
  if (nanos != 0) {
    // Milliseconds, then micro- and nanoseconds only as far as they are not zero.
    *p++ = '.';
    p = put3(p, nanos / 1'000'000);
    const unsigned below_milli = nanos % 1'000'000;
    if (below_milli != 0) {
      p = put3(p, below_milli / 1'000);
      if (below_milli % 1'000 != 0) p = put3(p, below_milli % 1'000);
    }
  }
  if (zulu) {
    *p++ = 'Z';
  } else {
    std::memcpy(p, "+00:00", 6);
    p += 6;
  }
  return static_cast<std::size_t>(p - buf);
}

// --------------------------------------------------- RFC 3339 parsing (chrono)

enum class ParseErr { OutOfRange, Invalid, TooShort, TooLong };

std::string parse_err_text(ParseErr e) {
  switch (e) {
    case ParseErr::OutOfRange:
      return "input is out of range";
    case ParseErr::Invalid:
      return "input contains invalid characters";
    case ParseErr::TooShort:
      return "premature end of input";
    case ParseErr::TooLong:
      return "trailing input";
  }
  return "input contains invalid characters";
}

template <class T>
using PResult = std::expected<T, ParseErr>;

// Decodes the code point at the start of s (valid UTF-8 assumed; an invalid
// byte is returned as itself with length 1).
char32_t first_code_point(std::string_view s, std::size_t& len) {
  auto c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) {
    len = 1;
    return c;
  }
  std::size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
  if (n == 1 || n > s.size()) {
    len = 1;
    return c;
  }
  char32_t cp = c & (0xFF >> (n + 1));
  for (std::size_t k = 1; k < n; ++k) {
    auto b = static_cast<unsigned char>(s[k]);
    if ((b & 0xC0) != 0x80) {
      len = 1;
      return c;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  len = n;
  return cp;
}

// Unicode White_Space (Rust's char::is_whitespace).
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

void trim_start(std::string_view& s) {
  while (!s.empty()) {
    std::size_t len;
    char32_t cp = first_code_point(s, len);
    if (!is_white_space(cp)) return;
    s.remove_prefix(len);
  }
}

// chrono's scan::number: min..max ASCII digits.
PResult<std::int64_t> scan_number(std::string_view& s, std::size_t min, std::size_t max) {
  if (s.size() < min) return std::unexpected(ParseErr::TooShort);
  std::int64_t n = 0;
  std::size_t i = 0;
  for (; i < s.size() && i < max; ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < '0' || c > '9') {
      if (i < min) return std::unexpected(ParseErr::Invalid);
      s.remove_prefix(i);
      return n;
    }
    if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, c - '0', &n)) {
      return std::unexpected(ParseErr::OutOfRange);
    }
  }
  s.remove_prefix(i);
  return n;
}

PResult<void> scan_char(std::string_view& s, char c) {
  if (s.empty()) return std::unexpected(ParseErr::TooShort);
  if (s[0] != c) return std::unexpected(ParseErr::Invalid);
  s.remove_prefix(1);
  return {};
}

// chrono's scan::nanosecond (after the '.'): 1..9 digits kept, more skipped.
PResult<std::int64_t> scan_nanosecond(std::string_view& s) {
  const std::size_t before = s.size();
  auto v = scan_number(s, 1, 9);
  if (!v) return v;
  static constexpr std::int64_t kScale[] = {0,      100'000'000, 10'000'000, 1'000'000, 100'000,
                                            10'000, 1'000,       100,        10,        1};
  std::int64_t value = *v * kScale[before - s.size()];
  while (!s.empty() && s[0] >= '0' && s[0] <= '9') s.remove_prefix(1);
  return value;
}

// chrono's scan::timezone_offset with allow_zulu, no missing minutes and the
// U+2212 minus sign allowed. `relaxed` selects colon_or_space as separator.
PResult<std::int32_t> scan_offset(std::string_view& s, bool relaxed) {
  if (!s.empty() && (s[0] == 'Z' || s[0] == 'z')) {
    s.remove_prefix(1);
    return 0;
  }
  if (s.empty()) return std::unexpected(ParseErr::TooShort);
  bool negative;
  if (s[0] == '+') {
    negative = false;
    s.remove_prefix(1);
  } else if (s[0] == '-') {
    negative = true;
    s.remove_prefix(1);
  } else if (s.starts_with("\xE2\x88\x92")) {  // U+2212 MINUS SIGN
    negative = true;
    s.remove_prefix(3);
  } else {
    return std::unexpected(ParseErr::Invalid);
  }
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (s.size() < 2) return std::unexpected(ParseErr::TooShort);
  if (!is_digit(s[0]) || !is_digit(s[1])) return std::unexpected(ParseErr::Invalid);
  const std::int32_t hours = (s[0] - '0') * 10 + (s[1] - '0');
  s.remove_prefix(2);
  if (relaxed) {
    while (!s.empty()) {
      std::size_t len;
      char32_t cp = first_code_point(s, len);
      if (cp != ':' && !is_white_space(cp)) break;
      s.remove_prefix(len);
    }
  } else {
    if (auto r = scan_char(s, ':'); !r) return std::unexpected(r.error());
  }
  if (s.size() < 2) return std::unexpected(ParseErr::TooShort);
  std::int32_t minutes;
  if (s[0] >= '0' && s[0] <= '5' && is_digit(s[1])) {
    minutes = (s[0] - '0') * 10 + (s[1] - '0');
  } else if (s[0] >= '6' && s[0] <= '9' && is_digit(s[1])) {
    return std::unexpected(ParseErr::OutOfRange);
  } else {
    return std::unexpected(ParseErr::Invalid);
  }
  s.remove_prefix(2);
  const std::int32_t seconds = hours * 3600 + minutes * 60;
  return negative ? -seconds : seconds;
}

// chrono's `Parsed`, reduced to the fields RFC 3339 sets.
struct Parsed {
  std::int64_t year = 0;
  std::int64_t month = 0, day = 0, hour = 0, minute = 0, second = 0, nanosecond = 0;
  std::int64_t offset = 0;

  PResult<void> set_year(std::int64_t v) {
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max())
      return std::unexpected(ParseErr::OutOfRange);
    year = v;
    return {};
  }
  static PResult<void> set_in(std::int64_t& field, std::int64_t v, std::int64_t lo,
                              std::int64_t hi) {
    if (v < lo || v > hi) return std::unexpected(ParseErr::OutOfRange);
    field = v;
    return {};
  }
  PResult<void> set_month(std::int64_t v) { return set_in(month, v, 1, 12); }
  PResult<void> set_day(std::int64_t v) { return set_in(day, v, 1, 31); }
  PResult<void> set_hour(std::int64_t v) { return set_in(hour, v, 0, 23); }
  PResult<void> set_minute(std::int64_t v) { return set_in(minute, v, 0, 59); }
  PResult<void> set_second(std::int64_t v) { return set_in(second, v, 0, 60); }
  PResult<void> set_nanosecond(std::int64_t v) { return set_in(nanosecond, v, 0, 999'999'999); }

  // Parsed::to_datetime followed by the conversion to UTC.
  PResult<Timestamp> to_utc() const {
    // chrono's NaiveDate range (0.4.35+): -262143-01-01 to +262142-12-31.
    constexpr std::int64_t kMinYear = -262143;
    constexpr std::int64_t kMaxYear = 262142;
    if (year < kMinYear || year > kMaxYear) return std::unexpected(ParseErr::OutOfRange);
    if (day > days_in_month(year, static_cast<unsigned>(month)))
      return std::unexpected(ParseErr::OutOfRange);
    std::int64_t sec = second;
    std::int64_t nanos = nanosecond;
    if (sec == 60) {
      sec = 59;
      nanos += 1'000'000'000;
    }
    if (offset <= -86400 || offset >= 86400) return std::unexpected(ParseErr::OutOfRange);
    const std::int64_t local =
        days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + sec;
    const std::int64_t utc = local - offset;
    const std::int64_t min_secs = days_from_civil(kMinYear, 1, 1) * 86400;
    const std::int64_t max_secs = days_from_civil(kMaxYear, 12, 31) * 86400 + 86399;
    if (utc < min_secs || utc > max_secs) return std::unexpected(ParseErr::OutOfRange);
    return Timestamp{utc, static_cast<std::uint32_t>(nanos)};
  }
};

#define KV_TRY(expr)                                   \
  do {                                                 \
    auto kv_r_ = (expr);                               \
    if (!kv_r_) return std::unexpected(kv_r_.error()); \
  } while (0)
#define KV_TRY_ASSIGN(var, expr)                           \
  auto var##_r_ = (expr);                                  \
  if (!var##_r_) return std::unexpected(var##_r_.error()); \
  auto var = *var##_r_

PResult<Timestamp> parse_strict(std::string_view s) {
  Parsed p;
  KV_TRY_ASSIGN(year, scan_number(s, 4, 4));
  KV_TRY(p.set_year(year));
  KV_TRY(scan_char(s, '-'));
  KV_TRY_ASSIGN(month, scan_number(s, 2, 2));
  KV_TRY(p.set_month(month));
  KV_TRY(scan_char(s, '-'));
  KV_TRY_ASSIGN(day, scan_number(s, 2, 2));
  KV_TRY(p.set_day(day));
  if (s.empty()) return std::unexpected(ParseErr::TooShort);
  if (s[0] != 'T' && s[0] != 't' && s[0] != ' ') return std::unexpected(ParseErr::Invalid);
  s.remove_prefix(1);
  KV_TRY_ASSIGN(hour, scan_number(s, 2, 2));
  KV_TRY(p.set_hour(hour));
  KV_TRY(scan_char(s, ':'));
  KV_TRY_ASSIGN(minute, scan_number(s, 2, 2));
  KV_TRY(p.set_minute(minute));
  KV_TRY(scan_char(s, ':'));
  KV_TRY_ASSIGN(second, scan_number(s, 2, 2));
  KV_TRY(p.set_second(second));
  if (!s.empty() && s[0] == '.') {
    s.remove_prefix(1);
    KV_TRY_ASSIGN(nano, scan_nanosecond(s));
    KV_TRY(p.set_nanosecond(nano));
  }
  KV_TRY_ASSIGN(offset, scan_offset(s, /*relaxed=*/false));
  constexpr std::int32_t kMaxOffset = (23 * 60 + 59) * 60;
  if (offset < -kMaxOffset || offset > kMaxOffset) return std::unexpected(ParseErr::OutOfRange);
  p.offset = offset;
  if (!s.empty()) return std::unexpected(ParseErr::TooLong);
  return p.to_utc();
}

// One unsigned Numeric item of chrono's parse_internal: white space, then
// 1..width digits.
PResult<std::int64_t> relaxed_field(std::string_view& s, std::size_t width) {
  trim_start(s);
  return scan_number(s, 1, width);
}

// Item::Space("") followed by Item::Literal(c).
PResult<void> relaxed_literal(std::string_view& s, char c) {
  trim_start(s);
  if (s.empty()) return std::unexpected(ParseErr::TooShort);
  if (s[0] != c) return std::unexpected(ParseErr::Invalid);
  s.remove_prefix(1);
  return {};
}

PResult<Timestamp> parse_relaxed(std::string_view s) {
  Parsed p;
  // Year: signed, any number of digits after an explicit sign, else 1..4.
  trim_start(s);
  std::int64_t year;
  if (!s.empty() && s[0] == '-') {
    s.remove_prefix(1);
    KV_TRY_ASSIGN(v, scan_number(s, 1, std::numeric_limits<std::size_t>::max()));
    year = -v;
  } else if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    KV_TRY_ASSIGN(v, scan_number(s, 1, std::numeric_limits<std::size_t>::max()));
    year = v;
  } else {
    KV_TRY_ASSIGN(v, scan_number(s, 1, 4));
    year = v;
  }
  KV_TRY(p.set_year(year));
  KV_TRY(relaxed_literal(s, '-'));
  KV_TRY_ASSIGN(month, relaxed_field(s, 2));
  KV_TRY(p.set_month(month));
  KV_TRY(relaxed_literal(s, '-'));
  KV_TRY_ASSIGN(day, relaxed_field(s, 2));
  KV_TRY(p.set_day(day));
  if (s.empty()) return std::unexpected(ParseErr::TooShort);
  if (s[0] != 'T' && s[0] != 't' && s[0] != ' ') return std::unexpected(ParseErr::Invalid);
  s.remove_prefix(1);
  KV_TRY_ASSIGN(hour, relaxed_field(s, 2));
  KV_TRY(p.set_hour(hour));
  KV_TRY(relaxed_literal(s, ':'));
  KV_TRY_ASSIGN(minute, relaxed_field(s, 2));
  KV_TRY(p.set_minute(minute));
  KV_TRY(relaxed_literal(s, ':'));
  KV_TRY_ASSIGN(second, relaxed_field(s, 2));
  KV_TRY(p.set_second(second));
  if (!s.empty() && s[0] == '.') {
    s.remove_prefix(1);
    KV_TRY_ASSIGN(nano, scan_nanosecond(s));
    KV_TRY(p.set_nanosecond(nano));
  }
  trim_start(s);
  std::int32_t offset;
  auto ieq = [](char a, char b) { return (a | 0x20) == (b | 0x20); };
  if (s.size() >= 3 && ieq(s[0], 'u') && ieq(s[1], 't') && ieq(s[2], 'c')) {
    s.remove_prefix(3);
    offset = 0;
  } else {
    KV_TRY_ASSIGN(off, scan_offset(s, /*relaxed=*/true));
    offset = off;
  }
  p.offset = offset;
  trim_start(s);
  if (!s.empty()) return std::unexpected(ParseErr::TooLong);
  return p.to_utc();
}

// ---------------------------------------------------------- state walk

// Feeds one `"<key>":{...}` member. The cached text names the entry's own
// id; a map key that differs from it (possible in a state read from a
// document) is written in its place.
template <class Sink, class Key, class E>
void feed_member(Sink& sink, const Key& key, const E& entry) {
  const std::string_view text = entry.canonical();
  if (key == entry->id) {
    sink.feed(text);
    return;
  }
  std::string key_text;
  key_text.reserve(39);
  key_text.push_back('"');
  append_uuid(key_text, key.uuid);
  key_text.append("\":");
  sink.feed(std::string_view(key_text));
  sink.feed(text.substr(39));
}

// Feeds the members of one map: `"<key>":{...}` pieces separated by commas.
//
// Each entry's value and text share one heap block. The walk asks for blocks
// ahead of use in two steps: the head line (which holds the text length)
// kFar entries ahead, the whole block kNear entries ahead.
template <class Sink, class Map>
void feed_members(Sink& sink, const Map& map) {
  constexpr std::size_t kFar = 16;
  constexpr std::size_t kNear = 6;
  auto far = map.begin();
  auto near = map.begin();
  const auto end = map.end();
  for (std::size_t k = 0; k < kFar && far != end; ++k, ++far) far->second.prefetch_head();
  for (std::size_t k = 0; k < kNear && near != end; ++k, ++near) near->second.prefetch_all();
  bool first = true;
  for (auto it = map.begin(); it != end; ++it) {
    if (far != end) {
      far->second.prefetch_head();
      ++far;
    }
    if (near != end) {
      near->second.prefetch_all();
      ++near;
    }
    if (!first) sink.feed(',');
    first = false;
    const auto& [key, entry] = *it;
    feed_member(sink, key, entry);
  }
}

// Streams bytes into a low-level SHA-256 context through a buffer; the
// context (a midstate) can be taken at any point and resumed from.
class MidstateStream {
 public:
  MidstateStream() {
    if (SHA256_Init(&ctx_) != 1) internal_fault("SHA-256 initialisation failed");
  }
  explicit MidstateStream(const SHA256_CTX& midstate) : ctx_(midstate) {}

  void feed(std::string_view bytes) {
    if (len_ + bytes.size() > kBuffer) {
      flush();
      if (bytes.size() >= kBuffer) {
        update(bytes.data(), bytes.size());
        return;
      }
    }
    std::memcpy(buf_.data() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
  }
  void feed(char c) {
    if (len_ == kBuffer) flush();
    buf_[len_++] = c;
  }
  const SHA256_CTX& midstate() {
    flush();
    return ctx_;
  }
  Hash finish() {
    flush();
    Hash h;
    if (SHA256_Final(h.bytes.data(), &ctx_) != 1) internal_fault("SHA-256 finalisation failed");
    return h;
  }

 private:
  static constexpr std::size_t kBuffer = 16384;

  void flush() {
    if (len_ > 0) update(buf_.data(), len_);
    len_ = 0;
  }
  void update(const void* data, std::size_t n) {
    if (SHA256_Update(&ctx_, data, n) != 1) internal_fault("SHA-256 update failed");
  }

  SHA256_CTX ctx_;
  std::size_t len_ = 0;
  std::array<char, kBuffer> buf_;
};

}  // namespace

class HashTrail {
 public:
  struct Mark {
    const void* chunk;  // the chunk that starts here; null after the last one
    SHA256_CTX midstate;
  };
  // Per map (concepts, relations, structure): a mark before each chunk and
  // one after the last.
  std::array<std::vector<Mark>, 3> maps;
};

namespace {

template <class Map>
std::vector<std::span<const typename Map::value_type>> chunks_of(const Map& map) {
  std::vector<std::span<const typename Map::value_type>> chunks;
  map.for_each_chunk([&](auto chunk) { chunks.push_back(chunk); });
  return chunks;
}

// Feeds the chunks `from`.. of one map, marking the start of each; entries
// are asked for ahead of use as in feed_members.
template <class Chunks>
void feed_chunks(MidstateStream& stream, const Chunks& chunks, std::size_t from,
                 std::vector<HashTrail::Mark>& marks) {
  struct Cursor {
    const Chunks& chunks;
    std::size_t chunk;
    std::size_t slot = 0;
    bool valid() const { return chunk < chunks.size(); }
    const auto& get() const { return chunks[chunk][slot]; }
    void next() {
      if (++slot == chunks[chunk].size()) {
        ++chunk;
        slot = 0;
      }
    }
  };
  constexpr std::size_t kFar = 16;
  constexpr std::size_t kNear = 6;
  Cursor far{chunks, from};
  Cursor near{chunks, from};
  for (std::size_t k = 0; k < kFar && far.valid(); ++k, far.next())
    far.get().second.prefetch_head();
  for (std::size_t k = 0; k < kNear && near.valid(); ++k, near.next()) {
    near.get().second.prefetch_all();
  }
  for (std::size_t c = from; c < chunks.size(); ++c) {
    marks.push_back({chunks[c].data(), stream.midstate()});
    bool first = c == 0;
    for (const auto& [key, entry] : chunks[c]) {
      if (far.valid()) {
        far.get().second.prefetch_head();
        far.next();
      }
      if (near.valid()) {
        near.get().second.prefetch_all();
        near.next();
      }
      if (!first) stream.feed(',');
      first = false;
      feed_member(stream, key, entry);
    }
  }
  marks.push_back({nullptr, stream.midstate()});
}

template <class Sink>
void feed_state(Sink& sink, const KnowledgeState& state) {
  sink.feed(std::string_view("{\"concepts\":{"));
  feed_members(sink, state.concepts);
  sink.feed(std::string_view("},\"relations\":{"));
  feed_members(sink, state.relations);
  sink.feed(std::string_view("},\"structure\":{"));
  feed_members(sink, state.structure);
  sink.feed(std::string_view("}}"));
}

// ------------------------------------------------- sized entry writers
//
// The entry writers run twice over the same emitter code: a Counter finds
// the exact length, the output grows once, and a Putter writes through a raw
// pointer. Floats and time stamps are formatted once, before both passes.

// Used by the portable escape scan only (no SSE2).
[[maybe_unused]] inline bool chunk_needs_escape(std::uint64_t w) {
  // True when one of the 8 bytes is below 0x20, a quotation mark or a
  // backslash (exact as a whole; the byte positions it marks are not used).
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
  const std::uint64_t q = w ^ (kOnes * 0x22);
  const std::uint64_t quote = (q - kOnes) & ~q & kHigh;
  const std::uint64_t b = w ^ (kOnes * 0x5C);
  const std::uint64_t backslash = (b - kOnes) & ~b & kHigh;
  return (below_space | quote | backslash) != 0;
}

inline bool byte_needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Extra bytes the escapes of `c` add (1 for the two-character escapes, 5 for \u00XX).
inline std::size_t escape_extra(unsigned char c) {
  switch (c) {
    case '"':
    case '\\':
    case '\b':
    case '\t':
    case '\n':
    case '\f':
    case '\r':
      return 1;
    default:
      return 5;
  }
}

#if defined(__SSE2__)
// Bit i set when byte i of the 16 needs an escape.
inline unsigned escape_mask16(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i space_minus_one = _mm_set1_epi8(0x1F);
  // v <= 0x1F (unsigned) exactly when max(v, 0x1F) == 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, space_minus_one), space_minus_one);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#endif

// Offset of the first byte that needs an escape, or text.size().
std::size_t first_escape(std::string_view text) {
  const std::size_t n = text.size();
  const char* const begin = text.data();
#if defined(__SSE2__)
  if (n < 16) {
    char chunk[16];
    std::memset(chunk, 'a', sizeof chunk);
    if (n != 0) std::memcpy(chunk, begin, n);
    const unsigned mask = escape_mask16(chunk);
    return mask != 0 ? static_cast<std::size_t>(__builtin_ctz(mask)) : n;
  }
  std::size_t at = 0;
  for (; at + 16 <= n; at += 16) {
    const unsigned mask = escape_mask16(begin + at);
    if (mask != 0) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (at == n) return n;
  // The last 16 bytes, overlapping the bytes already checked.
  const unsigned mask = escape_mask16(begin + n - 16) >> (16 - (n - at));
  return mask != 0 ? at + static_cast<std::size_t>(__builtin_ctz(mask)) : n;
#else
  const char* p = begin;
  const char* const end = p + n;
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (chunk_needs_escape(w)) break;
    p += 8;
  }
  for (; p != end; ++p) {
    if (byte_needs_escape(static_cast<unsigned char>(*p))) break;
  }
  return static_cast<std::size_t>(p - begin);
#endif
}

char* put_escaped_tail(char* out, std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!byte_needs_escape(c)) {
      *out++ = ch;
      continue;
    }
    *out++ = '\\';
    switch (c) {
      case '"':
        *out++ = '"';
        break;
      case '\\':
        *out++ = '\\';
        break;
      case '\b':
        *out++ = 'b';
        break;
      case '\t':
        *out++ = 't';
        break;
      case '\n':
        *out++ = 'n';
        break;
      case '\f':
        *out++ = 'f';
        break;
      case '\r':
        *out++ = 'r';
        break;
      default:
        *out++ = 'u';
        *out++ = '0';
        *out++ = '0';
        *out++ = kHexDigits[c >> 4];
        *out++ = kHexDigits[c & 0x0F];
    }
  }
  return out;
}

// A float or time stamp text made before the two passes.
struct Piece {
  char buf[64];
  std::size_t len = 0;
  std::string_view view() const { return {buf, len}; }
};

Piece f64_piece(double value, bool normalize_zero) {
  Piece piece;
  if (normalize_zero && value == 0.0) value = 0.0;
  if (!std::isfinite(value)) {
    std::memcpy(piece.buf, "null", 4);
    piece.len = 4;
  } else {
    piece.len = format_f64_into(piece.buf, value, /*json=*/true);
  }
  return piece;
}

Piece timestamp_piece(Timestamp ts) {
  Piece piece;
  piece.buf[0] = '"';
  piece.len = 1 + format_timestamp_into(piece.buf + 1, ts, /*zulu=*/true);
  piece.buf[piece.len++] = '"';
  return piece;
}

// The scan results of the first kScanCache strings, kept by the counting pass
// for the writing pass (both see the strings in the same order).
constexpr std::size_t kScanCache = 8;

struct Counter {
  std::size_t n = 0;
  std::size_t scans[kScanCache];
  std::size_t strings = 0;
  template <std::size_t N>
  void lit(const char (&)[N]) {
    n += N - 1;
  }
  void raw(std::string_view text) { n += text.size(); }
  void ch(char) { ++n; }
  void str(std::string_view text) {
    n += text.size() + 2;
    std::size_t at = first_escape(text);
    if (strings < kScanCache) scans[strings] = at;
    ++strings;
    for (; at < text.size(); ++at) {
      const auto c = static_cast<unsigned char>(text[at]);
      if (byte_needs_escape(c)) n += escape_extra(c);
    }
  }
  void uuid(const Uuid&) { n += 38; }
  void uint(std::uint64_t v) {
    char buf[24];
    n += static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf);
  }
};

struct Putter {
  char* p;
  const std::size_t* scans = nullptr;  // the Counter's, or none
  std::size_t strings = 0;
  const Uuid* last_uuid = nullptr;  // the identifier last written, and its text
  const char* last_text = nullptr;
  template <std::size_t N>
  void lit(const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    p += N - 1;
  }
  void raw(std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    p += text.size();
  }
  void ch(char c) { *p++ = c; }
  void str(std::string_view text) {
    *p++ = '"';
    const std::size_t at =
        scans != nullptr && strings < kScanCache ? scans[strings] : first_escape(text);
    ++strings;
    std::memcpy(p, text.data(), at);
    p += at;
    if (at < text.size()) p = put_escaped_tail(p, text.substr(at));
    *p++ = '"';
  }
  void uuid(const Uuid& id) {
    *p++ = '"';
    // An entry's key is its own id in nearly every state: its text is copied.
    if (last_uuid != nullptr && *last_uuid == id) {
      std::memcpy(p, last_text, 36);
    } else {
      put_uuid(p, id);
      last_uuid = &id;
      last_text = p;
    }
    p += 36;
    *p++ = '"';
  }
  void uint(std::uint64_t v) { p = std::to_chars(p, p + 24, v).ptr; }
};

template <class E>
void emit_evidence(E& e, const std::vector<EvidenceRef>& evidence) {
  e.ch('[');
  bool first = true;
  for (const EvidenceRef& ref : evidence) {
    if (!first) e.ch(',');
    first = false;
    e.lit("{\"turn_number\":");
    e.uint(ref.turn_number);
    e.lit(",\"text_excerpt\":");
    e.str(ref.text_excerpt);
    e.ch('}');
  }
  e.ch(']');
}

template <class E>
void emit_hash(E& e, const Hash& hash) {
  e.ch('[');
  for (std::size_t i = 0; i < hash.bytes.size(); ++i) {
    if (i != 0) e.ch(',');
    e.uint(hash.bytes[i]);
  }
  e.ch(']');
}

template <class E, class IdT>
void emit_id_list(E& e, const std::vector<IdT>& ids) {
  e.ch('[');
  bool first = true;
  for (const auto& id : ids) {
    if (!first) e.ch(',');
    first = false;
    e.uuid(id.uuid);
  }
  e.ch(']');
}

template <class E>
void emit_name(E& e, std::string_view name) {
  e.ch('"');
  e.raw(name);
  e.ch('"');
}

template <class E>
void emit_concept(E& e, const Concept& c, const Piece& confidence, const Piece& created_at) {
  e.lit("{\"id\":");
  e.uuid(c.id.uuid);
  e.lit(",\"term\":");
  e.str(c.term);
  e.lit(",\"definition\":");
  e.str(c.definition);
  e.lit(",\"confidence\":");
  e.raw(confidence.view());
  e.lit(",\"status\":");
  emit_name(e, name(c.status));
  e.lit(",\"created_at\":");
  e.raw(created_at.view());
  e.lit(",\"source_evidence\":");
  emit_evidence(e, c.source_evidence);
  e.ch('}');
}

template <class E>
void emit_relation(E& e, const Relation& r, const Piece& confidence,
                   const std::optional<Piece>& classification) {
  e.lit("{\"id\":");
  e.uuid(r.id.uuid);
  e.lit(",\"from_concept\":");
  e.uuid(r.from_concept.uuid);
  e.lit(",\"to_concept\":");
  e.uuid(r.to_concept.uuid);
  e.lit(",\"relation_type\":");
  emit_name(e, name(r.relation_type));
  e.lit(",\"evidence\":");
  emit_evidence(e, r.evidence);
  e.lit(",\"confidence\":");
  e.raw(confidence.view());
  if (r.source_document) {
    e.lit(",\"source_document\":");
    e.str(*r.source_document);
  }
  if (classification) {
    e.lit(",\"classification_confidence\":");
    e.raw(classification->view());
  }
  e.ch('}');
}

template <class E>
void emit_structure_node(E& e, const StructureNode& n) {
  e.lit("{\"id\":");
  e.uuid(n.id.uuid);
  e.lit(",\"title\":");
  e.str(n.title);
  e.lit(",\"node_type\":");
  e.str(n.node_type);
  e.lit(",\"parent\":");
  if (n.parent) {
    e.uuid(n.parent->uuid);
  } else {
    e.lit("null");
  }
  e.lit(",\"position\":");
  e.uint(n.position);
  e.lit(",\"content_hash\":");
  emit_hash(e, n.content_hash);
  e.lit(",\"concept_refs\":");
  emit_id_list(e, n.concept_refs);
  e.ch('}');
}

// Runs `emit` once to count and once to write into the storage that
// `place(size)` gives for the exact size.
template <class Place, class F>
void emit_placed(Place&& place, F&& emit) {
  Counter counter;
  emit(counter);
  char* out = place(counter.n);
  Putter putter{out, counter.scans};
  emit(putter);
  if (putter.p != out + counter.n) internal_fault("canonical writer size mismatch");
}

// Runs `emit` once to count and once to write into `out`, grown once.
template <class F>
void emit_sized(std::string& out, F&& emit) {
  emit_placed(
      [&out](std::size_t n) {
        const std::size_t old = out.size();
        out.resize(old + n);
        return out.data() + old;
      },
      emit);
}

}  // namespace

// ------------------------------------------------------------------ hashes

std::string canonical_serialize(const KnowledgeState& state) {
  std::string out;
  out.reserve(128);
  StringSink sink{out};
  feed_state(sink, state);
  return out;
}

Hash state_hash(const KnowledgeState& state) {
  Sha256Stream stream;
  feed_state(stream, state);
  return stream.finish();
}

TrailedHash state_hash_trailed(const KnowledgeState& state, const HashTrail* prior) {
  const auto concepts = chunks_of(state.concepts);
  const auto relations = chunks_of(state.relations);
  const auto structure = chunks_of(state.structure);
  auto identity = [](const auto& chunks) {
    std::vector<const void*> ids;
    ids.reserve(chunks.size());
    for (const auto& chunk : chunks) ids.push_back(chunk.data());
    return ids;
  };
  const std::array<std::vector<const void*>, 3> ids = {identity(concepts), identity(relations),
                                                       identity(structure)};
  constexpr std::array<std::string_view, 3> kOpen = {"{\"concepts\":{", "},\"relations\":{",
                                                     "},\"structure\":{"};

  auto trail = std::make_shared<HashTrail>();
  // Where the text starts to differ from the prior state's: map `m`, chunk `from`.
  std::size_t m = 0;
  std::size_t from = 0;
  std::optional<MidstateStream> stream;
  if (prior != nullptr) {
    for (; m < 3; ++m) {
      const auto& marks = prior->maps[m];
      from = 0;
      while (from < ids[m].size() && from + 1 < marks.size() && ids[m][from] == marks[from].chunk) {
        ++from;
      }
      if (from == ids[m].size() && from + 1 == marks.size()) {
        trail->maps[m] = marks;  // the whole map is shared
        continue;
      }
      trail->maps[m].assign(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(from));
      stream.emplace(marks[from].midstate);
      break;
    }
    if (m == 3) stream.emplace(prior->maps[2].back().midstate);
  } else {
    stream.emplace();
    stream->feed(kOpen[0]);
  }
  for (std::size_t k = m; k < 3; ++k) {
    if (k > m) stream->feed(kOpen[k]);
    const std::size_t start = k == m ? from : 0;
    if (k == 0) feed_chunks(*stream, concepts, start, trail->maps[k]);
    if (k == 1) feed_chunks(*stream, relations, start, trail->maps[k]);
    if (k == 2) feed_chunks(*stream, structure, start, trail->maps[k]);
  }
  stream->feed(std::string_view("}}"));
  return {stream->finish(), std::move(trail)};
}

Hash compute_hash(std::string_view bytes) {
  Hash h;
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), h.bytes.data());
  return h;
}

Uuid derive_uuid(std::string_view label, std::span<const std::string_view> parts) {
  Sha256Stream stream;
  auto feed_part = [&](std::string_view part) {
    const auto n = static_cast<std::uint32_t>(part.size());
    const char len[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                         static_cast<char>(n >> 8), static_cast<char>(n)};
    stream.feed(std::string_view(len, 4));
    stream.feed(part);
  };
  feed_part(label);
  for (std::string_view part : parts) feed_part(part);
  Hash digest = stream.finish();
  Uuid u;
  std::memcpy(u.bytes.data(), digest.bytes.data(), 16);
  u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x80);
  u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

// ------------------------------------------------------- canonical writers

void write_string(std::string& out, std::string_view text) {
  emit_sized(out, [&](auto& e) { e.str(text); });
}

void write_f64(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null", 4);
    return;
  }
  char buf[40];
  out.append(buf, format_f64_into(buf, value, /*json=*/true));
}

void write_hash(std::string& out, const Hash& hash) {
  emit_sized(out, [&](auto& e) { emit_hash(e, hash); });
}

void write_timestamp(std::string& out, Timestamp ts) {
  char buf[64];
  out.push_back('"');
  out.append(buf, format_timestamp_into(buf, ts, /*zulu=*/true));
  out.push_back('"');
}

void write_evidence(std::string& out, const std::vector<EvidenceRef>& evidence) {
  emit_sized(out, [&](auto& e) { emit_evidence(e, evidence); });
}

void write_concept(std::string& out, const Concept& c, bool normalize_zero) {
  const Piece confidence = f64_piece(c.confidence, normalize_zero);
  const Piece created_at = timestamp_piece(c.created_at);
  emit_sized(out, [&](auto& e) { emit_concept(e, c, confidence, created_at); });
}

void write_relation(std::string& out, const Relation& r, bool normalize_zero) {
  const Piece confidence = f64_piece(r.confidence, normalize_zero);
  std::optional<Piece> classification;
  if (r.classification_confidence) {
    classification = f64_piece(*r.classification_confidence, normalize_zero);
  }
  emit_sized(out, [&](auto& e) { emit_relation(e, r, confidence, classification); });
}

void write_structure_node(std::string& out, const StructureNode& n) {
  emit_sized(out, [&](auto& e) { emit_structure_node(e, n); });
}

namespace {
// `"<key>":` and the object `body` emits, placed by `place`.
template <class Body>
void emit_member(const Uuid& key, PlaceText place, void* context, Body&& body) {
  emit_placed([&](std::size_t n) { return place(context, n); },
              [&](auto& e) {
                e.uuid(key);
                e.ch(':');
                body(e);
              });
}
}  // namespace

void write_member(const Uuid& key, const Concept& c, PlaceText place, void* context) {
  const Piece confidence = f64_piece(c.confidence, /*normalize_zero=*/true);
  const Piece created_at = timestamp_piece(c.created_at);
  emit_member(key, place, context, [&](auto& e) { emit_concept(e, c, confidence, created_at); });
}

void write_member(const Uuid& key, const Relation& r, PlaceText place, void* context) {
  const Piece confidence = f64_piece(r.confidence, /*normalize_zero=*/true);
  std::optional<Piece> classification;
  if (r.classification_confidence) {
    classification = f64_piece(*r.classification_confidence, /*normalize_zero=*/true);
  }
  emit_member(key, place, context,
              [&](auto& e) { emit_relation(e, r, confidence, classification); });
}

void write_member(const Uuid& key, const StructureNode& n, PlaceText place, void* context) {
  emit_member(key, place, context, [&](auto& e) { emit_structure_node(e, n); });
}

void write_structure_map(std::string& out, const StructureMap& structure) {
  StringSink sink{out};
  sink.feed('{');
  feed_members(sink, structure);
  sink.feed('}');
}

void write_operation(std::string& out, const EvolutionOperation& operation) {
  out.append("{\"");
  out.append(variant_name(operation));
  out.append("\":");
  std::visit(
      [&out](const auto& op) {
        using T = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<T, op::Assert>) {
          out.append("{\"concept\":");
          write_concept(out, op.concept_, false);
        } else if constexpr (std::is_same_v<T, op::Revise>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_definition\":");
          write_string(out, op.new_definition);
          out.append(",\"conflict_set\":");
          write_id_list(out, op.conflict_set);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Retract>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"reason\":");
          write_name(out, name(op.reason));
        } else if constexpr (std::is_same_v<T, op::Relate>) {
          out.append("{\"relation\":");
          write_relation(out, op.relation, false);
        } else if constexpr (std::is_same_v<T, op::Restructure>) {
          out.append("{\"old_structure_hash\":");
          write_hash(out, op.old_structure_hash);
          out.append(",\"new_nodes\":[");
          bool first = true;
          for (const StructureNode& n : op.new_nodes) {
            if (!first) out.push_back(',');
            first = false;
            write_structure_node(out, n);
          }
          out.append("],\"justification\":");
          write_string(out, op.justification);
        } else if constexpr (std::is_same_v<T, op::Refine>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_definition\":");
          write_string(out, op.new_definition);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Merge>) {
          out.append("{\"concept_ids\":");
          write_id_list(out, op.concept_ids);
          out.append(",\"merged_term\":");
          write_string(out, op.merged_term);
          out.append(",\"merged_definition\":");
          write_string(out, op.merged_definition);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else if constexpr (std::is_same_v<T, op::Reinforce>) {
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"evidence\":");
          write_evidence(out, op.evidence);
        } else {
          static_assert(std::is_same_v<T, op::Split>);
          out.append("{\"concept_id\":");
          write_uuid(out, op.concept_id.uuid);
          out.append(",\"new_concepts\":[");
          bool first = true;
          for (const auto& [term, definition] : op.new_concepts) {
            if (!first) out.push_back(',');
            first = false;
            out.push_back('[');
            write_string(out, term);
            out.push_back(',');
            write_string(out, definition);
            out.push_back(']');
          }
          out.append("],\"evidence\":");
          write_evidence(out, op.evidence);
        }
      },
      operation);
  out.append("}}");
}

void write_justification(std::string& out, const OperationJustification& j) {
  out.append("{\"agm_type\":");
  write_name(out, name(j.agm_type));
  out.append(",\"minimality_score\":");
  write_f64(out, j.minimality_score);
  out.append(",\"content_shift_score\":");
  if (j.content_shift_score) {
    write_f64(out, *j.content_shift_score);
  } else {
    out.append("null", 4);
  }
  out.append(",\"structure_delta_score\":");
  if (j.structure_delta_score) {
    write_f64(out, *j.structure_delta_score);
  } else {
    out.append("null", 4);
  }
  out.append(",\"evidence_refs\":");
  write_evidence(out, j.evidence_refs);
  out.push_back('}');
}

// -------------------------------------------------------------- text forms

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

std::string format_timestamp_z(Timestamp ts) {
  char buf[64];
  return std::string(buf, format_timestamp_into(buf, ts, /*zulu=*/true));
}

std::string format_timestamp_rfc3339(Timestamp ts) {
  char buf[64];
  return std::string(buf, format_timestamp_into(buf, ts, /*zulu=*/false));
}

std::expected<Timestamp, std::string> parse_rfc3339_checked(std::string_view text) {
  auto r = parse_strict(text);
  if (!r) return std::unexpected(parse_err_text(r.error()));
  return *r;
}

std::expected<Timestamp, std::string> parse_rfc3339_relaxed_checked(std::string_view text) {
  auto r = parse_relaxed(text);
  if (!r) return std::unexpected(parse_err_text(r.error()));
  return *r;
}

std::optional<Timestamp> parse_rfc3339(std::string_view text) {
  auto r = parse_strict(text);
  if (!r) return std::nullopt;
  return *r;
}

std::optional<Timestamp> parse_rfc3339_relaxed(std::string_view text) {
  auto r = parse_relaxed(text);
  if (!r) return std::nullopt;
  return *r;
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
    // range falls back to the float reader. The document reader (exchange)
    // holds the token "-0" as negative zero, as serde_json does; so here.
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
