// The state hash: SHA-256 of the canonical state text, streamed from the
// member texts the entries keep, with a trail of midstates so that a state
// sharing leading chunks with another is hashed only from where they differ.
#pragma once

#include <memory>

#include "kelvora/knowledge_state.hpp"
#include "kelvora/types.hpp"

namespace kelvora::serialization {

// SHA-256 of the canonical state text (uncached; KnowledgeState::state_hash caches it).
Hash state_hash(const KnowledgeState& state);
// SHA-256 midstates of a state's text at the start of each chunk of its maps.
// Kept with a state, so that a state sharing leading chunks with it hashes
// only from the first chunk that differs.
class HashTrail;

struct TrailedHash {
  Hash hash;
  std::shared_ptr<const HashTrail> trail;
};
// state_hash, resumed after the leading chunks `state` shares with the state
// `prior` was made for (from the start when null), and the trail of `state`.
// Chunks are matched by identity: the state `prior` belongs to must be alive
// and unchanged.
TrailedHash state_hash_trailed(const KnowledgeState& state, const HashTrail* prior);

}  // namespace kelvora::serialization
