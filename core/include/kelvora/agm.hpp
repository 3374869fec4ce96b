// The AGM postulate check of one applied operation: closure, success,
// vacuity and consistency of the change from one state to another, with the
// operation's minimality score. The check inspects the two states it is
// given; it does not verify that the operation leads from one to the other.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "kelvora/knowledge_state.hpp"

namespace kelvora::agm {

namespace postulate {
struct Satisfied {
  friend bool operator==(const Satisfied&, const Satisfied&) = default;
};
// `reason` names the first offending item found.
struct Violated {
  std::string reason;
  friend bool operator==(const Violated&, const Violated&) = default;
};
// The postulate does not concern this kind of operation.
struct NotApplicable {
  friend bool operator==(const NotApplicable&, const NotApplicable&) = default;
};
}  // namespace postulate

using PostulateResult =
    std::variant<postulate::Satisfied, postulate::Violated, postulate::NotApplicable>;

struct AgmReport {
  PostulateResult closure;
  PostulateResult success;
  PostulateResult vacuity;
  PostulateResult consistency;
  double minimality_score = 0.0;
};

// Each postulate is judged on its own; a problem found becomes a Violated
// verdict, never a failure.
AgmReport check_agm_compliance(const KnowledgeState& before, const EvolutionOperation& operation,
                               const KnowledgeState& after);

// The term normal form the classification compares: the same as
// operations::normalize_term (White_Space trimmed, NFC, full lower case).
std::string normalize_term(std::string_view term);

}  // namespace kelvora::agm
