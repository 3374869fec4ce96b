#include "kelvora/debug_text.hpp"

#include <unicode/uchar.h>

#include <charconv>
#include <cstdint>

#include "kelvora/utf8.hpp"

namespace kelvora::exchange {
namespace {

// The next code point at `i`; an ill-formed sequence reads as U+FFFD, so
// every byte string has a printable form.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const utf8::Decoded d = utf8::decode(s, i);
  i += d.length;
  return d.code_point;
}

// Shown as it is in a debug form: not a control, format, surrogate,
// private-use or unassigned code point, not a separator other than the plain
// space, and not a combining mark that would attach to the character before.
bool printable(char32_t cp) {
  if (cp == U' ') return true;
  if (u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_GRAPHEME_EXTEND)) return false;
  switch (u_charType(static_cast<UChar32>(cp))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = next_code_point(text, i);
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (printable(cp)) {
          utf8::append(out, cp);
        } else {
          char hex[8];
          const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
          out += "\\u{";
          out.append(hex, end.ptr);
          out += '}';
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace kelvora::exchange
