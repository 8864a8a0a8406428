#include "core/pgn_writer.hpp"

#include <cstdint>
#include <stdexcept>

#include "core/fen_writer.hpp"
#include "core/legality.hpp"
#include "core/pgn_tags.hpp"
#include "core/san.hpp"
#include "core/start_positions.hpp"

namespace varnok {

namespace {

constexpr size_t kLineWidth = 80;

struct RosterTag {
  std::string_view name, absent;
};
constexpr RosterTag kRoster[] = {{"Event", "?"}, {"Site", "?"},  {"Date", "????.??.??"}, {"Round", "?"},
                                 {"White", "?"}, {"Black", "?"}, {"Result", "*"}};

const std::string* find_header(const PgnHeaders& headers, std::string_view name) {
  for (auto it = headers.rbegin(); it != headers.rend(); ++it)
    if (it->first == name) return &it->second;
  return nullptr;
}

bool written_by_us(std::string_view name) {
  if (name == "FEN" || name == "SetUp") return true;
  for (const RosterTag& tag : kRoster)
    if (tag.name == name) return true;
  return false;
}

void check_headers(const PgnHeaders& headers) {
  for (const auto& [name, value] : headers) {
    if (!is_tag_name(name))
      throw std::invalid_argument("PGN tag name '" + name +
                                  "' is not a PGN symbol (a letter or digit, then letters, digits and _+#=:-)");
    if (name.size() > kMaxTagNameBytes)
      throw std::invalid_argument("PGN tag name '" + name.substr(0, kMaxTagNameBytes) + "...' is longer than " +
                                  std::to_string(kMaxTagNameBytes) + " bytes");
    if (!is_tag_value(value))
      throw std::invalid_argument("PGN tag " + name + " holds a control character (a newline, tab, ...)");
    if (value.size() > kMaxTagValueBytes)
      throw std::invalid_argument("PGN tag " + name + " holds " + std::to_string(value.size()) +
                                  " bytes, more than the " + std::to_string(kMaxTagValueBytes) + " a tag value may");
  }
}

void append_tag(std::string& out, std::string_view name, std::string_view value) {
  out += '[';
  out += name;
  out += " \"";
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += "\"]\n";
}

// Appends movetext tokens, starting a new line where the next one would
// pass the line width.
class Wrapper {
 public:
  explicit Wrapper(std::string& out) : out_(out) {}
  void add(std::string_view token) {
    if (column_ > 0 && column_ + 1 + token.size() > kLineWidth) {
      out_ += '\n';
      column_ = 0;
    } else if (column_ > 0) {
      out_ += ' ';
      ++column_;
    }
    out_ += token;
    column_ += token.size();
  }

 private:
  std::string& out_;
  size_t column_ = 0;
};

std::string outcome_of(const Position& final_position) {
  if (has_legal_move(final_position)) return "*";
  if (!final_position.in_check()) return "1/2-1/2";
  return final_position.side == kWhite ? "0-1" : "1-0";
}

}  // namespace

std::string write_pgn(const Position& start, int fullmove_number, std::span<const Move> moves,
                      const PgnHeaders& headers) {
  check_headers(headers);
  // SAN needs each position before its move; the movetext is built first so
  // that the result can come from the final position.
  std::string movetext;
  Wrapper wrap(movetext);
  Position position = start;
  int64_t number = fullmove_number;  // a start near the int32_t limit numbers its moves past it
  for (size_t i = 0; i < moves.size(); ++i) {
    if (position.side == kWhite || i == 0) {
      std::string label = std::to_string(number) + (position.side == kWhite ? "." : "...");
      wrap.add(label);
    }
    wrap.add(san_of(position, moves[i]).view());
    if (position.side == kBlack) ++number;
    position.apply_move(moves[i]);
  }
  const std::string* given = find_header(headers, "Result");
  const bool given_is_result = given && (*given == "1-0" || *given == "0-1" || *given == "1/2-1/2" || *given == "*");
  const std::string result = given_is_result ? *given : outcome_of(position);
  wrap.add(result);

  std::string out;
  for (const RosterTag& tag : kRoster) {
    const std::string* value = find_header(headers, tag.name);
    append_tag(out, tag.name,
               tag.name == "Result" ? std::string_view(result)
               : value              ? std::string_view(*value)
                                    : tag.absent);
  }
  // A Chess960 game always names its start: its castling moves read
  // differently from standard chess even from the standard array.
  if (start.chess960) append_tag(out, "Variant", "Chess960");
  for (const auto& [name, value] : headers)
    if (!written_by_us(name) && !(start.chess960 && name == "Variant")) append_tag(out, name, value);
  const std::string fen = fen_of(start, fullmove_number);
  if (fen != kInitialFen || start.chess960) {
    append_tag(out, "SetUp", "1");
    append_tag(out, "FEN", fen);
  }
  out += '\n';
  out += movetext;
  out += "\n\n";
  return out;
}

}  // namespace varnok
