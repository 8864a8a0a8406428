#include "core/pgn_reader.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "core/fen_strict.hpp"
#include "core/pgn_tags.hpp"
#include "core/san.hpp"
#include "core/uci.hpp"

namespace varnok {

namespace {

constexpr std::string_view kInitialFen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
constexpr int kEnd = -1;

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Characters of PGN symbols (moves, move numbers, results, NAGs), with the
// annotation marks that some writers glue to a move.
bool is_symbol_char(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
         c == '#' || c == '=' || c == ':' || c == '-' || c == '/' || c == '!' || c == '?' || c == '$';
}

bool is_result(std::string_view s) { return s == "1-0" || s == "0-1" || s == "1/2-1/2" || s == "*"; }

bool all_of_chars(std::string_view s, std::string_view allowed) {
  return !s.empty() && s.find_first_not_of(allowed) == std::string_view::npos;
}

}  // namespace

const std::string* PgnGame::header(std::string_view name) const {
  for (auto it = headers.rbegin(); it != headers.rend(); ++it)
    if (it->first == name) return &it->second;
  return nullptr;
}

std::vector<std::string> PgnGame::uci() const {
  std::vector<std::string> out;
  out.reserve(moves.size());
  for (Move move : moves) out.push_back(uci_of(move).str());
  return out;
}

PgnReader PgnReader::from_file(const std::string& path) {
  PgnReader reader;
  // A folder opens like a file but reads as nothing: say so instead.
  std::error_code status;
  if (std::filesystem::is_directory(path, status))
    throw std::system_error(EISDIR, std::generic_category(), "cannot read PGN file '" + path + "'");
  reader.file_.reset(std::fopen(path.c_str(), "rb"));
  if (!reader.file_) throw std::system_error(errno, std::generic_category(), "cannot open PGN file '" + path + "'");
  return reader;
}

PgnReader PgnReader::from_text(std::string text) {
  PgnReader reader;
  reader.text_ = std::move(text);
  return reader;
}

PgnReader PgnReader::from_source(ByteSource read) {
  PgnReader reader;
  reader.source_ = std::move(read);
  return reader;
}

bool PgnReader::refill() {
  if (!file_ && !source_) return false;
  consumed_ += static_cast<int64_t>(text_.size());
  text_.resize(kChunkBytes);
  size_t got = 0;
  if (file_) {
    got = std::fread(text_.data(), 1, kChunkBytes, file_.get());
  } else {
    // A whole chunk, as fread gives, however little each call gives: the
    // byte-order mark is looked for in the first chunk.
    for (size_t more = 1; got < kChunkBytes && more > 0; got += more)
      more = source_(text_.data() + got, kChunkBytes - got);
  }
  text_.resize(got);
  pos_ = 0;
  return got > 0;
}

int PgnReader::peek() {
  if (pos_ >= text_.size() && !refill()) return kEnd;
  if (!started_) {
    started_ = true;
    if (std::string_view(text_).substr(pos_, 3) == "\xEF\xBB\xBF") pos_ += 3;  // a UTF-8 byte-order mark
    if (pos_ >= text_.size() && !refill()) return kEnd;
  }
  return static_cast<unsigned char>(text_[pos_]);
}

int PgnReader::get() {
  const int c = peek();
  if (c == kEnd) return kEnd;
  ++pos_;
  if (c == '\n') {
    ++line_;
    at_line_start_ = true;
  } else {
    at_line_start_ = false;
  }
  return c;
}

void PgnReader::skip_line() {
  for (int c = get(); c != kEnd && c != '\n'; c = get()) {
  }
}

void PgnReader::skip_comment() {
  for (int c = get(); c != kEnd && c != '}'; c = get()) {
  }
}

// After '[': the name, then the value from the first '"' to the last '"' on
// the line that is followed by ']'. Quotes inside need no escape (python-chess
// writes them bare); the standard escapes \" and \\ are undone. A tag
// without a name or a quoted value is dropped with the rest of its line.
bool PgnReader::read_tag(Token& token) {
  token.kind = TokenKind::kTag;
  token.text.clear();
  token.value.clear();
  token.line = line_;
  while (peek() == ' ' || peek() == '\t') get();
  while (is_symbol_char(peek()) && token.text.size() < kMaxTokenBytes) token.text.push_back(static_cast<char>(get()));
  while (peek() == ' ' || peek() == '\t') get();
  if (token.text.empty() || peek() != '"') {
    if (peek() != '\n') skip_line();
    return false;
  }
  get();
  std::string& raw = token.value;
  for (int c = peek(); c != kEnd && c != '\n'; c = peek()) {
    get();
    if (raw.size() < kMaxTagValueBytes) raw.push_back(static_cast<char>(c));
  }
  size_t end = raw.find_last_not_of(" \t\r");
  if (end != std::string::npos && end > 0 && raw[end] == ']') {
    end = raw.find_last_not_of(" \t", end - 1);
    if (end != std::string::npos && raw[end] == '"') raw.resize(end);
  } else {
    const size_t quote = raw.rfind('"');  // a tag broken off before its ']'
    if (quote != std::string::npos) raw.resize(quote);
  }
  size_t out = 0;
  for (size_t in = 0; in < raw.size(); ++in) {
    if (raw[in] == '\\' && in + 1 < raw.size() && (raw[in + 1] == '"' || raw[in + 1] == '\\')) ++in;
    raw[out++] = raw[in];
  }
  raw.resize(out);
  // A tag the writer could not write back (a name that is no PGN symbol, a
  // control character in the value) is dropped like a tag without a name.
  return is_tag_name(token.text) && is_tag_value(raw);
}

void PgnReader::next_token(Token& token) {
  for (;;) {
    const bool line_start = at_line_start_;
    const int64_t line = line_;
    const int c = get();
    if (c == kEnd) {
      token.kind = TokenKind::kEnd;
      token.line = line;
      return;
    }
    token.offset = consumed_ + static_cast<int64_t>(pos_) - 1;
    if (is_space(c)) continue;
    if (c == '%' && line_start) {
      skip_line();
    } else if (c == '{') {
      skip_comment();
    } else if (c == ';') {
      skip_line();
    } else if (c == '(') {
      ++variation_depth_;
    } else if (c == ')') {
      if (variation_depth_ > 0) --variation_depth_;
    } else if (c == '[' && (variation_depth_ == 0 || line_start)) {
      // A tag at the start of a line also ends a variation left open.
      variation_depth_ = 0;
      if (read_tag(token)) return;
    } else if (c == '*' && variation_depth_ == 0) {
      token.kind = TokenKind::kResult;
      token.text = "*";
      token.line = line;
      return;
    } else if (is_symbol_char(c)) {
      token.text.assign(1, static_cast<char>(c));
      while (is_symbol_char(peek())) {
        const int next = get();
        if (token.text.size() < kMaxTokenBytes) token.text.push_back(static_cast<char>(next));
      }
      if (variation_depth_ > 0) continue;
      // Move numbers, NAGs and detached annotation marks carry no move.
      if (token.text[0] == '$' || all_of_chars(token.text, "0123456789") || all_of_chars(token.text, "!?")) continue;
      token.kind = is_result(token.text) ? TokenKind::kResult : TokenKind::kMove;
      token.line = line;
      return;
    }
    // Anything else ('.', stray brackets, bytes outside PGN) separates tokens.
  }
}

bool PgnReader::next(PgnGame& game) {
  game.headers.clear();
  game.moves.clear();
  game.result.clear();
  game.error.clear();
  game.error_line = 0;
  game.line = 0;
  game.offset = 0;
  game.start_fullmove = 1;
  bool started = false, in_movetext = false;
  Position position;
  Token token;
  int64_t fen_line = 0;  // where the FEN tag stands, named when it is faulty

  auto start_game = [&](const Token& first) {
    if (started) return;
    started = true;
    game.line = first.line;
    game.offset = first.offset;
  };
  // The start position, from the headers as read so far.
  auto enter_movetext = [&]() {
    if (in_movetext) return;
    in_movetext = true;
    const std::string* fen = game.header("FEN");
    try {
      FenPosition loaded = parse_fen_strict(fen ? std::string_view(*fen) : kInitialFen);
      game.start = loaded.position;
      game.start_fullmove = loaded.fullmove_number;
    } catch (const std::invalid_argument& e) {
      game.start = parse_fen_strict(kInitialFen).position;
      game.error = std::string("bad FEN tag: ") + e.what();
      game.error_line = fen_line;
    }
    position = game.start;
  };

  if (has_pending_) {
    has_pending_ = false;
    start_game(pending_);
    if (pending_.text == "FEN") fen_line = pending_.line;
    game.headers.emplace_back(std::move(pending_.text), std::move(pending_.value));
  }
  for (;;) {
    next_token(token);
    switch (token.kind) {
      case TokenKind::kTag:
        if (in_movetext) {
          pending_ = std::move(token);
          has_pending_ = true;
          return true;
        }
        start_game(token);
        if (token.text == "FEN") fen_line = token.line;
        game.headers.emplace_back(std::move(token.text), std::move(token.value));
        break;
      case TokenKind::kMove:
        start_game(token);
        enter_movetext();
        // The rest of a broken game is passed over, and every move by next_start.
        if (!game.ok() || !read_moves_) break;
        try {
          const Move move = move_of_san(position, token.text);
          position.apply_move(move);
          game.moves.push_back(move);
        } catch (const std::invalid_argument& e) {
          game.error = e.what();
          game.error_line = token.line;
        }
        break;
      case TokenKind::kResult:
        start_game(token);
        enter_movetext();
        game.result = token.text;
        return true;
      case TokenKind::kEnd:
        if (!started) return false;
        enter_movetext();
        return true;
    }
  }
}

bool PgnReader::next_start(PgnGame& game) {
  struct Restore {
    bool& flag;
    ~Restore() { flag = true; }
  } restore{read_moves_};
  read_moves_ = false;
  return next(game);
}

}  // namespace varnok
