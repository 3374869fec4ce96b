// The canonical state text, made of the member texts the entries keep; the
// bytes the state hash is taken over (state_hash.hpp streams the same walk).
#pragma once

#include <string>

#include "kelvora/entry.hpp"
#include "kelvora/knowledge_state.hpp"

namespace kelvora::serialization {

// The canonical state text: {"concepts":{...},"relations":{...},"structure":{...}}.
std::string canonical_serialize(const KnowledgeState& state);

// The structure map alone as compact JSON: {"<id>":{...},...}.
void write_structure_map(std::string& out, const StructureMap& structure);

}  // namespace kelvora::serialization
