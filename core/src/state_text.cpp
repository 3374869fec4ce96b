// The canonical state text, by the member walk.
#include "kelvora/state_text.hpp"

#include <string>

#include "member_walk.hpp"

namespace kelvora::serialization {

std::string canonical_serialize(const KnowledgeState& state) {
  std::string out;
  out.reserve(128);
  StringSink sink{out};
  feed_state(sink, state);
  return out;
}

void write_structure_map(std::string& out, const StructureMap& structure) {
  StringSink sink{out};
  sink.feed('{');
  feed_members(sink, structure);
  sink.feed('}');
}

}  // namespace kelvora::serialization
