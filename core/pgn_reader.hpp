// A streaming PGN reader. Games come one at a time from a file, read in
// fixed-size chunks so that files of any size stream in constant memory
// (beyond the game being read), or from a text held in memory.
//
// Per game: the tag pairs in file order, the start position (the FEN tag's,
// else the initial position), the mainline moves found by reading each SAN
// from the position before it, the result token, and the line where the game
// starts. Comments ({...} and ; to the end of the line), NAGs ($n), move
// numbers (1. and 1...), recursive variations (skipped with everything in
// them), escape lines (% in the first column) and odd spacing are passed
// over; a game may lack its result token, the next tag section then ends it.
//
// A game whose FEN tag or one of whose moves cannot be read is still handed
// out, with error and error_line set; its remaining moves are skipped and
// reading goes on with the next game. The caller decides whether to skip
// such games or stop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/position.hpp"

namespace varnok {

using PgnHeaders = std::vector<std::pair<std::string, std::string>>;

struct PgnGame {
  PgnHeaders headers;
  Position start;
  int32_t start_fullmove = 1;
  std::vector<Move> moves;  // legal one after the other from start
  std::string result;       // "1-0", "0-1", "1/2-1/2", "*", or empty when the game gives none
  int64_t line = 0;         // 1-based line of the game's first tag or move
  int64_t offset = 0;       // byte offset of that tag's '[' or that move in the source
  std::string error;        // empty for a game read completely
  int64_t error_line = 0;

  bool ok() const { return error.empty(); }
  // The value of the last tag called name, or nullptr.
  const std::string* header(std::string_view name) const;
  // The moves in UCI notation.
  std::vector<std::string> uci() const;
};

class PgnReader {
 public:
  // Throws std::system_error (with the errno) when the file cannot be opened
  // or is a folder.
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

 private:
  enum class TokenKind { kTag, kMove, kResult, kEnd };
  struct Token {
    TokenKind kind = TokenKind::kEnd;
    std::string text;   // the move or result; the tag's name
    std::string value;  // the tag's value
    int64_t line = 0;
    int64_t offset = 0;  // in the source, of the token's first byte
  };
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  static constexpr size_t kChunkBytes = 1 << 16;
  static constexpr size_t kMaxTokenBytes = 64;  // longer symbols are cut; no move is near that long
  static constexpr size_t kMaxTagValueBytes = 1 << 16;

  PgnReader() = default;
  int get();
  int peek();
  bool refill();
  void skip_line();
  void skip_comment();
  bool read_tag(Token& token);
  void next_token(Token& token);

  std::unique_ptr<std::FILE, FileCloser> file_;
  ByteSource source_;
  std::string text_;  // the whole text, or the current chunk of the file
  size_t pos_ = 0;
  int64_t consumed_ = 0;  // bytes of the source before text_
  bool read_moves_ = true;
  int64_t line_ = 1;
  bool at_line_start_ = true;
  bool started_ = false;  // a byte-order mark is skipped before the first byte
  int variation_depth_ = 0;
  Token pending_;  // a tag that ended the previous game and starts the next
  bool has_pending_ = false;
};

}  // namespace varnok
