// The shared entry of a state: one allocation holding the reference count,
// the value and its canonical member text; a concept's term normal form is
// made on first use.
#include "kelvora/entry.hpp"

#include <new>
#include <string>
#include <type_traits>

#include "kelvora/canonical.hpp"
#include "kelvora/text_normal_form.hpp"

namespace kelvora {

namespace {
// Marks a concept whose term is its own normal form (no copy kept).
constexpr char kSameAsTermMark = 0;
const std::string* const kSameAsTerm = reinterpret_cast<const std::string*>(&kSameAsTermMark);
}  // namespace

template <class T>
Entry<T>::Entry(T value) {
  // One allocation per entry: the text is written straight behind the node,
  // whose size the writer reports before it writes.
  struct Block {
    void* raw = nullptr;
    std::size_t size = 0;
    static char* place(void* self, std::size_t size) {
      auto* block = static_cast<Block*>(self);
      block->raw = ::operator new(sizeof(Node) + size);
      block->size = size;
      return static_cast<char*>(block->raw) + sizeof(Node);
    }
  } block;
  serialization::write_member(value.id.uuid, value, &Block::place, &block);
  node_ = ::new (block.raw) Node{{1}, block.size, {}, std::move(value)};
}

template <class T>
void Entry<T>::release(Node* node) {
  if (node->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if constexpr (std::is_same_v<T, Concept>) {
    const std::string* normalized = node->term.normalized.load(std::memory_order_acquire);
    if (normalized != kSameAsTerm) delete normalized;
  }
  node->~Node();
  ::operator delete(static_cast<void*>(node));
}

template <class T>
std::string_view Entry<T>::normalized_term() const {
  if constexpr (std::is_same_v<T, Concept>) {
    const std::string* cached = node_->term.normalized.load(std::memory_order_acquire);
    if (cached == nullptr) {
      std::string normal = text::normalize_term(node_->value.term);
      const std::string* made =
          normal == node_->value.term ? kSameAsTerm : new std::string(std::move(normal));
      // Another thread may have set it first; then its value stands.
      if (node_->term.normalized.compare_exchange_strong(cached, made, std::memory_order_acq_rel)) {
        cached = made;
      } else if (made != kSameAsTerm) {
        delete made;
      }
    }
    if (cached == kSameAsTerm) return node_->value.term;
    return *cached;
  } else {
    return {};
  }
}
template class Entry<Concept>;
template class Entry<Relation>;
template class Entry<StructureNode>;

}  // namespace kelvora
