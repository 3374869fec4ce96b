// The debug form of a term, as messages quote it.
#pragma once

#include <string>
#include <string_view>

namespace kelvora::exchange {

// A term in double quotes with \" \\ \n \r \t \0 and \u{hex} escapes for
// other non-printable characters and combining marks, as the duplicate-term
// finding shows it.
std::string debug_quoted(std::string_view text);

}  // namespace kelvora::exchange
