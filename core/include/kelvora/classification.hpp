// Advice for an extraction pipeline: which operation a freshly extracted
// (term, definition) pair calls for, judged against a knowledge state by the
// word Jaccard similarity of the definitions. Nothing is applied.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "kelvora/knowledge_state.hpp"

namespace kelvora::classification {

struct ClassificationThresholds {
  double refine_threshold = 0.3;      // lowest similarity that still gives Refine
  double reinforce_threshold = 0.95;  // lowest similarity that gives Reinforce; tested first
};

enum class ClassificationKind : std::uint8_t { Assert, Refine, Revise, Reinforce };

struct ClassificationResult {
  ClassificationKind kind = ClassificationKind::Assert;
  // The matched concept and the similarity; absent for Assert.
  std::optional<ConceptId> concept_id;
  std::optional<double> similarity;
};

// Matches the term's normal form against the Active concepts in id order
// (the first match wins) and compares the lower-cased definitions. The
// thresholds are not validated here.
ClassificationResult classify_extraction(const KnowledgeState& state, std::string_view term,
                                         std::string_view definition,
                                         const ClassificationThresholds& thresholds);

// |A ∩ B| / |A ∪ B| over the word sets of the two texts: pieces between runs
// of White_Space, trimmed at both ends of every character that is neither
// Alphabetic nor numeric (Nd, Nl, No). Case-sensitive; 0.0 when both sets
// are empty.
double word_jaccard_similarity(std::string_view a, std::string_view b);

}  // namespace kelvora::classification
