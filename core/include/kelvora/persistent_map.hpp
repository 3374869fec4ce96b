// An ordered map whose copies share their storage: the entries sit in sorted
// chunks of at most kMaxChunk, held by reference-counted pointers. Copying a
// map copies the list of chunk pointers; a write copies only the chunk it
// touches (or changes it in place when no other map holds it). Iteration is
// in key order through contiguous arrays.
//
// Only const access to the entries is given: a shared chunk must not change.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kelvora {

template <class K, class V, std::size_t kMaxChunk = 64>
class PersistentMap {
  static_assert(kMaxChunk >= 8 && kMaxChunk <= 65535);

 public:
  using key_type = K;
  using mapped_type = V;
  using value_type = std::pair<K, V>;
  using size_type = std::size_t;
  class const_iterator;
  using iterator = const_iterator;

  PersistentMap() = default;
  PersistentMap(const PersistentMap&) = default;
  PersistentMap(PersistentMap&& other) noexcept
      : parts_(std::move(other.parts_)), size_(std::exchange(other.size_, 0)) {}
  PersistentMap& operator=(const PersistentMap&) = default;
  PersistentMap& operator=(PersistentMap&& other) noexcept {
    parts_ = std::move(other.parts_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  PersistentMap(std::initializer_list<value_type> values) {
    for (const auto& v : values) insert(v);
  }

  size_type size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    parts_.clear();
    size_ = 0;
  }

  const_iterator begin() const {
    if (parts_.empty()) return end();
    return const_iterator(parts_.data(), parts_.data() + parts_.size(), 0);
  }
  const_iterator end() const { return const_iterator(); }
  const_iterator cbegin() const { return begin(); }
  const_iterator cend() const { return end(); }

  const_iterator find(const K& key) const {
    const auto [part, slot, found] = locate(key);
    if (!found) return end();
    return const_iterator(parts_.data() + part, parts_.data() + parts_.size(), slot);
  }
  // The first entry whose key is not less than `key`.
  const_iterator lower_bound(const K& key) const {
    const auto [part, slot, found] = locate(key);
    return iterator_at(part, slot);
  }
  bool contains(const K& key) const { return locate(key).found; }
  size_type count(const K& key) const { return contains(key) ? 1 : 0; }
  const V& at(const K& key) const {
    const auto [part, slot, found] = locate(key);
    if (!found) throw std::out_of_range("PersistentMap::at: no such key");
    return parts_[part].chunk->items()[slot].second;
  }

  // Inserts when the key is absent; the iterator names the key's entry.
  std::pair<const_iterator, bool> insert(const value_type& value) {
    return emplace(value.first, value.second);
  }
  std::pair<const_iterator, bool> insert(value_type&& value) {
    return emplace(value.first, std::move(value.second));
  }
  template <class U>
  std::pair<const_iterator, bool> emplace(const K& key, U&& value) {
    auto [part, slot, found] = locate(key);
    if (!found) insert_at(part, slot, key, V(std::forward<U>(value)), found);
    return {iterator_at(part, slot), !found};
  }
  template <class U>
  std::pair<const_iterator, bool> try_emplace(const K& key, U&& value) {
    return emplace(key, std::forward<U>(value));
  }
  // The hint is not needed: appending in key order is already constant time.
  template <class U>
  const_iterator emplace_hint(const_iterator, const K& key, U&& value) {
    return emplace(key, std::forward<U>(value)).first;
  }
  template <class U>
  std::pair<const_iterator, bool> insert_or_assign(const K& key, U&& value) {
    auto [part, slot, found] = locate(key);
    insert_at(part, slot, key, V(std::forward<U>(value)), found);
    return {iterator_at(part, slot), !found};
  }

  size_type erase(const K& key) {
    const auto [part, slot, found] = locate(key);
    if (!found) return 0;
    erase_at(part, slot);
    return 1;
  }
  // Returns the iterator to the entry after the erased one.
  const_iterator erase(const_iterator position) {
    const std::size_t part = static_cast<std::size_t>(position.part_ - parts_.data());
    const std::size_t slot =
        static_cast<std::size_t>(position.item_ - position.part_->chunk->items());
    const auto [next_part, next_slot] = erase_at(part, slot);
    return iterator_at(next_part, next_slot);
  }
  // Erases every entry `pred` accepts; chunks without such an entry stay shared.
  template <class Pred>
  size_type erase_if(Pred pred) {
    const size_type before = size_;
    for (std::size_t part = 0; part < parts_.size();) {
      const Chunk* chunk = parts_[part].chunk.get();
      const value_type* items = chunk->items();
      std::size_t first = 0;
      while (first < chunk->size && !pred(std::as_const(items[first]))) ++first;
      if (first == chunk->size) {
        ++part;
        continue;
      }
      Chunk* w = writable(part, chunk->size);
      value_type* out = w->items() + first;
      for (std::size_t k = first + 1; k < w->size; ++k) {
        if (!pred(std::as_const(w->items()[k]))) *out++ = std::move(w->items()[k]);
      }
      const std::size_t kept = static_cast<std::size_t>(out - w->items());
      std::destroy(w->items() + kept, w->items() + w->size);
      size_ -= w->size - kept;
      w->size = static_cast<std::uint32_t>(kept);
      part = settle(part, 0).first;
      if (part < parts_.size() && parts_[part].chunk.get() != w) continue;
      ++part;
    }
    return before - size_;
  }
  template <class Pred>
  friend size_type erase_if(PersistentMap& map, Pred pred) {
    return map.erase_if(pred);
  }

  // The entries, chunk by chunk, in key order (for walks that prefetch).
  template <class F>
  void for_each_chunk(F&& f) const {
    for (const Part& part : parts_) {
      f(std::span<const value_type>(part.chunk->items(), part.chunk->size));
    }
  }

  friend bool operator==(const PersistentMap& a, const PersistentMap& b) {
    if (a.size_ != b.size_) return false;
    return std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  // A chunk: a header followed by `capacity` slots, the first `size` built.
  struct alignas(value_type) alignas(16) Chunk {
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;

    value_type* items() { return reinterpret_cast<value_type*>(this + 1); }
    const value_type* items() const { return reinterpret_cast<const value_type*>(this + 1); }

    static Chunk* make(std::size_t capacity) {
      void* raw = ::operator new(sizeof(Chunk) + capacity * sizeof(value_type));
      Chunk* chunk = ::new (raw) Chunk;
      chunk->capacity = static_cast<std::uint32_t>(capacity);
      return chunk;
    }
    static void release(Chunk* chunk) {
      if (chunk->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
      std::destroy(chunk->items(), chunk->items() + chunk->size);
      chunk->~Chunk();
      ::operator delete(static_cast<void*>(chunk));
    }
  };

  class ChunkRef {
   public:
    ChunkRef() = default;
    explicit ChunkRef(Chunk* chunk) : chunk_(chunk) {}
    ChunkRef(const ChunkRef& other) : chunk_(other.chunk_) {
      if (chunk_) chunk_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    ChunkRef(ChunkRef&& other) noexcept : chunk_(std::exchange(other.chunk_, nullptr)) {}
    ChunkRef& operator=(ChunkRef other) noexcept {
      std::swap(chunk_, other.chunk_);
      return *this;
    }
    ~ChunkRef() {
      if (chunk_) Chunk::release(chunk_);
    }
    Chunk* get() const { return chunk_; }
    Chunk* operator->() const { return chunk_; }
    bool unique() const { return chunk_->refs.load(std::memory_order_acquire) == 1; }

   private:
    Chunk* chunk_ = nullptr;
  };

  // One chunk and its first key (searched without touching the chunk).
  struct Part {
    K first;
    ChunkRef chunk;
  };

 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = PersistentMap::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    const_iterator() = default;
    reference operator*() const { return *item_; }
    pointer operator->() const { return item_; }
    const_iterator& operator++() {
      if (++item_ == chunk_end_) {
        if (++part_ == parts_end_) {
          item_ = nullptr;
        } else {
          enter();
        }
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& other) const { return item_ == other.item_; }

   private:
    friend class PersistentMap;
    const_iterator(const Part* part, const Part* parts_end, std::size_t slot)
        : part_(part), parts_end_(parts_end) {
      enter();
      item_ += slot;
    }
    void enter() {
      item_ = part_->chunk->items();
      chunk_end_ = item_ + part_->chunk->size;
    }

    const Part* part_ = nullptr;
    const Part* parts_end_ = nullptr;
    const value_type* item_ = nullptr;
    const value_type* chunk_end_ = nullptr;
  };

 private:
  struct Location {
    std::size_t part;
    std::size_t slot;
    bool found;
  };

  // Where `key` is, or where it would be inserted (part, slot within it).
  Location locate(const K& key) const {
    if (parts_.empty()) return {0, 0, false};
    const Chunk* last = parts_.back().chunk.get();
    if (last->items()[last->size - 1].first < key) {
      return {parts_.size() - 1, last->size, false};  // appending in key order
    }
    auto after = std::upper_bound(parts_.begin(), parts_.end(), key,
                                  [](const K& k, const Part& p) { return k < p.first; });
    const std::size_t part =
        after == parts_.begin() ? 0 : static_cast<std::size_t>(after - parts_.begin()) - 1;
    const Chunk* chunk = parts_[part].chunk.get();
    const value_type* items = chunk->items();
    const value_type* at =
        std::lower_bound(items, items + chunk->size, key,
                         [](const value_type& v, const K& k) { return v.first < k; });
    const auto slot = static_cast<std::size_t>(at - items);
    return {part, slot, slot < chunk->size && at->first == key};
  }

  const_iterator iterator_at(std::size_t part, std::size_t slot) const {
    if (part < parts_.size() && slot == parts_[part].chunk->size) {
      ++part;
      slot = 0;
    }
    if (part >= parts_.size()) return end();
    return const_iterator(parts_.data() + part, parts_.data() + parts_.size(), slot);
  }

  // The chunk of `part`, owned by this map alone and with room for
  // `capacity` slots: the same chunk when it already is, else a copy.
  Chunk* writable(std::size_t part, std::size_t capacity) {
    ChunkRef& ref = parts_[part].chunk;
    const bool unique = ref.unique();
    if (unique && ref->capacity >= capacity) return ref.get();
    const std::size_t grown =
        unique ? std::max(capacity, std::size_t{ref->capacity} * 2) : capacity;
    Chunk* fresh = Chunk::make(std::min(grown, kMaxChunk));
    if (unique) {
      std::uninitialized_move(ref->items(), ref->items() + ref->size, fresh->items());
    } else {
      std::uninitialized_copy(ref->items(), ref->items() + ref->size, fresh->items());
    }
    fresh->size = ref->size;
    ref = ChunkRef(fresh);
    return fresh;
  }

  // Puts the entry at (part, slot): replaces it when `found`, else inserts.
  // On return (part, slot) names the entry.
  void insert_at(std::size_t& part, std::size_t& slot, const K& key, V value, bool found) {
    if (parts_.empty()) {
      Chunk* chunk = Chunk::make(4);
      ::new (chunk->items()) value_type(key, std::move(value));
      chunk->size = 1;
      parts_.push_back(Part{key, ChunkRef(chunk)});
      size_ = 1;
      part = slot = 0;
      return;
    }
    if (found) {
      Chunk* chunk = writable(part, parts_[part].chunk->size);
      chunk->items()[slot].second = std::move(value);
      return;
    }
    const Chunk* current = parts_[part].chunk.get();
    if (current->size == kMaxChunk) {
      if (part + 1 == parts_.size() && slot == current->size) {
        // Appending past a full last chunk: start a new one, so that a map
        // built in key order has full chunks.
        Chunk* chunk = Chunk::make(8);
        ::new (chunk->items()) value_type(key, std::move(value));
        chunk->size = 1;
        parts_.push_back(Part{key, ChunkRef(chunk)});
        ++size_;
        ++part;
        slot = 0;
        return;
      }
      split(part);
      const std::size_t left = parts_[part].chunk->size;
      if (slot > left) {
        ++part;
        slot -= left;
      }
    }
    Chunk* chunk = writable(part, parts_[part].chunk->size + 1);
    value_type* items = chunk->items();
    if (slot == chunk->size) {
      ::new (items + slot) value_type(key, std::move(value));
    } else {
      ::new (items + chunk->size) value_type(std::move(items[chunk->size - 1]));
      std::move_backward(items + slot, items + chunk->size - 1, items + chunk->size);
      items[slot] = value_type(key, std::move(value));
    }
    ++chunk->size;
    ++size_;
    if (slot == 0) parts_[part].first = key;
  }

  // Splits the full chunk of `part` into two halves.
  void split(std::size_t part) {
    const ChunkRef old = parts_[part].chunk;
    const std::size_t half = old->size / 2;
    Chunk* left = Chunk::make(kMaxChunk);
    Chunk* right = Chunk::make(kMaxChunk);
    std::uninitialized_copy(old->items(), old->items() + half, left->items());
    left->size = static_cast<std::uint32_t>(half);
    std::uninitialized_copy(old->items() + half, old->items() + old->size, right->items());
    right->size = old->size - static_cast<std::uint32_t>(half);
    parts_[part].chunk = ChunkRef(left);
    parts_.insert(parts_.begin() + static_cast<std::ptrdiff_t>(part) + 1,
                  Part{right->items()[0].first, ChunkRef(right)});
  }

  // Erases the entry at (part, slot); returns the position of the next entry.
  std::pair<std::size_t, std::size_t> erase_at(std::size_t part, std::size_t slot) {
    Chunk* chunk = writable(part, parts_[part].chunk->size);
    value_type* items = chunk->items();
    std::move(items + slot + 1, items + chunk->size, items + slot);
    std::destroy_at(items + chunk->size - 1);
    --chunk->size;
    --size_;
    return settle(part, slot);
  }

  // After entries left the chunk of `part`: drops it when empty, merges it
  // with a neighbour when both are small, and renews its first key. Returns
  // where the entry that was at (part, slot) now is.
  std::pair<std::size_t, std::size_t> settle(std::size_t part, std::size_t slot) {
    const Chunk* chunk = parts_[part].chunk.get();
    if (chunk->size == 0) {
      parts_.erase(parts_.begin() + static_cast<std::ptrdiff_t>(part));
      return {part, 0};
    }
    parts_[part].first = chunk->items()[0].first;
    if (chunk->size < kMaxChunk / 4) {
      if (part + 1 < parts_.size() && chunk->size + parts_[part + 1].chunk->size <= kMaxChunk / 2) {
        merge_with_next(part);
      } else if (part > 0 && parts_[part - 1].chunk->size + chunk->size <= kMaxChunk / 2) {
        slot += parts_[part - 1].chunk->size;
        --part;
        merge_with_next(part);
      }
    }
    if (slot == parts_[part].chunk->size) return {part + 1, 0};
    return {part, slot};
  }

  void merge_with_next(std::size_t part) {
    const Chunk* a = parts_[part].chunk.get();
    const Chunk* b = parts_[part + 1].chunk.get();
    Chunk* merged = Chunk::make(std::min(kMaxChunk, std::size_t{a->size + b->size} * 2));
    std::uninitialized_copy(a->items(), a->items() + a->size, merged->items());
    std::uninitialized_copy(b->items(), b->items() + b->size, merged->items() + a->size);
    merged->size = a->size + b->size;
    parts_[part].chunk = ChunkRef(merged);
    parts_.erase(parts_.begin() + static_cast<std::ptrdiff_t>(part) + 1);
  }

  std::vector<Part> parts_;
  size_type size_ = 0;
};

}  // namespace kelvora
