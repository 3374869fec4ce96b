// The text forms of a time stamp: RFC 3339 output (ending in Z in hashed
// texts, in +00:00 in documents and dicts) and the two RFC 3339 parsers, the
// strict one of documents and the relaxed one of callers' own time stamps.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "kelvora/types.hpp"

namespace kelvora::serialization {

// Room for the text of any time stamp.
inline constexpr std::size_t kTimestampTextSize = 48;

// Writes the text of `ts` at `out`, which has room for kTimestampTextSize
// bytes, ending in "Z" when `zulu`, else in "+00:00"; returns its length.
std::size_t put_timestamp(char* out, Timestamp ts, bool zulu);

// ISO 8601 ending in Z, fraction in 0/3/6/9 digits (hashed JSON).
std::string format_timestamp_z(Timestamp ts);
// RFC 3339 with offset +00:00, same fraction rule (documents, dicts, PROV-JSON).
std::string format_timestamp_rfc3339(Timestamp ts);
// Strict RFC 3339 with any offset, converted to UTC: "T", "t" or a space
// between date and time, "Z" or "z" or +hh:mm / -hh:mm / U+2212 hh:mm up to
// 23:59; 4-digit year; any number of fraction digits, the first 9 kept;
// second 60 read as a leap second (see Timestamp).
std::optional<Timestamp> parse_rfc3339(std::string_view text);
// The relaxed RFC 3339 form accepted for callers' own time stamps: as above,
// plus white space before every number and around the separators, 1- or
// 2-digit fields, a signed year of any length, "UTC" (any case) as an offset,
// +hhmm / "+hh mm" offsets up to 99:59, and trailing white space.
std::optional<Timestamp> parse_rfc3339_relaxed(std::string_view text);
// Both refuse an instant that falls, in UTC, outside the years 0000 to 9999:
// the writers would give it a signed year that no reader takes back.
// The same two parses with the reason on failure: "input is out of range"
// (a field, the offset or the instant), "input contains invalid characters",
// "premature end of input", "trailing input".
std::expected<Timestamp, std::string> parse_rfc3339_checked(std::string_view text);
std::expected<Timestamp, std::string> parse_rfc3339_relaxed_checked(std::string_view text);

}  // namespace kelvora::serialization
