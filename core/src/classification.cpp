// Extraction classification by word Jaccard similarity.
#include "kelvora/classification.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kelvora/agm.hpp"

namespace kelvora::classification {

namespace {

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The full Unicode lower-case mapping of the whole text (root locale, so a
// final sigma becomes ς), as the term normal form lower-cases.
std::string lower_case(std::string_view text) {
  if (is_ascii(text)) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

bool is_alphanumeric(UChar32 c) {
  if (c < 0) return false;  // an ill-formed byte
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  const auto category = static_cast<UCharCategory>(u_charType(c));
  return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER ||
         category == U_OTHER_NUMBER;
}

// The distinct words of `text`, sorted by their bytes (views into `text`).
std::vector<std::string_view> word_set(std::string_view text) {
  std::vector<std::string_view> words;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t at = 0;
  // Byte offsets of the current piece's first and one-past-last alphanumeric
  // characters; first < 0 while none was seen.
  int32_t first = -1;
  int32_t last = -1;
  auto end_piece = [&] {
    if (first >= 0) {
      words.push_back(
          text.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first)));
    }
    first = -1;
  };
  while (at < length) {
    const int32_t start = at;
    UChar32 c = 0;
    U8_NEXT(bytes, at, length, c);
    if (c >= 0 && u_isUWhiteSpace(c)) {
      end_piece();
    } else if (is_alphanumeric(c)) {
      if (first < 0) first = start;
      last = at;
    }
  }
  end_piece();
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

}  // namespace

double word_jaccard_similarity(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> left = word_set(a);
  const std::vector<std::string_view> right = word_set(b);
  if (left.empty() && right.empty()) return 0.0;
  std::size_t common = 0;
  for (auto l = left.begin(), r = right.begin(); l != left.end() && r != right.end();) {
    if (*l < *r) {
      ++l;
    } else if (*r < *l) {
      ++r;
    } else {
      ++common;
      ++l;
      ++r;
    }
  }
  const std::size_t all = left.size() + right.size() - common;
  return static_cast<double>(common) / static_cast<double>(all);
}

ClassificationResult classify_extraction(const KnowledgeState& state, std::string_view term,
                                         std::string_view definition,
                                         const ClassificationThresholds& thresholds) {
  const std::string target = agm::normalize_term(term);
  for (const auto& [id, entry] : state.concepts) {
    // The entry keeps its term's normal form, so each concept is normalised
    // at most once over its lifetime.
    if (entry->status != ConceptStatus::Active || entry.normalized_term() != target) continue;
    const double similarity =
        word_jaccard_similarity(lower_case(entry->definition), lower_case(definition));
    ClassificationKind kind = ClassificationKind::Revise;
    if (similarity >= thresholds.reinforce_threshold) {
      kind = ClassificationKind::Reinforce;
    } else if (similarity >= thresholds.refine_threshold) {
      kind = ClassificationKind::Refine;
    }
    return ClassificationResult{kind, id, similarity};
  }
  return ClassificationResult{};
}

}  // namespace kelvora::classification
