// PyKnowledgeState: chain checks, verified replay, Merkle proofs and the JSON
// documents. Each method reads the receiver and never changes it; a history
// checked or replayed here always starts from the empty state and a genesis
// chain hash of zeros.
#include "verification_methods.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "kelvora/json_text.hpp"
#include "kelvora/merkle.hpp"
#include "kelvora/records_document.hpp"
#include "kelvora/state_document.hpp"
#include "kelvora/state_text_reader.hpp"
#include "knowledge_state.hpp"
#include "py_util.hpp"

namespace kelvora::py {

namespace {

constexpr const char* kNothingToVerify =
    "nothing to verify: this state has no records, so there is no chain to check";

const Hash kGenesis{};

PyObject* true_or_nothing_to_verify(const Result<ChainVerification>& checked) {
  if (!checked) return raise_engine_error(checked.error());
  if (checked->records_checked == 0) return raise_value_error(kNothingToVerify);
  Py_RETURN_TRUE;
}

// A document text written straight into a str. The text grows in a str of
// one byte per character (realloc moves or extends it without copying the
// text again); a text that turns out not to be ASCII is decoded from UTF-8
// into a str of its own at the end.
class StrText {
 public:
  StrText() = default;
  StrText(const StrText&) = delete;
  StrText& operator=(const StrText&) = delete;
  ~StrText() { Py_XDECREF(str_); }

  // A PlaceText: storage for the next `size` bytes; bad_alloc when the str
  // cannot grow.
  static char* place(void* context, std::size_t size) {
    auto& t = *static_cast<StrText*>(context);
    if (size > t.capacity_ - t.size_) t.grow(size);
    char* at = static_cast<char*>(PyUnicode_DATA(t.str_)) + t.size_;
    t.size_ += size;
    return at;
  }

  // The finished text as a new reference, or nullptr with an exception set.
  PyObject* release() {
    const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(str_));
    std::uint64_t high = 0;  // the bytes or-ed together, eight at a time
    std::size_t i = 0;
    for (; i + 8 <= size_; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      high |= word;
    }
    for (; i < size_; ++i) high |= data[i];
    if ((high & 0x8080808080808080u) != 0) {
      return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data),
                                  static_cast<Py_ssize_t>(size_), nullptr);
    }
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
    return std::exchange(str_, nullptr);
  }

 private:
  void grow(std::size_t size) {
    constexpr std::size_t kFirst = 1 << 16;
    const std::size_t want = std::max({kFirst, capacity_ * 2, size_ + size});
    if (want > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    // A failed resize leaves the str as it was.
    const bool grown = str_ == nullptr
                           ? (str_ = PyUnicode_New(static_cast<Py_ssize_t>(want), 127)) != nullptr
                           : PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(want)) == 0;
    if (!grown) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    capacity_ = want;
  }

  PyObject* str_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Reads a required member of a proof dict: false with an exception set when
// it is absent (ValueError `missing`) or does not convert.
template <class T>
bool proof_member(PyObject* dict, const char* key, const char* missing, T& out) {
  const int found = dict_get(dict, key, out);
  if (found == 0) raise_value_error(missing);
  return found > 0;
}

// A required hash member of a proof dict, as text then as hash.
bool proof_hash(PyObject* dict, const char* key, const char* missing, const char* invalid,
                Hash& out) {
  std::string text;
  if (!proof_member(dict, key, missing, text)) return false;
  auto parsed = Hash::from_hex(text);
  if (!parsed) {
    raise_value_error(std::string(invalid) + parsed.error());
    return false;
  }
  out = *parsed;
  return true;
}

// Parses the document text; on failure the parser's message is the whole
// "invalid JSON: ..." text. The tree is emptied before it goes (see
// JsonTree), also when a read from it runs out of memory.
std::optional<exchange::JsonTree> parse_document(const std::string& text) {
  auto parsed = exchange::parse_json(text);
  if (!parsed) {
    raise_value_error(parsed.error());
    return std::nullopt;
  }
  return exchange::JsonTree(std::move(*parsed));
}

// The verified replay from the empty state. The replay checks what it
// recomputes (states and chain hashes), but it makes its own justification
// and so never looks at the stored one; recomputing each stored record's
// chain hash afterwards catches a record whose justification was altered.
Result<KnowledgeState> verified_replay(std::span<const EvolutionRecord> records) {
  auto state = merkle::reconstruct_state(empty_state(), records, kGenesis);
  if (!state) return state;
  if (auto chain = merkle::verify_chain(records, kGenesis); !chain) {
    return std::unexpected(std::move(chain.error()));
  }
  return state;
}

bool read_json_str(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& out) {
  Args a{fname, args, nargs, kwnames, {"json_str"}};
  return a.get(0, out);
}

}  // namespace

PyObject* verify_chain(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return true_or_nothing_to_verify(
        merkle::verify_chain(knowledge_state_of(self).records.view(), kGenesis));
  });
}

PyObject* verify_chain_and_continuity(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    // The empty state's hash, not the receiver's: a history must start empty.
    return true_or_nothing_to_verify(merkle::verify_chain_and_continuity(
        knowledge_state_of(self).records.view(), kGenesis, empty_state().state_hash()));
  });
}

