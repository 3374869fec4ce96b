// Source analytics: who drove a history, and how long concepts the engine
// added or enriched waited for the user's explicit confirmation.
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "kelvora/analysis.hpp"
#include "kelvora/id_index.hpp"
#include "lookahead_walk.hpp"

namespace kelvora::analysis {

namespace {

constexpr std::size_t kSourceCount = 4;
constexpr std::uint64_t kNotPending = std::numeric_limits<std::uint64_t>::max();

// What the walk knows of one touched concept.
struct Touched {
  bool user_confirmed = false;
  // Index of the latest SystemEnrichment record touching it that no
  // UserExplicit record has confirmed yet.
  std::uint64_t pending_since = kNotPending;
};

}  // namespace

SourceReport source_analytics(std::span<const EvolutionRecord> records) {
  SourceReport report;
  std::array<std::size_t, kSourceCount> source_counts{};
  // Most records touch one concept: room for that many without growing.
  IdIndex<ConceptId> number(records.size());
  std::vector<Touched> touched;
  std::size_t user_count = 0;

  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i + kWalkNear < records.size()) {
      for_each_touched(records[i + kWalkNear].operation,
                       [&](const ConceptId& id) { number.prefetch(id); });
    }
    const EvolutionRecord& record = records[i];
    ++source_counts[static_cast<std::size_t>(record.source)];
    if (std::holds_alternative<op::Reinforce>(record.operation)) ++report.reinforce_count;
    // Each touch counts, a concept touched twice in one record included.
    for_each_touched(record.operation, [&](const ConceptId& id) {
      const auto [k, added] = number.insert(id);
      if (added) touched.emplace_back();
      Touched& t = touched[k];
      if (record.source == OperationSource::SystemEnrichment) {
        t.pending_since = i;
      } else if (record.source == OperationSource::UserExplicit) {
        if (!t.user_confirmed) ++user_count;
        t.user_confirmed = true;
        if (t.pending_since != kNotPending) {
          report.confirmation_latency.emplace_back(id,
                                                   static_cast<std::uint32_t>(i - t.pending_since));
          t.pending_since = kNotPending;
        }
      }
    });
  }

  if (!touched.empty()) {
    report.user_verified_ratio =
        static_cast<double>(user_count) / static_cast<double>(touched.size());
  }
  report.override_count = report.confirmation_latency.size();
  for (std::size_t s = 0; s < kSourceCount; ++s) {
    if (source_counts[s] != 0) {
      report.source_distribution.emplace_back(static_cast<OperationSource>(s), source_counts[s]);
    }
  }
  return report;
}

}  // namespace kelvora::analysis
