// A streaming PGN reader. Games come one at a time from a file, read in
// fixed-size chunks so that files of any size stream in constant memory
// (beyond the game being read), or from a text held in memory.
//
// Per game: the tag pairs in file order, the start position (the FEN tag's,
// else the initial position), the mainline moves found by reading each SAN
// from the position before it, the result token, and the line where the game
// starts. Comments ({...} and ; to the end of the line), NAGs ($n) and
// evaluation signs written out ("+=", "+/-"), en-passant marks ("e.p.",
// "ep"), move numbers (1. and 1...),
// recursive variations (skipped with everything in
// them), escape lines (% in the first column), brackets in the moves that
// open no tag ("[%clk 0:01:00]" outside a comment, to the ']' on their line)
// and odd spacing are passed over; a game may lack its result token, a
// blank line after its movetext (outside a comment) or the next tag section
// then ends it. A game of tags
// alone ends at a second blank line, or where, after a blank line, a tag
// it already has comes again.
//
// Line ends may be LF, CR LF or a lone CR. A result token ends its game; a
// second result token right after it (no move, tag or blank line between)
// is ignored, as python-chess ignores it. An "e.p." written after an en-passant capture
// ("exd6 e.p.", "exd6e.p.") is passed over.
//
// A game whose FEN tag or one of whose moves cannot be read is still handed
// out, with error and error_line set; its remaining moves are skipped and
// reading goes on with the next game. The caller decides whether to skip
// such games or stop.
//
// Reading can stop after a given number of chunks scanned, anywhere in the
// text (inside a comment, a tag or a run of spaces), and go on later from
// exactly there: a caller that must answer signals calls next() with a budget
// of chunks, and a source without games (/dev/zero) cannot hold it for long.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/pgn_tags.hpp"
#include "core/position.hpp"

namespace varnok {

using PgnHeaders = std::vector<std::pair<std::string, std::string>>;

struct PgnGame {
  PgnHeaders headers;
  Position start;
  int32_t start_fullmove = 1;
  std::vector<Move> moves;  // legal one after the other from start
  std::string result;       // "1-0", "0-1", "1/2-1/2", "*" (the token, else the Result tag), or empty
  int64_t line = 0;         // 1-based line of the game's first tag or move
  int64_t offset = 0;       // byte offset of that tag's '[' or that move in the source
  std::string error;        // empty for a game read completely
  int64_t error_line = 0;
  bool checkmate = false;  // the position after the last move read is checkmate

  bool ok() const { return error.empty(); }
  // The value of the last tag called name, or nullptr.
  const std::string* header(std::string_view name) const;
  // The moves in UCI notation.
  std::vector<std::string> uci() const;
};

class PgnReader {
 public:
  // Throws std::system_error (with the errno) when the file cannot be opened
  // or is a folder (EINTR when a signal came while a FIFO waited for its
  // writer: the caller may handle it and try again), std::invalid_argument
  // for a path holding a NUL byte (the file's name would end there).
  // Reading a file throws std::system_error when the system reports an error.
  static PgnReader from_file(const std::string& path);
  static PgnReader from_text(std::string text);
  // Bytes from read(buffer, size), which fills up to size bytes and returns
  // how many it gave, 0 at the end (a decompressing stream, say).
  using ByteSource = std::function<size_t(char* buffer, size_t size)>;
  static PgnReader from_source(ByteSource read);

  // Reads the next game into game; false when the source is used up.
  bool next(PgnGame& game);
  // As next, but passes over the moves without reading them (game.moves
  // stays empty, a faulty move goes unnoticed): the quick way to learn where
  // each game starts (game.offset). Reading from such an offset to the next
  // game's gives exactly that game, whatever comments surround it.
  bool next_start(PgnGame& game);
  // Bytes of the source read so far (all of them once next returned false).
  int64_t position() const { return consumed_ + static_cast<int64_t>(pos_); }

  enum class Progress { kGame, kEnd, kPaused };
  // Reads on until a game is complete (kGame, the game in game), the source
  // is used up (kEnd), or chunk_budget chunks of kChunkBytes are scanned or a
  // read was interrupted by a signal (kPaused: call again to go on). The
  // chunks scanned are taken from chunk_budget.
  Progress next(PgnGame& game, int64_t& chunk_budget);
  // next_start with a chunk budget, as next.
  Progress next_start(PgnGame& game, int64_t& chunk_budget);

