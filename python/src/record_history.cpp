#include "record_history.hpp"

#include <algorithm>
#include <utility>

namespace kelvora::py {

struct RecordHistory::Storage {
  // The first base() records; empty for a segment of its own.
  RecordHistory parent;
  // Records base(), base() + 1, ...
  std::vector<EvolutionRecord> records;
  // live_views[i]: how many histories (and segments on top) end after records[i].
  std::vector<std::size_t> live_views;
  std::size_t pins = 0;
  // Record vectors replaced while pinned, kept until the last pin goes.
  std::vector<std::vector<EvolutionRecord>> retired;
  // Over records 0 to end(); filled only once base() is 0.
  MerkleLevels merkle;

  Storage() = default;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage();

  std::size_t base() const { return parent.size_; }
  std::size_t end() const { return base() + records.size(); }
  // Makes this a segment of its own, holding every record it shows.
  void join();
};

RecordHistory::Storage::~Storage() {
  // A long chain of branches is released one segment at a time, not by a
  // recursion as deep as the chain.
  RecordHistory next = std::move(parent);
  while (next.storage_ && next.storage_.use_count() == 1) {
    // Its segment goes with it: no count to give back (and once the parent
    // is moved out, the segment's base no longer locates it).
    next.size_ = 0;
    RecordHistory up = std::move(next.storage_->parent);
    next = std::move(up);
  }
}

void RecordHistory::Storage::join() {
  // The segments below this one, nearest first, each with the history that
  // ends where this one's records stop using it.
  std::vector<const RecordHistory*> below;
  for (const RecordHistory* h = &parent; h->storage_; h = &h->storage_->parent) below.push_back(h);

  // Everything that can fail comes first, so that a failure changes nothing.
  std::vector<EvolutionRecord> joined;
  joined.reserve(end());
  for (auto it = below.rbegin(); it != below.rend(); ++it) {
    const Storage& segment = *(*it)->storage_;
    const auto used = static_cast<std::ptrdiff_t>((*it)->size_ - segment.base());
    joined.insert(joined.end(), segment.records.begin(), segment.records.begin() + used);
  }
  // Pinned records must stay where they are: copy them and keep the old ones.
  if (pins > 0) {
    joined.insert(joined.end(), records.begin(), records.end());
    retired.reserve(retired.size() + 1);
  } else {
    for (EvolutionRecord& record : records) joined.push_back(std::move_if_noexcept(record));
  }
  std::vector<std::size_t> views(base(), 0);
  views.insert(views.end(), live_views.begin(), live_views.end());
  MerkleLevels levels = below.back()->storage_->merkle.prefix(below.back()->size_);

  if (pins > 0) retired.push_back(std::move(records));
  records = std::move(joined);
  live_views = std::move(views);
  merkle = std::move(levels);
  const RecordHistory released = std::move(parent);
}

// ------------------------------------------------------------ history

RecordHistory::RecordHistory(std::vector<EvolutionRecord> records) {
  if (records.empty()) return;
  auto storage = std::make_shared<Storage>();
  storage->live_views.assign(records.size(), 0);
  storage->records = std::move(records);
  size_ = storage->records.size();
  storage_ = std::move(storage);
  attach();
}

RecordHistory::RecordHistory(const RecordHistory& other)
    : storage_(other.storage_), size_(other.size_) {
  attach();
}

RecordHistory::RecordHistory(RecordHistory&& other) noexcept
    : storage_(std::move(other.storage_)), size_(std::exchange(other.size_, 0)) {}

RecordHistory& RecordHistory::operator=(RecordHistory other) noexcept {
  detach();
  storage_ = std::move(other.storage_);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

RecordHistory::~RecordHistory() { detach(); }

void RecordHistory::attach() noexcept {
  if (storage_ && size_ > 0) ++storage_->live_views[size_ - storage_->base() - 1];
}

void RecordHistory::detach() noexcept {
  if (storage_ && size_ > 0) --storage_->live_views[size_ - storage_->base() - 1];
}

bool RecordHistory::tail_is_seen() const {
  // From the far end: the longest history is usually the one still alive.
  const std::size_t own = size_ - storage_->base();
  for (std::size_t i = storage_->records.size(); i > own; --i) {
    if (storage_->live_views[i - 1] != 0) return true;
  }
  return false;
}

std::span<const EvolutionRecord> RecordHistory::view() const {
  if (size_ == 0) return {};
  if (storage_->base() != 0) storage_->join();
  return {storage_->records.data(), size_};
}

const EvolutionRecord* RecordHistory::last() const {
  return size_ == 0 ? nullptr : &storage_->records[size_ - storage_->base() - 1];
}

RecordHistory RecordHistory::prefix(std::size_t count) const {
  RecordHistory out;
  count = std::min(count, size_);
  if (count == 0) return out;
  const RecordHistory* holder = this;
  while (count <= holder->storage_->base()) holder = &holder->storage_->parent;
  out.storage_ = holder->storage_;
  out.size_ = count;
  out.attach();
  return out;
}

RecordHistory RecordHistory::appended(EvolutionRecord record) const {
  std::shared_ptr<Storage> target = storage_;
  if (target && target->end() > size_ && !tail_is_seen()) {
    // Records past our end that no live history reaches: drop them. Erasing
    // at the end moves nothing, so pinned records stay where they are.
    const auto own = static_cast<std::ptrdiff_t>(size_ - target->base());
    target->records.erase(target->records.begin() + own, target->records.end());
    target->live_views.erase(target->live_views.begin() + own, target->live_views.end());
    target->merkle.truncate(size_);
  }
  const bool at_end = target && target->end() == size_;
  const bool may_move =
      target && (target->pins == 0 || target->records.size() < target->records.capacity());
  if (!target) {
    target = std::make_shared<Storage>();
  } else if (!at_end || !may_move) {
    // Another live history sees records past our end, or ours are pinned:
    // a new segment on top of this history.
    auto segment = std::make_shared<Storage>();
    segment->parent = *this;
    target = std::move(segment);
  }
  std::vector<std::size_t>& views = target->live_views;
  if (views.size() == views.capacity()) views.reserve(std::max<std::size_t>(8, 2 * views.size()));
  target->records.push_back(std::move(record));
  views.push_back(0);  // cannot throw: room was made above
  RecordHistory out;
  out.storage_ = std::move(target);
  out.size_ = size_ + 1;
  out.attach();
  return out;
}

// ------------------------------------------------------------ Merkle tree

Hash RecordHistory::merkle_root() const {
  const auto records = view();
  if (records.empty()) return Hash::zero();
  return storage_->merkle.root(records);
}

std::optional<MerkleProof> RecordHistory::merkle_proof(std::uint64_t index) const {
  const auto records = view();
  if (records.empty()) return std::nullopt;
  return storage_->merkle.proof(records, index);
}

std::size_t RecordHistory::merkle_node_count() const {
  return storage_ ? storage_->merkle.node_count() : 0;
}

// ------------------------------------------------------------ pins

RecordPin::RecordPin(const RecordHistory& history) : history_(history) {
  if (history_.storage_) ++history_.storage_->pins;
}

RecordPin::~RecordPin() {
  if (history_.storage_ && --history_.storage_->pins == 0) history_.storage_->retired.clear();
}

}  // namespace kelvora::py
