// User text quoted in an error message. The text may hold any bytes (a FEN
// typed with a full-width digit, a Latin-1 PGN file, a token cut at a size
// limit), while a message must be valid UTF-8 to become a Python str: so a
// quote keeps whole UTF-8 characters as they are, cuts only between two
// characters, and writes every byte that is no part of a valid character, and
// every control character, as a \xNN escape.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnok {

// The length of the valid UTF-8 character that starts at text[at] (1 to 4),
// or 0 when the bytes there are none (a stray continuation byte, a sequence
// cut short, an overlong form, a surrogate, beyond U+10FFFF).
constexpr size_t utf8_character_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

// Whether text is valid UTF-8 throughout.
constexpr bool is_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8_character_length(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// The character at text[at] as it stands (one byte when it is no valid one).
constexpr std::string_view character_at(std::string_view text, size_t at) {
  const size_t length = utf8_character_length(text, at);
  return text.substr(at, length ? length : 1);
}

// text in single quotes, of at most max_bytes of its bytes (cut back to the
// start of a character), valid UTF-8 whatever it holds.
inline std::string quoted(std::string_view text, size_t max_bytes = 80) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (size_t i = 0; i < text.size();) {
    const size_t length = utf8_character_length(text, i);
    if (i + (length ? length : 1) > max_bytes) break;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (length == 0 || c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  out += '\'';
  return out;
}

}  // namespace varnok
