// What a PGN tag pair may hold, for the reader and the writer alike: a game
// read from a file writes back to a file that reads the same.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnok {

// The longest tag name and value the writer takes: the reader keeps them
// whole (a value with each byte escaped too), and cuts longer ones, since a
// source may hold a line of any length.
inline constexpr size_t kMaxTagNameBytes = 64;
inline constexpr size_t kMaxTagValueBytes = size_t{1} << 16;

// A tag name is a PGN symbol: a letter or digit, then letters, digits and "_+#=:-".
inline bool is_tag_name(std::string_view name) {
  auto alphanumeric = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (name.empty() || !alphanumeric(name[0])) return false;
  for (const char c : name)
    if (!alphanumeric(c) && std::string_view("_+#=:-").find(c) == std::string_view::npos) return false;
  return true;
}

// A tag value is one line of printing characters: a newline or other control
// character would end the tag early and corrupt the file.
inline bool is_tag_value(std::string_view value) {
  for (const char c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace varnok
