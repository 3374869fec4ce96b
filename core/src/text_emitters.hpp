// The emitters that texts are written with: each text is emitted twice by
// the same code, once by a Counter that finds its exact length and once by a
// Putter that writes it through a raw pointer into storage of that size.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "kelvora/error.hpp"
#include "kelvora/float_text.hpp"
#include "kelvora/timestamp_text.hpp"
#include "kelvora/types.hpp"

namespace kelvora::serialization {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// The 32 lower-case hex digits of 16 bytes at `out`, made 16 at a time: the
// identifiers and hashes of every text go through here.
inline void put_hex16(char* out, const std::uint8_t* bytes) {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), low_nibble);
  const __m128i lo = _mm_and_si128(v, low_nibble);
  // A nibble x becomes '0' + x, plus the gap up to 'a' when x > 9.
  auto digits = [](__m128i x) {
    const __m128i letter = _mm_cmpgt_epi8(x, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(x, _mm_set1_epi8('0')),
                        _mm_and_si128(letter, _mm_set1_epi8('a' - '0' - 10)));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digits(_mm_unpacklo_epi8(hi, lo)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), digits(_mm_unpackhi_epi8(hi, lo)));
#else
  for (std::size_t i = 0; i < 16; ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
#endif
}

// The 36 characters of the 8-4-4-4-12 form at `out`. Every entry text holds
// two of them (key and id), so this is one of the writer's hot spots.
inline void put_uuid(char* out, const Uuid& id) {
  char hex[32];
  put_hex16(hex, id.bytes.data());
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
inline __m128i load16(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Bit i set when byte i of the 16 needs an escape.
inline unsigned escape_mask16(__m128i v) {
  const __m128i space_minus_one = _mm_set1_epi8(0x1F);
  // v <= 0x1F (unsigned) exactly when max(v, 0x1F) == 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, space_minus_one), space_minus_one);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
inline unsigned escape_mask16(const char* p) { return escape_mask16(load16(p)); }
#endif

// Offset of the first byte that needs an escape, or text.size().
inline std::size_t first_escape(std::string_view text) {
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

// Writes the escape of `c`, a byte that needs one; returns the end.
inline char* put_escape(char* out, unsigned char c) {
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
      std::memcpy(out, "u00", 3);
      out[3] = kHexDigits[c >> 4];
      out[4] = kHexDigits[c & 0x0F];
      out += 5;
  }
  return out;
}

// What a text becomes inside a JSON string: its escaped size, and whether
// every byte is ASCII.
struct EscapedSize {
  std::size_t size;
  bool ascii;
};

inline EscapedSize escaped_size(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  std::size_t extra = 0;
  unsigned high = 0;
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const __m128i v = load16(p);
    high |= static_cast<unsigned>(_mm_movemask_epi8(v));
    for (unsigned mask = escape_mask16(v); mask != 0; mask &= mask - 1) {
      extra += escape_extra(static_cast<unsigned char>(p[__builtin_ctz(mask)]));
    }
  }
#endif
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    high |= c & 0x80u;
    if (byte_needs_escape(c)) extra += escape_extra(c);
  }
  return {text.size() + extra, high == 0};
}

// Writes `text` escaped (without quotes) at `out`, which has room for
// escaped_size(text).size bytes; returns the end.
inline char* put_escaped(char* out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
#if defined(__SSE2__)
  // Whole chunks are copied as they are loaded; the output has room, as an
  // escaped text is never shorter than the text.
  while (end - p >= 16) {
    const __m128i v = load16(p);
    const unsigned mask = escape_mask16(v);
    if (mask == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
      p += 16;
      out += 16;
      continue;
    }
    const auto plain = static_cast<std::size_t>(__builtin_ctz(mask));
    std::memcpy(out, p, plain);
    out = put_escape(out + plain, static_cast<unsigned char>(p[plain]));
    p += plain + 1;
  }
#endif
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (byte_needs_escape(c)) {
      out = put_escape(out, c);
    } else {
      *out++ = static_cast<char>(c);
    }
  }
  return out;
}

// A float or time stamp text, made once for both passes.
struct Piece {
  char buf[64];
  std::size_t len = 0;
  std::string_view view() const { return {buf, len}; }
};

inline Piece f64_piece(double value, bool normalize_zero) {
  Piece piece;
  if (normalize_zero && value == 0.0) value = 0.0;
  if (!std::isfinite(value)) {
    std::memcpy(piece.buf, "null", 4);
    piece.len = 4;
  } else {
    piece.len = put_f64_json(piece.buf, value);
  }
  return piece;
}

// The quoted time stamp text, ending in "Z" when `zulu`, else in "+00:00".
inline Piece timestamp_piece(Timestamp ts, bool zulu) {
  Piece piece;
  piece.buf[0] = '"';
  piece.len = 1 + put_timestamp(piece.buf + 1, ts, zulu);
  piece.buf[piece.len++] = '"';
  return piece;
}

// The scan results of the first kScanCache strings, kept by the counting pass
// for the writing pass (both see the strings in the same order).
inline constexpr std::size_t kScanCache = 8;

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
    const std::size_t at = first_escape(text);
    if (strings < kScanCache) scans[strings] = at;
    ++strings;
    n += 2 + at + escaped_size(text.substr(at)).size;
  }
  void uuid(const Uuid&) { n += 38; }
  void hex(const Hash&) { n += 66; }
  void uint(std::uint64_t v) {
    char buf[24];
    n += static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf);
  }
};

struct Putter {
  Putter(char* out, const Counter& counter) : p(out), scans(counter.scans) {}

  char* p;
  const std::size_t* scans = nullptr;  // the Counter's
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
    const std::size_t at = strings < kScanCache ? scans[strings] : first_escape(text);
    ++strings;
    std::memcpy(p, text.data(), at);
    p += at;
    if (at < text.size()) p = put_escaped(p, text.substr(at));
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
  // The hash as a quoted string of 64 hex digits.
  void hex(const Hash& hash) {
    *p++ = '"';
    put_hex16(p, hash.bytes.data());
    put_hex16(p + 32, hash.bytes.data() + 16);
    p += 64;
    *p++ = '"';
  }
  void uint(std::uint64_t v) { p = std::to_chars(p, p + 24, v).ptr; }
};

// Runs `emit` once to count and once to write into the storage that
// `place(size)` gives for the exact size. A Put is made from the storage and
// the Count that measured it.
template <class Count = Counter, class Put = Putter, class Place, class F>
void emit_placed(Place&& place, F&& emit) {
  Count counter;
  emit(counter);
  char* out = place(counter.n);
  Put putter(out, counter);
  emit(putter);
  if (putter.p != out + counter.n) internal_fault("canonical writer size mismatch");
}

// Runs `emit` once to count and once to write into `out`, grown once.
template <class Count = Counter, class Put = Putter, class F>
void emit_sized(std::string& out, F&& emit) {
  emit_placed<Count, Put>(
      [&out](std::size_t n) {
        const std::size_t old = out.size();
        out.resize(old + n);
        return out.data() + old;
      },
      emit);
}

}  // namespace kelvora::serialization
