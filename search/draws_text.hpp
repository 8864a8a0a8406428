// The state of a search's seeded draws as text, which copies and pickles of
// the players on a search carry: each generator's state in turn, as the
// standard library's streams write numbers, then the word "end", so that
// text cut short inside its last number is refused.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace varnok {

// The text of what write(out) writes, ended.
std::string draws_text(const std::function<void(std::ostream&)>& write);
// Reads text with read(in), which tells whether what it read was whole;
// true when it was and the text then ends.
bool read_draws_text(const std::string& text, const std::function<bool(std::istream&)>& read);

}  // namespace varnok
