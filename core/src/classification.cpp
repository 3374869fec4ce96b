// Extraction classification by word Jaccard similarity.
#include "kelvora/classification.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "kelvora/agm.hpp"
#include "kelvora/text_normal_form.hpp"
#include "kelvora/utf8.hpp"

namespace kelvora::classification {

namespace {

bool is_alphanumeric(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  const auto category = static_cast<UCharCategory>(u_charType(c));
  return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER ||
         category == U_OTHER_NUMBER;
}

// The distinct words of `text`, sorted by their bytes (views into `text`).
// An ill-formed sequence is neither White_Space nor alphanumeric.
std::vector<std::string_view> word_set(std::string_view text) {
  std::vector<std::string_view> words;
  // Byte offsets of the current piece's first and one-past-last alphanumeric
  // characters; `in_piece` is false while none was seen.
  bool in_piece = false;
  std::size_t first = 0;
  std::size_t last = 0;
  auto end_piece = [&] {
    if (in_piece) words.push_back(text.substr(first, last - first));
    in_piece = false;
  };
  for (std::size_t at = 0; at < text.size();) {
    const utf8::Decoded d = utf8::decode(text, at);
    const std::size_t start = at;
    at += d.length;
    if (!d.valid) continue;
    const auto c = static_cast<UChar32>(d.code_point);
    if (u_isUWhiteSpace(c)) {
      end_piece();
    } else if (is_alphanumeric(c)) {
      if (!in_piece) first = start;
      in_piece = true;
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
        word_jaccard_similarity(text::lower_case(entry->definition), text::lower_case(definition));
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