PyObject* merkle_root(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return to_py(knowledge_state_of(self).records.merkle_root().to_hex());
  });
}

PyObject* merkle_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"merkle_proof", args, nargs, kwnames, {"index"}};
    std::uint64_t index = 0;
    if (!a.get(0, index)) return nullptr;
    const auto proof = knowledge_state_of(self).records.merkle_proof(index);
    if (!proof) return raise_value_error("index " + std::to_string(index) + " out of range");
    Ref path(list_of(proof->path, [](const std::pair<Hash, bool>& step) {
      return to_py(std::pair<std::string, bool>(step.first.to_hex(), step.second));
    }));
    if (!path) return nullptr;
    Dict out;
    out.set("leaf_index", proof->leaf_index)
        .set("leaf_count", proof->leaf_count)
        .set("leaf_hash", proof->leaf_hash.to_hex())
        .set("root", proof->root.to_hex())
        .set("path", std::move(path));
    return out.release();
  });
}

PyObject* verify_merkle_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a{"verify_merkle_proof", args, nargs, kwnames, {"proof_dict"}};
    DictArg arg;
    if (!a.get(0, arg)) return nullptr;
    // Taken before the dict is read: converting its members may run Python
    // code, which may make or drop objects of this history.
    const Hash root = knowledge_state_of(self).records.merkle_root();
    PyObject* dict = arg.get();

    MerkleProof proof;
    if (!proof_hash(dict, "leaf_hash", "missing leaf_hash",
                    "invalid leaf_hash: ", proof.leaf_hash) ||
        !proof_member(dict, "leaf_index", "missing leaf_index", proof.leaf_index) ||
        !proof_hash(dict, "root", "missing root", "invalid root: ", proof.root)) {
      return nullptr;
    }
    // The proof's root is tied to this tree here; verify_proof recomputes it.
    if (proof.root != root) {
      return raise_value_error("proof is for a different tree: proof root " + proof.root.to_hex() +
                               " does not match this state's root " + root.to_hex());
    }
    std::vector<std::pair<std::string, bool>> path;
    if (!proof_member(dict, "path", "missing path", path)) return nullptr;
    proof.path.reserve(path.size());
    for (const auto& [text, is_left] : path) {
      auto sibling = Hash::from_hex(text);
      if (!sibling) return raise_value_error(sibling.error());
      proof.path.emplace_back(*sibling, is_left);
    }
    if (!proof_member(dict, "leaf_count",
                      "missing leaf_count: this proof predates the leaf-count commitment and "
                      "cannot verify against a current root",
                      proof.leaf_count)) {
      return nullptr;
    }
    if (auto verified = merkle::verify_proof(proof, root); !verified) {
      return raise_engine_error(verified.error());
    }
    Py_RETURN_TRUE;
  });
}

PyObject* state_to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    StrText text;
    exchange::write_state_text(*knowledge_state_of(self).state, StrText::place, &text);
    return text.release();
  });
}

PyObject* records_to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    StrText text;
    exchange::write_records_text(knowledge_state_of(self).records.view(), StrText::place, &text);
    return text.release();
  });
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!read_json_str("from_json", args, nargs, kwnames, text)) return nullptr;
    // Documents in the writers' shape (members in any order) load without a
    // tree; any other text takes the tree reader, whose messages are the
    // ones to give.
    if (auto state = exchange::try_read_state_text(text)) {
      return wrap_knowledge_state(PyKnowledgeState{
          RecordHistory{}, std::make_shared<const KnowledgeState>(std::move(*state))});
    }
    const auto document = parse_document(text);
    if (!document) return nullptr;
    auto state = exchange::state_from_json(**document);
    if (!state) return raise_engine_error(state.error());
    return wrap_knowledge_state(PyKnowledgeState{
        RecordHistory{}, std::make_shared<const KnowledgeState>(std::move(*state))});
  });
}

PyObject* from_records_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!read_json_str("from_records_json", args, nargs, kwnames, text)) return nullptr;
    auto records = [&]() -> std::optional<std::vector<EvolutionRecord>> {
      // The tree of the whole document is released before the replay.
      const auto document = parse_document(text);
      if (!document) return std::nullopt;
      auto read = exchange::records_from_json(**document);
      if (!read) {
        raise_engine_error(read.error());
        return std::nullopt;
      }
      return std::move(*read);
    }();
    if (!records) return nullptr;
    auto state = verified_replay(*records);
    if (!state) return raise_engine_error(state.error());
    return wrap_knowledge_state(
        PyKnowledgeState{RecordHistory{std::move(*records)},
                         std::make_shared<const KnowledgeState>(std::move(*state))});
  });
}

PyObject* reconstruct(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const PyKnowledgeState& value = knowledge_state_of(self);
    const auto rebuilt = verified_replay(value.records.view());
    if (!rebuilt) return raise_engine_error(rebuilt.error());
    const Hash expected = value.state->state_hash();
    const Hash got = rebuilt->state_hash();
    if (expected != got) {
      return raise_value_error("reconstruction mismatch: expected " + expected.to_hex() + ", got " +
                               got.to_hex());
    }
    Py_RETURN_TRUE;
  });
}

}  // namespace kelvora::py
