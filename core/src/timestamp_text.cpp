#include "kelvora/timestamp_text.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kelvora/error.hpp"
#include "kelvora/utf8.hpp"

namespace kelvora::serialization {

namespace {

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
    // Outside 0..9999: the sign, then at least four digits ("-0001", "+10000").
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

// The code point at the start of `s`, valid UTF-8 assumed: a byte that
// starts no well-formed sequence stands for the code point of its own value.
char32_t first_code_point(std::string_view s, std::size_t& len) {
  const utf8::Decoded d = utf8::decode(s, 0);
  if (d.valid) {
    len = d.length;
    return d.code_point;
  }
  len = 1;
  return static_cast<unsigned char>(s[0]);
}

// Unicode White_Space: what the relaxed parser skips around its fields.
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

// min..max ASCII digits as a number; fewer than min, or a value past 64
// bits, fails.
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

// The fraction after the '.': 1..9 digits kept as nanoseconds, any more
// skipped.
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

// The offset in seconds: "Z" or "z", or a sign (+, - or U+2212 MINUS SIGN),
// two hour digits, a separator and two minute digits. The separator is a
// colon, or when `relaxed` any run of colons and white space (none too).
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

// The value of a scanned field when it lies in lo..hi.
PResult<std::int64_t> within(PResult<std::int64_t> field, std::int64_t lo, std::int64_t hi) {
  if (field && (*field < lo || *field > hi)) return std::unexpected(ParseErr::OutOfRange);
  return field;
}

// The instants a time stamp text may name, in UTC: the years 0000 to 9999.
constexpr std::int64_t kFirstSecond = kFirstFastDay * 86400;        // 0000-01-01T00:00:00Z
constexpr std::int64_t kLastSecond = kLastFastDay * 86400 + 86399;  // 9999-12-31T23:59:59Z

constexpr std::int64_t kMinYearField = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMaxYearField = std::numeric_limits<std::int32_t>::max();

// The separator `c`, then min..max digits.
PResult<std::int64_t> scan_after(std::string_view& s, char c, std::size_t min, std::size_t max) {
  if (auto r = scan_char(s, c); !r) return std::unexpected(r.error());
  return scan_number(s, min, max);
}

// "T", "t" or a space between date and time.
PResult<void> scan_date_time_separator(std::string_view& s) {
  if (s.empty()) return std::unexpected(ParseErr::TooShort);
  if (s[0] != 'T' && s[0] != 't' && s[0] != ' ') return std::unexpected(ParseErr::Invalid);
  s.remove_prefix(1);
  return {};
}

// The fields of a parsed RFC 3339 text, each already within its own range.
struct Parsed {
  std::int64_t year = 0;
  std::int64_t month = 0, day = 0, hour = 0, minute = 0, second = 0, nanosecond = 0;
  std::int64_t offset = 0;

  // The instant the fields name, converted to UTC: the day must exist in its
  // month, and the instant must lie in the years 0000 to 9999. The writers
  // give any other year a sign and more digits ("+10000-01-01..."), which the
  // strict reader refuses; so a time stamp accepted here is one that can be
  // written and read again.
  PResult<Timestamp> to_utc() const {
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
    if (utc < kFirstSecond || utc > kLastSecond) return std::unexpected(ParseErr::OutOfRange);
    return Timestamp{utc, static_cast<std::uint32_t>(nanos)};
  }
};

PResult<Timestamp> parse_strict(std::string_view s) {
  KELVORA_TRY(year, within(scan_number(s, 4, 4), kMinYearField, kMaxYearField));
  KELVORA_TRY(month, within(scan_after(s, '-', 2, 2), 1, 12));
  KELVORA_TRY(day, within(scan_after(s, '-', 2, 2), 1, 31));
  if (auto r = scan_date_time_separator(s); !r) return std::unexpected(r.error());
  KELVORA_TRY(hour, within(scan_number(s, 2, 2), 0, 23));
  KELVORA_TRY(minute, within(scan_after(s, ':', 2, 2), 0, 59));
  KELVORA_TRY(second, within(scan_after(s, ':', 2, 2), 0, 60));
  std::int64_t nanosecond = 0;
  if (!s.empty() && s[0] == '.') {
    s.remove_prefix(1);
    KELVORA_TRY(nano, within(scan_nanosecond(s), 0, 999'999'999));
    nanosecond = nano;
  }
  KELVORA_TRY(offset, scan_offset(s, /*relaxed=*/false));
  constexpr std::int32_t kMaxOffset = (23 * 60 + 59) * 60;
  if (offset < -kMaxOffset || offset > kMaxOffset) return std::unexpected(ParseErr::OutOfRange);
  if (!s.empty()) return std::unexpected(ParseErr::TooLong);
  return Parsed{year, month, day, hour, minute, second, nanosecond, offset}.to_utc();
}

// A field of the relaxed form: white space, then 1..width digits.
PResult<std::int64_t> relaxed_field(std::string_view& s, std::size_t width) {
  trim_start(s);
  return scan_number(s, 1, width);
}

// White space, the separator `c`, then a relaxed field.
PResult<std::int64_t> relaxed_field_after(std::string_view& s, char c, std::size_t width) {
  trim_start(s);
  if (auto r = scan_char(s, c); !r) return std::unexpected(r.error());
  return relaxed_field(s, width);
}

// Signed, any number of digits after an explicit sign, else 1..4.
PResult<std::int64_t> relaxed_year(std::string_view& s) {
  trim_start(s);
  if (!s.empty() && s[0] == '-') {
    s.remove_prefix(1);
    KELVORA_TRY(v, scan_number(s, 1, std::numeric_limits<std::size_t>::max()));
    return -v;
  }
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    return scan_number(s, 1, std::numeric_limits<std::size_t>::max());
  }
  return scan_number(s, 1, 4);
}

PResult<Timestamp> parse_relaxed(std::string_view s) {
  KELVORA_TRY(year, within(relaxed_year(s), kMinYearField, kMaxYearField));
  KELVORA_TRY(month, within(relaxed_field_after(s, '-', 2), 1, 12));
  KELVORA_TRY(day, within(relaxed_field_after(s, '-', 2), 1, 31));
  if (auto r = scan_date_time_separator(s); !r) return std::unexpected(r.error());
  KELVORA_TRY(hour, within(relaxed_field(s, 2), 0, 23));
  KELVORA_TRY(minute, within(relaxed_field_after(s, ':', 2), 0, 59));
  KELVORA_TRY(second, within(relaxed_field_after(s, ':', 2), 0, 60));
  std::int64_t nanosecond = 0;
  if (!s.empty() && s[0] == '.') {
    s.remove_prefix(1);
    KELVORA_TRY(nano, within(scan_nanosecond(s), 0, 999'999'999));
    nanosecond = nano;
  }
  trim_start(s);
  std::int32_t offset;
  auto ieq = [](char a, char b) { return (a | 0x20) == (b | 0x20); };
  if (s.size() >= 3 && ieq(s[0], 'u') && ieq(s[1], 't') && ieq(s[2], 'c')) {
    s.remove_prefix(3);
    offset = 0;
  } else {
    KELVORA_TRY(off, scan_offset(s, /*relaxed=*/true));
    offset = off;
  }
  trim_start(s);
  if (!s.empty()) return std::unexpected(ParseErr::TooLong);
  return Parsed{year, month, day, hour, minute, second, nanosecond, offset}.to_utc();
}

}  // namespace

std::size_t put_timestamp(char* out, Timestamp ts, bool zulu) {
  return format_timestamp_into(out, ts, zulu);
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

}  // namespace kelvora::serialization
