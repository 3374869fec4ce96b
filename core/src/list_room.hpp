// Making room in a list before anything is written to it, so that an
// addition either fails whole or cannot fail: the provenance graph and its
// identifier table grow this way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>

namespace kelvora::provenance {

// Numbers are 32-bit with 0xFFFFFFFF kept free: a list numbered from 0
// holds at most 0xFFFFFFFF entries.
inline void check_room(std::size_t size, std::size_t extra) {
  if (extra > 0xFFFFFFFFu || size > 0xFFFFFFFFu - extra) throw std::bad_alloc();
}

// Room for `extra` more entries. Capacity still doubles, so a run of single
// additions stays amortised constant time; reserving before anything is
// written lets an addition fail without leaving half of itself behind.
template <class List>
[[gnu::noinline]] void grow_to(List& list, std::size_t need) {
  list.reserve(std::max(need, std::min(list.capacity() * 2, list.max_size())));
}

template <class List>
inline void reserve_more(List& list, std::size_t extra) {
  if (list.capacity() - list.size() < extra) grow_to(list, list.size() + extra);
}

}  // namespace kelvora::provenance
