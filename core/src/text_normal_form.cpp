// The term normal form and the full lower case. ASCII text takes a short way
// with the same result; other text goes through ICU, whose failures to
// allocate are seen as memory running out.
#include "kelvora/text_normal_form.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "kelvora/error.hpp"

namespace kelvora::text {

namespace {

bool is_ascii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_ascii_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The lower-case mapping of ASCII text: A-Z to a-z.
void ascii_lower_case(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// ICU reports an allocation that failed as U_MEMORY_ALLOCATION_ERROR, or by
// leaving a string "bogus" (no error code at all). Either means the process
// is out of memory, which the caller sees as std::bad_alloc like any other
// allocation; only another failure is a fault of ours.
void check_icu(UErrorCode status, const char* fault) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) internal_fault(fault);
}

const icu::UnicodeString& check_icu(const icu::UnicodeString& text) {
  if (text.isBogus()) throw std::bad_alloc();
  return text;
}

// The text as UTF-16, ill-formed UTF-8 as U+FFFD. ICU strings are indexed by
// 32-bit integers: a longer text cannot be held at all, which the caller sees
// as memory running out.
icu::UnicodeString to_unicode(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::bad_alloc();
  }
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  check_icu(unicode);
  return unicode;
}

// Full lower case of the whole text (root locale: final sigma applies), as UTF-8.
std::string lower_case_utf8(icu::UnicodeString& text) {
  check_icu(text.toLower(icu::Locale::getRoot()));
  std::string out;
  text.toUTF8String(out);
  return out;
}

// ICU puts a run of combining marks in order one insertion at a time: a
// run in reverse order of the marks' classes takes time in proportion to the
// square of its length. A text with a run longer than this is brought to
// its canonical decomposition here, each run put in order by one stable
// sort, and then composed: the normaliser then finds every run in order.
constexpr int32_t kLongestRunLeftToIcu = 32;

// Whether a run of more than kLongestRunLeftToIcu code points has no
// normalisation boundary before any of them but the first.
bool has_long_run(const icu::Normalizer2& nfd, const icu::UnicodeString& text) {
  int32_t run = 0;
  for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
    run = nfd.hasBoundaryBefore(text.char32At(i)) ? 1 : run + 1;
    if (run > kLongestRunLeftToIcu) return true;
  }
  return false;
}

// The canonical decomposition of `text`: each code point's full
// decomposition, then each run of code points of a non-zero combining class
// stably sorted by class.
icu::UnicodeString canonical_decomposition(const icu::Normalizer2& nfd,
                                           const icu::UnicodeString& text) {
  std::vector<UChar32> points;
  icu::UnicodeString mapping;
  for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
    const UChar32 c = text.char32At(i);
    if (!nfd.getDecomposition(c, mapping)) {
      points.push_back(c);
      continue;
    }
    for (int32_t j = 0; j < mapping.length(); j = mapping.moveIndex32(j, 1)) {
      points.push_back(mapping.char32At(j));
    }
  }
  auto by_class = [&](UChar32 a, UChar32 b) {
    return nfd.getCombiningClass(a) < nfd.getCombiningClass(b);
  };
  for (std::size_t k = 0; k < points.size();) {
    std::size_t end = k;
    while (end < points.size() && nfd.getCombiningClass(points[end]) != 0) ++end;
    if (end - k > 1) {
      std::stable_sort(points.begin() + static_cast<std::ptrdiff_t>(k),
                       points.begin() + static_cast<std::ptrdiff_t>(end), by_class);
    }
    k = end == k ? k + 1 : end;
  }
  icu::UnicodeString out;
  for (const UChar32 c : points) out.append(c);
  return check_icu(out);
}

// NFC of `text`.
icu::UnicodeString composed(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  check_icu(status, "NFC normaliser unavailable");
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  check_icu(status, "NFD normaliser unavailable");
  icu::UnicodeString out = has_long_run(*nfd, text)
                               ? nfc->normalize(canonical_decomposition(*nfd, text), status)
                               : nfc->normalize(text, status);
  check_icu(status, "NFC normalisation failed");
  check_icu(out);
  return out;
}

}  // namespace

std::string normalize_term(std::string_view term) {
  if (is_ascii(term)) {
    // ASCII text: the White_Space characters are \t..\r and the space, NFC
    // changes nothing and the lower-case mapping is A-Z to a-z.
    std::size_t b = 0;
    std::size_t e = term.size();
    while (b < e && is_ascii_white_space(term[b])) ++b;
    while (e > b && is_ascii_white_space(term[e - 1])) --e;
    std::string out(term.substr(b, e - b));
    ascii_lower_case(out);
    return out;
  }

  icu::UnicodeString text = to_unicode(term);
  // 1. Trim Unicode White_Space at both ends.
  int32_t start = 0;
  int32_t limit = text.length();
  while (start < limit) {
    UChar32 c = text.char32At(start);
    if (!u_isUWhiteSpace(c)) break;
    start = text.moveIndex32(start, 1);
  }
  while (limit > start) {
    int32_t prev = text.moveIndex32(limit, -1);
    UChar32 c = text.char32At(prev);
    if (!u_isUWhiteSpace(c)) break;
    limit = prev;
  }
  icu::UnicodeString trimmed(text, start, limit - start);
  check_icu(trimmed);
  // 2. NFC.
  icu::UnicodeString nfc = composed(trimmed);
  // 3. Full lower case.
  return lower_case_utf8(nfc);
}

std::string lower_case(std::string_view text) {
  if (is_ascii(text)) {
    std::string out(text);
    ascii_lower_case(out);
    return out;
  }
  icu::UnicodeString unicode = to_unicode(text);
  return lower_case_utf8(unicode);
}

}  // namespace kelvora::text
