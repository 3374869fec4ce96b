// The term normal form and the full lower case. ASCII text takes a short way
// with the same result; other text goes through ICU, whose failures to
// allocate are seen as memory running out.
#include "kelvora/text_normal_form.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <limits>
#include <new>
#include <string>

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
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  check_icu(status, "NFC normaliser unavailable");
  icu::UnicodeString composed = nfc->normalize(trimmed, status);
  check_icu(status, "NFC normalisation failed");
  check_icu(composed);
  // 3. Full lower case.
  return lower_case_utf8(composed);
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
