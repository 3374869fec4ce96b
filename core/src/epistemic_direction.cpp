// The epistemic direction of a record list and its trend over windows.
#include <array>

#include "kelvora/analysis.hpp"

namespace kelvora::analysis {

namespace {

using Counts = std::array<std::size_t, 3>;  // by Bucket

Counts count_buckets(std::span<const EvolutionRecord> records) {
  Counts counts{};
  for (const EvolutionRecord& record : records) {
    ++counts[static_cast<std::size_t>(bucket_of(record.operation))];
  }
  return counts;
}

Direction direction_of_counts(const Counts& c) { return direction_of(c[0], c[1], c[2]); }

}  // namespace

std::string_view name(Direction direction) {
  static constexpr std::string_view kNames[] = {"Broadening", "Deepening", "Restructuring"};
  return kNames[static_cast<std::size_t>(direction)];
}

Bucket bucket_of(const EvolutionOperation& operation) {
  static constexpr Bucket kBuckets[] = {
      Bucket::Assert,  // Assert
      Bucket::Revise,  // Revise
      Bucket::Revise,  // Retract
      Bucket::Deepen,  // Relate
      Bucket::Deepen,  // Restructure
      Bucket::Deepen,  // Refine
      Bucket::Revise,  // Merge
      Bucket::Deepen,  // Reinforce
      Bucket::Revise,  // Split
  };
  static_assert(std::size(kBuckets) == std::variant_size_v<EvolutionOperation>);
  return kBuckets[operation.index()];
}

Direction direction_of(std::size_t asserts, std::size_t deepens, std::size_t revises) {
  if (asserts >= deepens && asserts >= revises) return Direction::Broadening;
  if (deepens >= revises) return Direction::Deepening;
  return Direction::Restructuring;
}

DirectionReport epistemic_direction(std::span<const EvolutionRecord> records,
                                    std::size_t window_size) {
  DirectionReport report;
  const std::size_t n = records.size();
  if (n == 0) return report;

  const Counts counts = count_buckets(records);
  const auto total = static_cast<double>(n);
  report.assert_ratio = static_cast<double>(counts[0]) / total;
  report.refine_ratio = static_cast<double>(counts[1]) / total;
  report.revise_ratio = static_cast<double>(counts[2]) / total;
  report.direction = direction_of_counts(counts);

  const std::size_t width = window_size >= 1 && window_size <= n ? window_size : n;
  report.trend.reserve(n / width);
  for (std::size_t start = 0; n - start >= width; start += width) {
    report.trend.emplace_back(start,
                              direction_of_counts(count_buckets(records.subspan(start, width))));
  }
  return report;
}

}  // namespace kelvora::analysis