  static constexpr size_t kChunkBytes = 1 << 16;

 private:
  enum class TokenKind { kNone, kTag, kMove, kResult, kBlankLine, kEnd, kPaused };
  // What the scanner is inside of, kept from one call to the next.
  enum class Scan : uint8_t {
    kBetween,          // between tokens
    kLine,             // the rest of a line to skip: a ';' comment, a '%' escape, the tail of a long tag
    kComment,          // a {...} comment
    kSymbol,           // a move, move number, result or NAG
    kEnPassantMark,    // an "e.p." after a move
    kPromotionFigure,  // the figure of a promotion's piece after its '=' ("e8=\u2655")
    kTagHead,          // after a '[': its name, up to the value's '"' that makes it a tag
    kBracket,          // a bracket in the moves that is no tag, up to its ']'
    kTag,              // the line of a tag, after its '['
  };
  struct Token {
    TokenKind kind = TokenKind::kEnd;
    std::string text;   // the move or result; the tag's name
    std::string value;  // the tag's value
    int64_t line = 0;
    int64_t offset = 0;  // in the source, of the token's first byte
  };
  // An open file descriptor, closed with its owner.
  struct File {
    int fd = -1;
    File() = default;
    explicit File(int fd) : fd(fd) {}
    File(File&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    File& operator=(File&& other) noexcept;
    ~File();
  };
  static constexpr size_t kMaxTokenBytes = 64;  // longer symbols are cut; no move is near that long
  // Longer lines are cut: room for a name and a value of the longest a
  // writer gives, each of its bytes escaped.
  static constexpr size_t kMaxTagLineBytes = 2 * kMaxTagValueBytes + 4 * kMaxTokenBytes;

  PgnReader() = default;
  int get();
  int peek();
  int refill();
  // Calls read with no chunk budget until it gives a game or the end, going
  // on after a read interrupted by a signal; true for a game.
  bool read_unbudgeted(Progress (PgnReader::*read)(PgnGame&, int64_t&), PgnGame& game);
  // Where the byte that get() returned last stands in the source.
  int64_t offset_of_last_byte() const { return consumed_ + static_cast<int64_t>(pos_) - 1; }
  bool parse_tag(std::string_view line, Token& token) const;
  TokenKind symbol_kind(const Token& token) const;
  TokenKind next_token();
  void start_game(const Token& first);
  // Keeps a tag of the game's header (taking its text), noting where the
  // tags the start position depends on stand.
  void add_tag(Token& tag);
  void enter_movetext();
  void add_move(const Token& token);
  Progress finish(PgnGame& game, bool by_result);

  File file_;
  ByteSource source_;
  std::string text_;  // the whole text, or the current chunk of the file or source
  size_t pos_ = 0;
  int64_t consumed_ = 0;  // bytes of the file or source before text_
  bool read_moves_ = true;
  size_t limit_ = 0;  // the end of the bytes that may be scanned before the next refill
  int64_t chunk_budget_ = 0;
  int64_t line_ = 1;
  bool at_line_start_ = true;
  bool after_cr_ = false;  // the last byte was a CR: an LF right after it ends no other line
  bool started_ = false;   // a byte-order mark is skipped before the first byte
  int variation_depth_ = 0;
  Scan scan_ = Scan::kBetween;
  Token token_;           // the token being read
  std::string tag_line_;  // the line of the tag being read
  enum class TagHead : uint8_t { kBeforeName, kName, kAfterName };
  TagHead tag_head_ = TagHead::kBeforeName;
  size_t mark_matched_ = 0;        // bytes of an "e.p." or a promotion's figure matched so far
  uint32_t promotion_figure_ = 0;  // the bytes of a promotion's figure matched so far
  uint32_t between_bytes_ = 0;     // the last three bytes passed over between tokens, the latest lowest
  Token pending_;                  // a tag that ended the previous game and starts the next
  bool has_pending_ = false;
  // The game being read.
  PgnGame game_;
  Position position_;
  bool game_started_ = false, in_movetext_ = false;
  bool after_result_ = false;     // the last game ended at its result token, and no blank line came since
  bool blank_line_ = true;        // nothing but spaces on the line so far
  bool blank_after_tag_ = false;  // a blank line came after the game's last tag
  int64_t fen_line_ = 0;          // where the FEN tag stands, named when it is faulty
  int64_t variant_line_ = 0;      // where the Variant tag stands, named when it is no chess
};

}  // namespace varnok
