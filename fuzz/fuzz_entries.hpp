// The properties the fuzz targets check, one function per target. Each takes
// arbitrary bytes and returns an empty text, or a description of the
// property the input broke. A crash, a leak or undefined behaviour is found
// by the sanitizers. The libFuzzer drivers and the corpus replay test share
// these functions, so a saved input replays exactly what was fuzzed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/merkle.hpp"
#include "kelvora/operations.hpp"
#include "kelvora/records_document.hpp"
#include "kelvora/sha256.hpp"
#include "kelvora/state_document.hpp"
#include "kelvora/state_text_reader.hpp"

namespace kelvora::fuzz {

inline bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t len = b < 0x80           ? 1
                      : (b >> 5) == 0x6  ? 2
                      : (b >> 4) == 0xE  ? 3
                      : (b >> 3) == 0x1E ? 4
                                         : 0;
    if (len == 0 || i + len > text.size()) return false;
    char32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

struct Parsed {
  std::string broken;                  // a property the parser broke
  std::optional<exchange::Json> tree;  // absent when the text was refused
};

// Parses the input; a refusal must carry a proper message, and printing an
// accepted tree and parsing that text again must give an equal tree. A NUL
// byte is valid nowhere in JSON text (inside a string only as an escape).
inline Parsed parse_checked(std::string_view input) {
  auto parsed = exchange::parse_json(input);
  if (!parsed) {
    if (!parsed.error().starts_with("invalid JSON: "))
      return {"parse message: " + parsed.error(), std::nullopt};
    if (!is_valid_utf8(parsed.error())) return {"parse message is not UTF-8", std::nullopt};
    return {};
  }
  if (input.find('\0') != std::string_view::npos) return {"accepted a NUL byte", std::nullopt};
  const std::string printed = exchange::to_pretty_text(*parsed);
  auto reparsed = exchange::parse_json(printed);
  if (!reparsed) return {"printed tree does not parse: " + reparsed.error(), std::nullopt};
  if (*reparsed != *parsed)
    return {"printed tree parses to another tree: " + printed, std::nullopt};
  return {"", std::move(*parsed)};
}

inline std::string check_refusal(const EngineError& error) {
  if (error.kind() != ErrorKind::SerializationError) return "reader failed with another kind";
  if (!is_valid_utf8(error.message())) return "reader message is not UTF-8";
  return "";
}

// Empty when the two states hold the same entries under the same keys in
// the same order, bit for bit (so negative zero counts), with one hash.
inline std::string state_difference(const KnowledgeState& a, const KnowledgeState& b) {
  if (a.state_hash() != b.state_hash()) return "state hashes differ";
  if (!(a == b)) return "maps differ";
  auto texts = [](const KnowledgeState& s) {
    std::string out;
    for (const auto& [key, entry] : s.concepts) {
      out += key.to_string();
      serialization::write_concept(out, *entry, /*normalize_zero=*/false);
    }
    for (const auto& [key, entry] : s.relations) {
      out += key.to_string();
      serialization::write_relation(out, *entry, /*normalize_zero=*/false);
    }
    for (const auto& [key, entry] : s.structure) {
      out += key.to_string();
      serialization::write_structure_node(out, *entry);
    }
    return out;
  };
  if (texts(a) != texts(b)) return "entry texts differ";
  return "";
}

// The text reader may give up on any input, but a state it reads must be
// the one the tree reader reads from the same text.
inline std::string text_reader_agrees(std::string_view input) {
  auto fast = exchange::try_read_state_text(input);
  if (!fast) return "";
  auto tree = exchange::parse_json(input);
  if (!tree) return "text reader read a text the parser refuses: " + tree.error();
  auto state = exchange::state_from_json(*tree);
  if (!state) return "text reader read a document the reader refuses: " + state.error().message();
  if (auto difference = state_difference(*fast, *state); !difference.empty()) {
    return "text reader read another state: " + difference;
  }
  return "";
}

// A state document that reads must survive writing, printing, parsing and
// reading again with the same content and hash; the text reader agrees.
inline std::string state_document(std::string_view input) {
  if (auto broken = text_reader_agrees(input); !broken.empty()) return broken;
  Parsed parsed = parse_checked(input);
  if (!parsed.tree) return parsed.broken;
  auto state = exchange::state_from_json(*parsed.tree);
  if (!state) return check_refusal(state.error());
  auto reparsed = exchange::parse_json(exchange::state_to_json_text(*state));
  if (!reparsed) return "written state does not parse: " + reparsed.error();
  if ((*reparsed)["state_hash"] != state->state_hash().to_hex()) {
    return "written state_hash differs";
  }
  auto again = exchange::state_from_json(*reparsed);
  if (!again) return "written state does not read: " + again.error().message();
  if (!(*again == *state)) return "state changed in a round trip";
  if (again->state_hash() != state->state_hash()) return "state hash changed in a round trip";
  return "";
}

// A records document that reads must survive a round trip with the same
// chain-hash inputs; the replay that loading runs must not crash.
inline std::string records_document(std::string_view input) {
  Parsed parsed = parse_checked(input);
  if (!parsed.tree) return parsed.broken;
  auto records = exchange::records_from_json(*parsed.tree);
  if (!records) return check_refusal(records.error());
  auto reparsed = exchange::parse_json(exchange::records_to_json_text(*records));
  if (!reparsed) return "written records do not parse: " + reparsed.error();
  auto again = exchange::records_from_json(*reparsed);
  if (!again) return "written records do not read: " + again.error().message();
  if (again->size() != records->size()) return "record count changed in a round trip";
  for (std::size_t i = 0; i < records->size(); ++i) {
    const auto& a = (*records)[i];
    const auto& b = (*again)[i];
    if (operations::record_hash_payload(a) != operations::record_hash_payload(b) || a.id != b.id ||
        a.chain_hash != b.chain_hash) {
      return "record " + std::to_string(i) + " changed in a round trip";
    }
  }
  (void)merkle::reconstruct_state(KnowledgeState{}, *records, Hash::zero());
  return "";
}

// Reads little-endian integers and hashes from the input, zero past its end.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  std::uint8_t byte() { return at_ < bytes_.size() ? static_cast<std::uint8_t>(bytes_[at_++]) : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{byte()} << (8 * i);
    return v;
  }
  Hash hash() {
    Hash h;
    for (auto& b : h.bytes) b = byte();
    return h;
  }
  bool done() const { return at_ >= bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

// Any proof must be checked without crashing; a proof issued by a tree must
// verify against its root, and any single change to it must not.
inline std::string merkle_proof(std::string_view input) {
  ByteReader in(input);
  const std::uint8_t mode = in.byte();
  if (mode & 1) {
    MerkleProof proof;
    proof.leaf_index = in.u64();
    proof.leaf_count = in.u64();
    proof.leaf_hash = in.hash();
    const Hash root = in.hash();
    while (!in.done() && proof.path.size() < 80) {
      const Hash sibling = in.hash();
      proof.path.emplace_back(sibling, (in.byte() & 1) != 0);
    }
    if (auto verified = merkle::verify_proof(proof, root); !verified) {
      if (verified.error().kind() != ErrorKind::MerkleProofFailed) return "wrong error kind";
    }
    return "";
  }

  const std::size_t low = in.byte();
  const std::size_t high = in.byte() & 1U;
  const std::size_t count = 1 + (low | high << 8);
  std::vector<Hash> leaves;
  leaves.reserve(count);
  const Hash seed = in.hash();
  for (std::size_t i = 0; i < count; ++i) {
    std::string part(reinterpret_cast<const char*>(seed.bytes.data()), seed.bytes.size());
    part += std::to_string(i);
    leaves.push_back(serialization::compute_hash(part));
  }
  const MerkleTree tree = MerkleTree::from_leaves(leaves);
  if (tree.proof(count)) return "proof issued past the last leaf";
  const std::size_t index = in.u64() % count;
  auto issued = tree.proof(index);
  if (!issued) return "no proof for leaf " + std::to_string(index);
  if (issued->leaf_hash != leaves[index] || issued->root != tree.root) return "proof fields wrong";
  if (auto ok = merkle::verify_proof(*issued, tree.root); !ok) {
    return "issued proof fails: " + ok.error().message();
  }

  MerkleProof changed = *issued;
  const std::uint8_t what = in.byte() % 5;
  const std::uint64_t where = in.u64();
  const auto bit = static_cast<std::uint8_t>(1U << (in.byte() % 8));
  switch (what) {
    case 0:
      changed.leaf_hash.bytes[where % 32] ^= bit;
      break;
    case 1:
      if (changed.path.empty()) return "";
      changed.path[where % changed.path.size()].first.bytes[(where >> 8) % 32] ^= bit;
      break;
    case 2:
      if (changed.path.empty()) return "";
      changed.path[where % changed.path.size()].second ^= true;
      break;
    case 3:
      changed.leaf_index = where % (count + 2);
      if (changed.leaf_index == index) return "";
      break;
    default:
      changed.leaf_count = where % (2 * count + 2);
      if (changed.leaf_count == count) return "";
      break;
  }
  if (merkle::verify_proof(changed, tree.root)) {
    return "a changed proof verifies (change " + std::to_string(what) + ")";
  }
  return "";
}

}  // namespace kelvora::fuzz
