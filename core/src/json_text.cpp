#include "kelvora/json_text.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/utf8.hpp"

namespace kelvora::exchange {
namespace {

// Walks the text once without recursion: finds the first container opened
// beyond the nesting limit, the number tokens spelled "-0", which the tree
// must hold as a negative-zero float, and the first NUL byte outside a
// string, which the parser would take for the end of the text.
struct TextScan {
  std::optional<std::size_t> too_deep_at;  // byte offset of the bracket
  std::vector<std::size_t> minus_zero;     // ordinals among number tokens
  std::optional<std::size_t> nul_at;       // byte offset of the NUL
};

TextScan scan_text(std::string_view text) {
  TextScan scan;
  std::size_t depth = 0;
  std::size_t numbers = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '\0') {
      if (!scan.nul_at) scan.nul_at = i;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) {
        scan.too_deep_at = i;
        return scan;
      }
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t end = i + 1;
      while (end < text.size() &&
             std::string_view("0123456789+-.eE").find(text[end]) != std::string_view::npos) {
        ++end;
      }
      if (text.substr(i, end - i) == "-0") scan.minus_zero.push_back(numbers);
      ++numbers;
      i = end - 1;
    }
  }
  return scan;
}

// Line and column (both from 1, the column in bytes) of the byte at `offset`.
std::pair<std::size_t, std::size_t> line_and_column(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, offset - line_start + 1};
}

std::string at_position(std::string_view text, std::size_t offset) {
  const auto [line, column] = line_and_column(text, offset);
  return " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Replaces ill-formed UTF-8 (for example the first byte of a character that
// the parser stopped at) so that the message is always valid text.
std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const utf8::Decoded d = utf8::decode(text, i);
    utf8::append(out, d.code_point);  // U+FFFD for an ill-formed sequence
    i += d.length;
  }
  return out;
}

// Builds the tree from parser events. Refuses a container beyond the nesting
// limit and turns the "-0" integers found by the scan into negative zero.
class TreeBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  TreeBuilder(Json& root, const std::vector<std::size_t>& minus_zero)
      : root_(root), minus_zero_(minus_zero) {}

  bool null() { return put(Json(nullptr)); }
  bool boolean(bool v) { return put(Json(v)); }
  bool number_integer(number_integer_t v) {
    if (next_number_is_minus_zero()) return put(Json(-0.0));
    return put(Json(v));
  }
  bool number_unsigned(number_unsigned_t v) {
    next_number_is_minus_zero();
    return put(Json(v));
  }
  bool number_float(number_float_t v, const string_t& /*text*/) {
    next_number_is_minus_zero();
    return put(Json(v));
  }
  bool string(string_t& v) { return put(Json(std::move(v))); }
  bool binary(binary_t& /*v*/) { return false; }  // not produced by the text parser

  bool start_object(std::size_t /*size*/) { return open(Json::object()); }
  bool key(string_t& k) {
    auto* members = stack_.back()->get_ptr<Json::object_t*>();
    // A repeated key keeps the later value.
    slot_ = &(*members)[std::move(k)];
    *slot_ = Json();
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*size*/) { return open(Json::array()); }
  bool end_array() {
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t position, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& error) {
    error_ = error.what();
    error_position_ = position;
    failed_ = true;
    return false;
  }

  bool too_deep() const { return too_deep_; }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  std::size_t error_position() const { return error_position_; }

 private:
  bool next_number_is_minus_zero() {
    const std::size_t ordinal = numbers_++;
    if (next_minus_zero_ < minus_zero_.size() && minus_zero_[next_minus_zero_] == ordinal) {
      ++next_minus_zero_;
      return true;
    }
    return false;
  }

  // Places a value where the parser is: the root, the next array element or
  // the slot of the last key. Returns the stored value.
  Json* place(Json&& value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    if (auto* items = stack_.back()->get_ptr<Json::array_t*>()) {
      items->push_back(std::move(value));
      return &items->back();
    }
    *slot_ = std::move(value);
    return slot_;
  }

  bool put(Json&& value) {
    place(std::move(value));
    return true;
  }

  bool open(Json&& container) {
    if (stack_.size() >= kMaxNesting) {
      too_deep_ = true;
      return false;
    }
    stack_.push_back(place(std::move(container)));
    return true;
  }

  Json& root_;
  const std::vector<std::size_t>& minus_zero_;
  std::vector<Json*> stack_;
  Json* slot_ = nullptr;
  std::size_t numbers_ = 0;
  std::size_t next_minus_zero_ = 0;
  bool too_deep_ = false;
  bool failed_ = false;
  std::string error_;
  std::size_t error_position_ = 0;
};

