// A fast path for reading a state document: straight from its text, without
// a value tree, when it has the shape the writers give it.
#pragma once

#include <optional>
#include <string_view>

#include "kelvora/knowledge_state.hpp"

namespace kelvora::exchange {

// Reads a state document straight from its text, without a tree, when it is
// in the shape the writers give it (lower-case hyphenated identifiers, no
// unknown or repeated members; members in any order). Anything else, and any
// document state_from_json would refuse, gives nullopt: the caller then
// parses and reads it the usual way, which gives the exact failure. When it
// gives a state, that is the state (and hash) the usual way would give.
std::optional<KnowledgeState> try_read_state_text(std::string_view text);

}  // namespace kelvora::exchange
