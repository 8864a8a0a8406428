#include "search/draws_text.hpp"

#include <istream>
#include <ostream>
#include <sstream>

namespace varnok {

namespace {

constexpr const char* kEnd = "end";

}  // namespace

std::string draws_text(const std::function<void(std::ostream&)>& write) {
  std::ostringstream out;
  write(out);
  out << '\n' << kEnd << '\n';
  return out.str();
}

bool read_draws_text(const std::string& text, const std::function<bool(std::istream&)>& read) {
  std::istringstream in(text);
  std::string end;
  return read(in) && in >> end && end == kEnd && (in >> std::ws).eof();
}

}  // namespace varnok
