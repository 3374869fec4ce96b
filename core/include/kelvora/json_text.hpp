// JSON text: the parser of document texts with its messages, and the
// printer of value trees with two-space indentation.
#pragma once

#include <cstddef>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

namespace kelvora::exchange {

// Objects are std::map: members come out sorted by bytes.
using Json = nlohmann::json;

// Containers may nest at most this deep; a deeper document is refused before
// any tree is built for it, so neither the tree nor its printer runs deep.
inline constexpr std::size_t kMaxNesting = 127;

// Empties `value` from the leaves up, as deep as it nests (a parsed tree at
// most kMaxNesting). The destruction of a tree sets its elements aside in a
// list that it allocates, which under memory pressure would end the process;
// an emptied tree allocates nothing.
void empty_tree(Json& value) noexcept;

// A tree that is emptied before it goes, for a tree held where memory may
// run out.
class JsonTree {
 public:
  JsonTree() = default;
  explicit JsonTree(Json&& value) noexcept : value_(std::move(value)) {}
  JsonTree(JsonTree&& other) noexcept : value_(std::move(other.value_)) {}
  JsonTree& operator=(JsonTree&&) = delete;
  ~JsonTree() { empty_tree(value_); }

  Json& get() { return value_; }
  const Json& operator*() const { return value_; }
  // Hands the tree over; this one is left empty.
  Json take() { return std::move(value_); }

 private:
  Json value_;
};

// Parses JSON text into a tree. On failure the error is the whole message,
// "invalid JSON: " and a description naming line and column. Never throws
// for any input. A leading byte order mark is refused, so is a NUL byte
// anywhere outside a string (not the end of the text), and "-0" reads as a
// float (negative zero), not as an integer.
std::expected<Json, std::string> parse_json(std::string_view text);

// Two spaces per level, one member or element per line, ": " after keys,
// "{}" and "[]" when empty, members in byte order, the system's float text
// (non-finite as null), no trailing newline.
std::string to_pretty_text(const Json& value);

}  // namespace kelvora::exchange
