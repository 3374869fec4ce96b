// The shared entry a state holds each concept, relation and structure node
// in: one block with a reference count, the value, its canonical member text
// and, for a concept, the term's normal form; and the identifier-keyed maps
// of such entries a state is made of.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kelvora/persistent_map.hpp"
#include "kelvora/types.hpp"

namespace kelvora {

// An immutable, shared entry of a state. The value never changes once built;
// its canonical member text ("<id>":{...}, as it stands in the state text) is
// made once at construction and kept in the same block as the value. For a
// concept, the term's normal form is made on first use and kept. Copying an
// Entry copies a pointer.
template <class T>
class Entry {
  struct Node;

 public:
  explicit Entry(T value);
  Entry(const Entry& other) noexcept : node_(other.node_) { retain(); }
  Entry(Entry&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  Entry& operator=(const Entry& other) noexcept {
    Entry copy(other);
    std::swap(node_, copy.node_);
    return *this;
  }
  Entry& operator=(Entry&& other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~Entry() {
    if (node_ != nullptr) release(node_);
  }

  const T& operator*() const { return node_->value; }
  const T* operator->() const { return &node_->value; }
  const T& value() const { return node_->value; }
  // The canonical `"<id>":{...}` member text of this entry.
  std::string_view canonical() const { return {node_->text(), node_->text_size}; }
  // Concepts only: text::normalize_term(term); empty for other entries.
  std::string_view normalized_term() const;
  bool same_node(const Entry& other) const { return node_ == other.node_; }

  // Asks for the cache line that starts the entry's block (value and length).
  void prefetch_head() const { __builtin_prefetch(node_); }
  // Asks for the head and the next line, which hold the value's leading fields.
  void prefetch_value() const {
    __builtin_prefetch(node_);
    __builtin_prefetch(reinterpret_cast<const char*>(node_) + 64);
  }
  // Asks for the whole block, member text included; cheap once the head is in.
  void prefetch_all() const {
    const char* p = reinterpret_cast<const char*>(node_);
    const char* end = node_->text() + node_->text_size;
    for (; p < end; p += 64) __builtin_prefetch(p);
  }

  friend bool operator==(const Entry& a, const Entry& b) {
    return a.node_ == b.node_ || a.node_->value == b.node_->value;
  }

 private:
  struct NoTerm {};
  // Set on first use: normal form of the term, or the term itself when it is
  // already in normal form (kSameAsTerm).
  struct TermCache {
    mutable std::atomic<const std::string*> normalized{nullptr};
  };
  struct Node {
    std::atomic<std::uint32_t> refs{1};
    std::size_t text_size = 0;
    [[no_unique_address]] std::conditional_t<std::is_same_v<T, Concept>, TermCache, NoTerm> term;
    T value;

    const char* text() const { return reinterpret_cast<const char*>(this + 1); }
  };

  void retain() const {
    if (node_ != nullptr) node_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  static void release(Node* node);

  Node* node_;
};
extern template class Entry<Concept>;
extern template class Entry<Relation>;
extern template class Entry<StructureNode>;

using ConceptMap = PersistentMap<ConceptId, Entry<Concept>>;
using RelationMap = PersistentMap<RelationId, Entry<Relation>>;
using StructureMap = PersistentMap<StructureNodeId, Entry<StructureNode>>;

}  // namespace kelvora
