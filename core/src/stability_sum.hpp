// A concept's volatility and the exact sum of (1 - volatility) over a set of
// concepts, shared by the coherence report and the convergence trajectory so
// that one state gets one score from both.
#pragma once

#include <cstdint>

namespace kelvora::analysis {

// The share of a concept's stability steps that were revisions.
inline double volatility(std::uint64_t revises, std::uint64_t steps) {
  return steps == 0 ? 0.0 : static_cast<double>(revises) / static_cast<double>(steps);
}

// Every (1 - volatility) is a multiple of 2^-53 in [0, 1]: for a volatility
// v = r / t below one half, 1 - v rounds onto the 2^-53 grid of [1/2, 1];
// from one half up the subtraction is exact and v already lies on that grid.
// So the sum is kept as an integer count of 2^-53 units: exact, the same
// whatever the order in which concepts are added or removed, and rounded
// once when read.
__extension__ using StabilityUnits = unsigned __int128;
inline constexpr double kStabilityUnit = 0x1p-53;

inline StabilityUnits stability_units(double volatility) {
  return static_cast<StabilityUnits>((1.0 - volatility) / kStabilityUnit);
}

inline StabilityUnits stability_units(std::uint64_t revises, std::uint64_t steps) {
  return stability_units(volatility(revises, steps));
}

// The sum, rounded to the nearest double.
inline double stability_total(StabilityUnits units) {
  return static_cast<double>(units) * kStabilityUnit;
}

}  // namespace kelvora::analysis
