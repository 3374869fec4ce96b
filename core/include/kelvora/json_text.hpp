// JSON text: the parser of document texts with its messages, and the
// printer of value trees with two-space indentation.
#pragma once

#include <cstddef>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kelvora::exchange {

// Objects are std::map: members come out sorted by bytes.
using Json = nlohmann::json;

// Containers may nest at most this deep; a deeper document is refused before
// any tree is built for it, so neither the tree nor its printer runs deep.
inline constexpr std::size_t kMaxNesting = 127;

// A parsed tree. Its destruction first empties it from the leaves up: the
// destruction of a tree sets its elements aside in a list that it allocates,
// which under memory pressure would end the process, while an emptied tree
// allocates nothing. A parsed tree nests at most kMaxNesting deep, and so
// does the emptying.
class JsonTree : public Json {
 public:
  JsonTree() = default;
  JsonTree(JsonTree&&) noexcept = default;
  JsonTree& operator=(JsonTree&&) noexcept = default;
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;
  ~JsonTree();
};

// Parses JSON text into a tree. On failure the error is the whole message,
// "invalid JSON: " and a description naming line and column. Never throws
// for any input. A leading byte order mark is refused, so is a NUL byte
// anywhere outside a string (not the end of the text), and "-0" reads as a
// float (negative zero), not as an integer.
std::expected<JsonTree, std::string> parse_json(std::string_view text);

// Two spaces per level, one member or element per line, ": " after keys,
// "{}" and "[]" when empty, members in byte order, the system's float text
// (non-finite as null), no trailing newline.
std::string to_pretty_text(const Json& value);

}  // namespace kelvora::exchange
