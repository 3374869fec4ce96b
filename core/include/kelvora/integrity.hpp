// The referential-integrity check every state read from a document passes.
#pragma once

#include "kelvora/error.hpp"
#include "kelvora/knowledge_state.hpp"

namespace kelvora::exchange {

// Dangling relation ends, duplicate normalised terms among Active concepts,
// and DerivesFrom cycles (searched without recursion). Reads concepts and
// relations only.
Result<void> validate_referential_integrity(const KnowledgeState& state);

}  // namespace kelvora::exchange
