#include "core/pgn_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "core/fen_strict.hpp"
#include "core/legality.hpp"
#include "core/pgn_tags.hpp"
#include "core/quoted.hpp"
#include "core/san.hpp"
#include "core/start_positions.hpp"
#include "core/uci.hpp"

namespace varnok {

namespace {

constexpr int kEnd = -1;     // get() and peek() at the end of the source
constexpr int kPaused = -2;  // get() and peek() with the chunk budget spent, or a read interrupted
constexpr int kMore = 1;     // refill() made bytes ready

// The moves that pass a turn ("--", "Z0"); an action always moves a piece.
bool is_null_move(std::string_view s) { return s == "--" || s == "Z0"; }

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Characters of PGN symbols (moves, move numbers, results, NAGs), with the
// annotation marks that some writers glue to a move.
bool is_symbol_char(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
         c == '#' || c == '=' || c == ':' || c == '-' || c == '/' || c == '!' || c == '?' || c == '$';
}

// A figurine, a chess piece's figure (U+2654 white king to U+265F black
// pawn), in UTF-8: two bytes the same for all, then one per figure.
constexpr int kFigurineBytes = 3;
constexpr int kFigurineLead = 0xE2, kFigurineSecond = 0x99, kWhiteKingLast = 0x94, kBlackPawnLast = 0x9F;

// Whether c may be byte `at` of a figurine's UTF-8.
bool figurine_byte(size_t at, int c) {
  return at == 0 ? c == kFigurineLead : at == 1 ? c == kFigurineSecond : c >= kWhiteKingLast && c <= kBlackPawnLast;
}

// The piece letter of the figurine whose UTF-8 bytes are the latest three
// in bytes; 0 for a pawn or anything else. Text copied from a page or a
// book writes a piece as its figure ("\u2658f3"): read as a separator, it
// would leave "f3", another move of another piece.
char figurine_piece(uint32_t bytes) {
  for (int at = 0; at < kFigurineBytes; ++at)
    if (!figurine_byte(at, (bytes >> (8 * (kFigurineBytes - 1 - at))) & 0xFF)) return 0;
  constexpr std::string_view kLetters = "KQRBN";  // then the pawn, and the same again for black
  const int piece = (static_cast<int>(bytes & 0xFF) - kWhiteKingLast) % 6;
  return piece < static_cast<int>(kLetters.size()) ? kLetters[piece] : 0;
}

bool is_result(std::string_view s) { return s == "1-0" || s == "0-1" || s == "1/2-1/2" || s == "*"; }

// A symbol without a letter names no move, unless it is castling written
// with zeros or holds a null move ("0-0", "--"): move numbers, detached
// annotation marks ("!?"), evaluation signs written out instead of as NAGs
// ("+=", "+/-", "-+", "="), a "1/2" for a draw.
bool names_no_move(std::string_view s) {
  const bool has_letter =
      std::any_of(s.begin(), s.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
  return !has_letter && s.find("--") == std::string_view::npos && s.find("0-0") == std::string_view::npos;
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

PgnReader::File& PgnReader::File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

PgnReader::File::~File() {
  if (fd >= 0) ::close(fd);
}

PgnReader PgnReader::from_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("a file path cannot hold a NUL byte");
  PgnReader reader;
  // Opening a FIFO waits for its writer; a signal may end the wait (EINTR).
  reader.file_ = File(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (const int error = errno; reader.file_.fd < 0)
    throw std::system_error(error, std::generic_category(), "cannot open PGN file " + quoted(path, path.size()));
  // A folder opens like a file but reads as nothing: say so instead.
  struct stat status{};
  if (::fstat(reader.file_.fd, &status) == 0 && S_ISDIR(status.st_mode))
    throw std::system_error(EISDIR, std::generic_category(), "cannot read PGN file " + quoted(path, path.size()));
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

// A file or a byte source is read a chunk at a time; a text in memory is
// scanned a chunk at a time too, so that all pause alike.
int PgnReader::refill() {
  if (file_.fd < 0 && !source_) {
    if (limit_ >= text_.size()) return kEnd;
    if (chunk_budget_ <= 0) return kPaused;
    --chunk_budget_;
    limit_ = std::min(text_.size(), limit_ + kChunkBytes);
  } else {
    if (chunk_budget_ <= 0) return kPaused;
    --chunk_budget_;
    consumed_ += static_cast<int64_t>(text_.size());
    text_.resize(kChunkBytes);
    ssize_t got;
    int error = 0;
    if (source_) {
      // A whole chunk, as a file gives, however little each call gives: the
      // byte-order mark is looked for in the first chunk.
      size_t filled = 0;
      for (size_t more = 1; filled < kChunkBytes && more > 0; filled += more)
        more = source_(text_.data() + filled, kChunkBytes - filled);
      got = static_cast<ssize_t>(filled);
    } else {
      got = ::read(file_.fd, text_.data(), kChunkBytes);
      error = errno;
    }
    text_.resize(got > 0 ? static_cast<size_t>(got) : 0);
    pos_ = 0;
    limit_ = text_.size();
    if (got < 0 && error == EINTR) return kPaused;
    if (got < 0) throw std::system_error(error, std::generic_category(), "cannot read the PGN file");
    if (got == 0) return kEnd;
  }
  if (!started_) {
    started_ = true;
    if (std::string_view(text_).substr(pos_, 3) == "\xEF\xBB\xBF") pos_ += 3;  // a UTF-8 byte-order mark
  }
  return kMore;
}

// The next byte, with each line end (LF, CR LF or a lone CR) as one '\n'.
int PgnReader::peek() {
  for (;;) {
    while (pos_ >= limit_) {
      const int status = refill();
      if (status != kMore) return status;
    }
    const char c = text_[pos_];
    if (c == '\n' && after_cr_) {  // the LF of a CR LF
      after_cr_ = false;
      ++pos_;
      continue;
    }
    return c == '\r' ? '\n' : static_cast<unsigned char>(c);
  }
}

int PgnReader::get() {
  const int c = peek();
  if (c < 0) return c;
  after_cr_ = text_[pos_++] == '\r';
  if (c == '\n') {
    ++line_;
    at_line_start_ = true;
  } else {
    at_line_start_ = false;
  }
  return c;
}

// A tag's line after its '[': the name, then the value from the first '"' to
// the last '"' on the line that is followed by ']'. Quotes inside need no
// escape (python-chess writes them bare); the standard escapes \" and \\ are
// undone. A tag without a name or a quoted value is dropped.
bool PgnReader::parse_tag(std::string_view line, Token& token) const {
  token.kind = TokenKind::kTag;
  token.text.clear();
  token.value.clear();
  size_t at = 0;
  const auto skip_blanks = [&] {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  };
  skip_blanks();
  while (at < line.size() && is_symbol_char(static_cast<unsigned char>(line[at])) &&
         token.text.size() < kMaxTagNameBytes)
    token.text.push_back(line[at++]);
  skip_blanks();
  if (token.text.empty() || at >= line.size() || line[at] != '"') return false;
  std::string& raw = token.value;
  raw.assign(line.substr(at + 1, 2 * kMaxTagValueBytes + 2));  // a value the writer gives, escaped, and its '"]'
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

// What a whole symbol is: move numbers, NAGs, detached annotation marks,
// evaluation signs and everything inside a variation carry no move.
PgnReader::TokenKind PgnReader::symbol_kind(const Token& token) const {
  if (variation_depth_ > 0 || token.text.empty()) return TokenKind::kNone;
  if (is_result(token.text)) return TokenKind::kResult;
  // "ep" after an en-passant capture is the mark "e.p." written without its dots.
  if (token.text[0] == '$' || names_no_move(token.text) || token.text == "ep") return TokenKind::kNone;
  return TokenKind::kMove;
}

// Scans on from where the last call stopped, to the end of the next token
// (in token_), the end of the source or a pause.
PgnReader::TokenKind PgnReader::next_token() {
  Token& token = token_;
  for (;;) {
    switch (scan_) {
      case Scan::kLine:
      case Scan::kComment: {
        const int stop = scan_ == Scan::kLine ? '\n' : '}';
        for (int c = get(); c != stop && c != kEnd; c = get())
          if (c == kPaused) return TokenKind::kPaused;
        blank_line_ = scan_ == Scan::kLine;  // a line skipped to its end: the next one starts empty
        scan_ = Scan::kBetween;
        break;
      }
      case Scan::kTagHead: {
        // A '[' starts a tag when a name and then its value's '"' follow.
        // In the moves, a bracket that does not is an annotation outside a
        // comment ("[%clk 0:01:00]"), passed over to its ']' on its line, as
        // python-chess reads it: passed over as a tag line, the rest of the
        // line would take its moves, and the result token, without a word.
        int c = peek();
        for (; c >= 0; c = peek()) {
          if (c == '"' && tag_head_ != TagHead::kBeforeName) break;
          if (c == ' ' || c == '\t') {
            if (tag_head_ == TagHead::kName) tag_head_ = TagHead::kAfterName;
          } else if (is_symbol_char(c) && tag_head_ != TagHead::kAfterName) {
            tag_head_ = TagHead::kName;
          } else {
            break;
          }
          get();
          if (tag_line_.size() < kMaxTagLineBytes) tag_line_.push_back(static_cast<char>(c));
        }
        if (c == kPaused) return TokenKind::kPaused;
        if (c == '"' || !in_movetext_) {
          // A tag at the start of a line also ends a variation left open.
          variation_depth_ = 0;
          scan_ = Scan::kTag;
        } else {
          scan_ = Scan::kBracket;
        }
        break;
      }
      case Scan::kBracket: {
        int c = peek();
        for (; c >= 0 && c != '\n'; c = peek()) {
          get();
          if (c == ']') break;
        }
        if (c == kPaused) return TokenKind::kPaused;
        scan_ = Scan::kBetween;
        break;
      }
      case Scan::kTag: {
        int c = peek();
        for (; c >= 0 && c != '\n'; c = peek()) {
          get();
          if (tag_line_.size() < kMaxTagLineBytes) tag_line_.push_back(static_cast<char>(c));
        }
        if (c == kPaused) return TokenKind::kPaused;
        scan_ = Scan::kBetween;
        if (parse_tag(tag_line_, token)) return TokenKind::kTag;
        break;
      }
      case Scan::kSymbol: {
        int c = peek();
        for (; is_symbol_char(c); c = peek()) {
          get();
          if (token.text.size() < kMaxTokenBytes) token.text.push_back(static_cast<char>(c));
        }
        if (c == kPaused) return TokenKind::kPaused;
        // No symbol ends in 'e' but one followed by ".p." (the 'e' begins it).
        if (c == '.' && token.text.back() == 'e' && variation_depth_ == 0) {
          scan_ = Scan::kEnPassantMark;
          mark_matched_ = 0;
          break;
        }
        if (token.text.back() == '=' && figurine_byte(0, c)) {
          scan_ = Scan::kPromotionFigure;
          mark_matched_ = 0;
          promotion_figure_ = 0;
          break;
        }
        scan_ = Scan::kBetween;
        if (const TokenKind kind = symbol_kind(token); kind != TokenKind::kNone) return kind;
        break;
      }
      case Scan::kEnPassantMark: {
        constexpr std::string_view kMarkRest = ".p.";
        while (mark_matched_ < kMarkRest.size()) {
          const int c = peek();
          if (c == kPaused) return TokenKind::kPaused;
          if (c != kMarkRest[mark_matched_]) break;
          get();
          ++mark_matched_;
        }
        if (mark_matched_ == kMarkRest.size()) token.text.pop_back();
        scan_ = Scan::kBetween;
        if (const TokenKind kind = symbol_kind(token); kind != TokenKind::kNone) return kind;
        break;
      }
      case Scan::kPromotionFigure: {
        while (mark_matched_ < kFigurineBytes) {
          const int c = peek();
          if (c == kPaused) return TokenKind::kPaused;
          if (!figurine_byte(mark_matched_, c)) break;
          get();
          promotion_figure_ = promotion_figure_ << 8 | static_cast<uint32_t>(c);
          ++mark_matched_;
        }
        if (const char piece = figurine_piece(promotion_figure_);
            mark_matched_ == kFigurineBytes && piece && token.text.size() < kMaxTokenBytes)
          token.text.push_back(piece);
        scan_ = Scan::kSymbol;  // the move may go on after its piece ("e8=\u2655+")
        break;
      }
      case Scan::kBetween: {
        const bool line_start = at_line_start_;
        const int64_t line = line_;
        const int c = get();
        if (c == kPaused) return TokenKind::kPaused;
        if (c == kEnd) {
          token.line = line;
          return TokenKind::kEnd;
        }
        const uint32_t before = between_bytes_;
        between_bytes_ = (between_bytes_ << 8 | static_cast<uint32_t>(c)) & 0xFFFFFF;
        if (c == '\n') {
          // A blank line closes a game's movetext: the game ends there, and
          // a result token after it is a game of its own. Games without a
          // result or tags, one after the other, stay apart.
          if (blank_line_) {
            after_result_ = false;
            // Tags may have one blank line between them: a second one ends
            // a game of tags alone, as python-chess reads it.
            if (in_movetext_ || (game_started_ && blank_after_tag_)) {
              token.line = line;
              return TokenKind::kBlankLine;
            }
            blank_after_tag_ = true;
          }
          blank_line_ = true;
          break;
        }
        if (is_space(c)) break;
        blank_line_ = false;
        if (c == '%' && line_start) {
          scan_ = Scan::kLine;
        } else if (c == '{') {
          scan_ = Scan::kComment;
        } else if (c == ';') {
          scan_ = Scan::kLine;
        } else if (c == '(') {
          ++variation_depth_;
        } else if (c == ')') {
          if (variation_depth_ > 0) --variation_depth_;
        } else if (c == '[' && (variation_depth_ == 0 || line_start)) {
          token.line = line;
          token.offset = offset_of_last_byte();
          tag_line_.clear();
          tag_head_ = TagHead::kBeforeName;
          scan_ = Scan::kTagHead;
        } else if (c == '*' && variation_depth_ == 0) {
          token.text = "*";
          token.line = line;
          token.offset = offset_of_last_byte();
          return TokenKind::kResult;
        } else if (is_symbol_char(c)) {
          token.text.clear();
          token.line = line;
          token.offset = offset_of_last_byte();
          if (const char piece = figurine_piece(before)) {
            token.text.push_back(piece);
            token.offset -= kFigurineBytes;  // the move starts at its figure
          }
          token.text.push_back(static_cast<char>(c));
          scan_ = Scan::kSymbol;
        }
        // Anything else ('.', stray brackets, bytes outside PGN) separates tokens.
        break;
      }
    }
  }
}

void PgnReader::add_tag(Token& tag) {
  if (tag.text == "FEN") fen_line_ = tag.line;
  if (tag.text == "Variant") variant_line_ = tag.line;
  game_.headers.emplace_back(std::move(tag.text), std::move(tag.value));
  blank_after_tag_ = false;
}

void PgnReader::start_game(const Token& first) {
  after_result_ = false;
  if (game_started_) return;
  game_started_ = true;
  game_.line = first.line;
  game_.offset = first.offset;
}

namespace {

// A Variant tag's value in lower case without spaces and hyphens, as PGN
// writers spell the same name in many ways ("Chess 960", "From Position").
std::string variant_key(std::string_view value) {
  std::string lowered;
  for (const char c : value)
    if (c != ' ' && c != '-') lowered.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  return lowered;
}

// The Variant tag values that name Chess960.
bool is_chess960_variant(std::string_view value) {
  const std::string key = variant_key(value);
  return key == "chess960" || key == "fischerandom" || key == "fischerrandom" || key == "960";
}

// The Variant tag values that name standard chess (lichess writes "From
// Position" for a game of standard chess from a set-up position).
bool is_standard_variant(std::string_view value) {
  const std::string key = variant_key(value);
  return key.empty() || key == "standard" || key == "chess" || key == "classical" || key == "normal" ||
         key == "fromposition" || key == "illegal";
}

}  // namespace

// The start position, from the headers as read so far.
void PgnReader::enter_movetext() {
  if (in_movetext_) return;
  in_movetext_ = true;
  const std::string* fen = game_.header("FEN");
  const std::string* variant = game_.header("Variant");
  const bool chess960 = variant && is_chess960_variant(*variant);
  const std::string_view text = fen ? std::string_view(*fen) : kInitialFen;
  std::optional<FenPosition> loaded;
  std::string fault;
  try {
    loaded = parse_fen_strict(text, chess960);
  } catch (const std::invalid_argument& e) {
    fault = e.what();
  }
  // Castling rights that only Chess960 has (a king or a rook off its
  // standard square) make a Chess960 game without a Variant tag, as
  // python-chess reads them; any other fault is named as standard chess
  // sees it.
  if (!loaded && !chess960) {
    try {
      loaded = parse_fen_strict(text, true);
    } catch (const std::invalid_argument&) {
    }
  }
  if (loaded) {
    game_.start = loaded->position;
    game_.start_fullmove = loaded->fullmove_number;
  } else {
    game_.start = parse_fen_strict(kInitialFen).position;
    game_.error = "bad FEN tag: " + fault;
    game_.error_line = fen_line_;
  }
  // Atomic, Crazyhouse, Horde and the rest have moves of their own or
  // other results for the same moves: read as chess, a game of one would
  // give positions that were never on its board.
  if (game_.ok() && variant && !chess960 && !is_standard_variant(*variant)) {
    game_.error = "Variant \"" + *variant + "\": only chess and Chess960 games can be read";
    game_.error_line = variant_line_;
  }
  position_ = game_.start;
}

void PgnReader::add_move(const Token& token) {
  if (!game_.ok()) return;  // the rest of a broken game is passed over
  if (is_null_move(token.text)) {
    game_.error = "null move '" + token.text + "' (a pass): it has no action, the game is skipped";
    game_.error_line = token.line;
    return;
  }
  // Annotations glued to a move are passed over: a NAG ("e4$1"), marks
  // however many there are ("e4!!!", "e5?!?"; the SAN reader takes at most
  // two), and the "++" that old texts write for a double check.
  std::string_view text = std::string_view(token.text).substr(0, token.text.find('$'));
  while (!text.empty() && (text.back() == '!' || text.back() == '?')) text.remove_suffix(1);
  if (text.ends_with("++")) text.remove_suffix(1);
  try {
    const Move move = move_of_san(position_, text);
    position_.apply_move(move);
    game_.moves.push_back(move);
  } catch (const std::invalid_argument& e) {
    game_.error = e.what();
    game_.error_line = token.line;
  }
}

// Hands the game out and makes ready for the next one (the caller's game,
// cleared, is the next one's storage).
PgnReader::Progress PgnReader::finish(PgnGame& game, bool by_result) {
  // A movetext without its result token (some writers leave it out) has
  // the game's result in its Result tag.
  if (const std::string* tag = game_.header("Result"); game_.result.empty() && tag && is_result(*tag))
    game_.result = *tag;
  // The reader has played every move: the game's last position is its own.
  game_.checkmate = position_.in_check() && !has_legal_move(position_);
  std::swap(game, game_);
  game_.headers.clear();
  game_.moves.clear();
  game_.result.clear();
  game_.error.clear();
  game_.error_line = 0;
  game_.checkmate = false;
  game_.line = 0;
  game_.offset = 0;
  game_.start_fullmove = 1;
  game_started_ = in_movetext_ = false;
  after_result_ = by_result;
  blank_after_tag_ = false;
  fen_line_ = variant_line_ = 0;
  return Progress::kGame;
}

bool PgnReader::read_unbudgeted(Progress (PgnReader::*read)(PgnGame&, int64_t&), PgnGame& game) {
  for (;;) {
    int64_t unlimited = INT64_MAX;
    switch ((this->*read)(game, unlimited)) {
      case Progress::kGame: return true;
      case Progress::kEnd: return false;
      case Progress::kPaused: break;  // a read interrupted by a signal: go on
    }
  }
}

bool PgnReader::next(PgnGame& game) { return read_unbudgeted(&PgnReader::next, game); }

PgnReader::Progress PgnReader::next(PgnGame& game, int64_t& chunk_budget) {
  chunk_budget_ = chunk_budget;
  struct Spent {
    int64_t& budget;
    const int64_t& left;
    ~Spent() { budget = left; }
  } spent{chunk_budget, chunk_budget_};
  if (has_pending_) {
    has_pending_ = false;
    start_game(pending_);
    add_tag(pending_);
  }
  for (;;) {
    switch (next_token()) {
      case TokenKind::kPaused: return Progress::kPaused;
      case TokenKind::kTag:
        // A tag after the moves starts the next game; so does one after a
        // blank line that names a tag the game already has: the game before
        // it was tags alone, whose FEN must not pass to the next.
        if (in_movetext_ || (blank_after_tag_ && game_.header(token_.text))) {
          pending_ = std::move(token_);
          has_pending_ = true;
          enter_movetext();  // the start position of a game of tags alone
          return finish(game, false);
        }
        start_game(token_);
        add_tag(token_);
        break;
      case TokenKind::kMove:
        start_game(token_);
        enter_movetext();
        if (read_moves_) add_move(token_);
        break;
      case TokenKind::kResult:
        if (after_result_ && !game_started_) break;  // a second result token of the game just read
        start_game(token_);
        enter_movetext();
        game_.result = token_.text;
        return finish(game, true);
      case TokenKind::kBlankLine:
        variation_depth_ = 0;  // a variation left open ends with its game
        enter_movetext();      // the start position of a game of tags alone
        return finish(game, false);
      case TokenKind::kEnd:
        if (!game_started_) return Progress::kEnd;
        enter_movetext();
        return finish(game, false);
      case TokenKind::kNone: break;
    }
  }
}

bool PgnReader::next_start(PgnGame& game) { return read_unbudgeted(&PgnReader::next_start, game); }

PgnReader::Progress PgnReader::next_start(PgnGame& game, int64_t& chunk_budget) {
  struct Restore {
    bool& flag;
    ~Restore() { flag = true; }
  } restore{read_moves_};
  read_moves_ = false;
  return next(game, chunk_budget);
}

}  // namespace varnok
