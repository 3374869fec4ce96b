#include "kelvora/state_hash.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kelvora/sha256.hpp"
#include "member_walk.hpp"

namespace kelvora::serialization {

class HashTrail {
 public:
  struct Mark {
    const void* chunk;  // the chunk that starts here; null after the last one
    std::shared_ptr<const Sha256Midstate> midstate;
  };
  // Per map (concepts, relations, structure): a mark before each chunk and
  // one after the last.
  std::array<std::vector<Mark>, 3> maps;
};

namespace {

template <class Map>
std::vector<std::span<const typename Map::value_type>> chunks_of(const Map& map) {
  std::vector<std::span<const typename Map::value_type>> chunks;
  map.for_each_chunk([&](auto chunk) { chunks.push_back(chunk); });
  return chunks;
}

// Feeds the chunks `from`.. of one map, marking the start of each; entries
// are asked for ahead of use as in feed_members.
template <class Chunks>
void feed_chunks(Sha256Stream& stream, const Chunks& chunks, std::size_t from,
                 std::vector<HashTrail::Mark>& marks) {
  struct Cursor {
    const Chunks& chunks;
    std::size_t chunk;
    std::size_t slot = 0;
    bool valid() const { return chunk < chunks.size(); }
    const auto& get() const { return chunks[chunk][slot]; }
    void next() {
      if (++slot == chunks[chunk].size()) {
        ++chunk;
        slot = 0;
      }
    }
  };
  constexpr std::size_t kFar = 16;
  constexpr std::size_t kNear = 6;
  Cursor far{chunks, from};
  Cursor near{chunks, from};
  for (std::size_t k = 0; k < kFar && far.valid(); ++k, far.next())
    far.get().second.prefetch_head();
  for (std::size_t k = 0; k < kNear && near.valid(); ++k, near.next()) {
    near.get().second.prefetch_all();
  }
  for (std::size_t c = from; c < chunks.size(); ++c) {
    marks.push_back({chunks[c].data(), stream.midstate()});
    bool first = c == 0;
    for (const auto& [key, entry] : chunks[c]) {
      if (far.valid()) {
        far.get().second.prefetch_head();
        far.next();
      }
      if (near.valid()) {
        near.get().second.prefetch_all();
        near.next();
      }
      if (!first) stream.feed(',');
      first = false;
      feed_member(stream, key, entry);
    }
  }
  marks.push_back({nullptr, stream.midstate()});
}

}  // namespace

Hash state_hash(const KnowledgeState& state) {
  Sha256Stream stream;
  feed_state(stream, state);
  return stream.finish();
}

TrailedHash state_hash_trailed(const KnowledgeState& state, const HashTrail* prior) {
  const auto concepts = chunks_of(state.concepts);
  const auto relations = chunks_of(state.relations);
  const auto structure = chunks_of(state.structure);
  auto identity = [](const auto& chunks) {
    std::vector<const void*> ids;
    ids.reserve(chunks.size());
    for (const auto& chunk : chunks) ids.push_back(chunk.data());
    return ids;
  };
  const std::array<std::vector<const void*>, 3> ids = {identity(concepts), identity(relations),
                                                       identity(structure)};
  constexpr std::array<std::string_view, 3> kOpen = {"{\"concepts\":{", "},\"relations\":{",
                                                     "},\"structure\":{"};

  auto trail = std::make_shared<HashTrail>();
  // Where the text starts to differ from the prior state's: map `m`, chunk `from`.
  std::size_t m = 0;
  std::size_t from = 0;
  std::optional<Sha256Stream> stream;
  if (prior != nullptr) {
    for (; m < 3; ++m) {
      const auto& marks = prior->maps[m];
      from = 0;
      while (from < ids[m].size() && from + 1 < marks.size() && ids[m][from] == marks[from].chunk) {
        ++from;
      }
      if (from == ids[m].size() && from + 1 == marks.size()) {
        trail->maps[m] = marks;  // the whole map is shared
        continue;
      }
      trail->maps[m].assign(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(from));
      stream.emplace(*marks[from].midstate);
      break;
    }
    if (m == 3) stream.emplace(*prior->maps[2].back().midstate);
  } else {
    stream.emplace();
    stream->feed(kOpen[0]);
  }
  for (std::size_t k = m; k < 3; ++k) {
    if (k > m) stream->feed(kOpen[k]);
    const std::size_t start = k == m ? from : 0;
    if (k == 0) feed_chunks(*stream, concepts, start, trail->maps[k]);
    if (k == 1) feed_chunks(*stream, relations, start, trail->maps[k]);
    if (k == 2) feed_chunks(*stream, structure, start, trail->maps[k]);
  }
  stream->feed(std::string_view("}}"));
  return {stream->finish(), std::move(trail)};
}

}  // namespace kelvora::serialization
