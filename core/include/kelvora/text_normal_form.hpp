// The text normal forms the engine compares by: a term's normal form and the
// full lower case of a text. Both depend on the text alone.
#pragma once

#include <string>
#include <string_view>

namespace kelvora::text {

// White_Space trimmed at both ends, NFC, full lower case (final sigma).
std::string normalize_term(std::string_view term);

// The full Unicode lower-case mapping of the whole text (root locale, so a
// final sigma becomes ς). Bytes that are not UTF-8 become U+FFFD, one for
// each maximal ill-formed subpart.
std::string lower_case(std::string_view text);

}  // namespace kelvora::text
