// The text forms of a float: the JSON form of hashed texts and documents,
// the display form of messages, and the reading of a JSON number text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora::serialization {

// Room for the JSON form of any finite float (it takes at most 24 bytes).
inline constexpr std::size_t kF64JsonTextSize = 32;

// Writes the JSON form of `value` (finite) at `out`, which has room for
// kF64JsonTextSize bytes, and returns its length.
std::size_t put_f64_json(char* out, double value);

// The float text of JSON: shortest round trip, ".0" on whole numbers, exponent
// form outside decimal exponents -5..15 (1e+16, 1.5e-7). Finite values only.
std::string format_f64(double value);
// The float form of messages: shortest round trip, never exponent, no ".0"
// on whole numbers; NaN, inf, -inf.
std::string format_f64_display(double value);

// Reads a JSON number text the way the document readers do.
std::optional<double> parse_f64(std::string_view text);

}  // namespace kelvora::serialization