// "[json.exception.parse_error.101] parse error at line 1, column 2: ..." loses
// its library tag; messages without a position get one.
std::string parser_message(std::string_view text, std::string_view what, std::size_t byte) {
  if (!what.empty() && what.front() == '[') {
    const auto close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  // The quoted token the parser shows can be a whole megabyte-long string or
  // number; its end, where the parser stopped, is what helps.
  std::string shortened;
  const auto open = what.find('\'');
  const auto close = what.rfind('\'');
  constexpr std::size_t kTokenTail = 40;
  if (open != std::string_view::npos && close > open + 1 + kTokenTail) {
    std::size_t cut = close - kTokenTail;
    while (cut < close && (static_cast<unsigned char>(what[cut]) & 0xC0) == 0x80) ++cut;
    shortened.append(what.substr(0, open + 1)).append("...").append(what.substr(cut));
    what = shortened;
  }
  std::string message = valid_utf8(what);
  if (!message.starts_with("parse error at line")) {
    // `byte` counts the characters read, so the last one read is at byte - 1.
    message += at_position(text, byte == 0 ? 0 : byte - 1);
  }
  return message;
}

void print(std::string& out, const Json& value, std::size_t indent) {
  switch (value.type()) {
    case Json::value_t::object: {
      const auto& members = *value.get_ptr<const Json::object_t*>();
      if (members.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      for (const auto& [key, item] : members) {
        out += first ? "\n" : ",\n";
        first = false;
        out.append(indent + 2, ' ');
        serialization::write_string(out, key);
        out += ": ";
        print(out, item, indent + 2);
      }
      out += '\n';
      out.append(indent, ' ');
      out += '}';
      return;
    }
    case Json::value_t::array: {
      const auto& items = *value.get_ptr<const Json::array_t*>();
      if (items.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      bool first = true;
      for (const auto& item : items) {
        out += first ? "\n" : ",\n";
        first = false;
        out.append(indent + 2, ' ');
        print(out, item, indent + 2);
      }
      out += '\n';
      out.append(indent, ' ');
      out += ']';
      return;
    }
    case Json::value_t::string:
      serialization::write_string(out, *value.get_ptr<const std::string*>());
      return;
    case Json::value_t::boolean:
      out += *value.get_ptr<const bool*>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      out += std::to_string(*value.get_ptr<const Json::number_integer_t*>());
      return;
    case Json::value_t::number_unsigned:
      out += std::to_string(*value.get_ptr<const Json::number_unsigned_t*>());
      return;
    case Json::value_t::number_float:
      serialization::write_f64(out, *value.get_ptr<const Json::number_float_t*>());
      return;
    case Json::value_t::null:
    case Json::value_t::binary:  // never built by the writers or the parser
    case Json::value_t::discarded:
      out += "null";
      return;
  }
  out += "null";
}

}  // namespace

void empty_tree(Json& value) noexcept {
  if (auto* items = value.get_ptr<Json::array_t*>()) {
    for (Json& item : *items) empty_tree(item);
    items->clear();
  } else if (auto* members = value.get_ptr<Json::object_t*>()) {
    for (auto& member : *members) empty_tree(member.second);
    members->clear();
  }
}

std::expected<Json, std::string> parse_json(std::string_view text) {
  constexpr std::string_view kPrefix = "invalid JSON: ";
  if (text.starts_with("\xEF\xBB\xBF")) {
    return std::unexpected(std::string(kPrefix) +
                           "parse error at line 1, column 1: byte order mark is not allowed");
  }
  const TextScan scan = scan_text(text);
  // The parser takes a NUL for the end of the text. Outside a string it must
  // be refused where it stands like any byte that starts no token, so the
  // parser reads a copy with U+0001 in its place and the message names the
  // NUL. (Inside a string the parser refuses it as a control character.)
  std::string copy;
  std::string_view input = text;
  if (scan.nul_at) {
    copy.assign(text);
    copy[*scan.nul_at] = '\x01';
    input = copy;
  }
  JsonTree root;  // a partial tree, too, goes without allocating
  TreeBuilder builder(root.get(), scan.minus_zero);
  try {
    const bool ok = Json::sax_parse(input, &builder, Json::input_format_t::json,
                                    /*strict=*/true, /*ignore_comments=*/false);
    if (ok && !builder.failed() && !builder.too_deep()) return root.take();
  } catch (const Json::exception& e) {
    return std::unexpected(std::string(kPrefix) + parser_message(text, e.what(), text.size()));
  }
  if (builder.failed()) {
    std::string error = builder.error();
    // The parser stopped at the stand-in: it is the last character it read.
    if (scan.nul_at && builder.error_position() == *scan.nul_at + 1) {
      constexpr std::string_view kStandIn = "<U+0001>";
      if (const auto at = error.rfind(kStandIn); at != std::string::npos) {
        error.replace(at, kStandIn.size(), "<U+0000>");
      }
    }
    return std::unexpected(std::string(kPrefix) +
                           parser_message(text, error, builder.error_position()));
  }
  // The builder stops at the container that the scan located.
  const std::size_t offset = scan.too_deep_at.value_or(text.size());
  return std::unexpected(std::string(kPrefix) + "parse error" + at_position(text, offset) +
                         ": nesting deeper than " + std::to_string(kMaxNesting) + " levels");
}

std::string to_pretty_text(const Json& value) {
  std::string out;
  print(out, value, 0);
  return out;
}

}  // namespace kelvora::exchange
