#include "env/state_bytes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "env/move_log.hpp"

namespace varnok {

namespace {

constexpr char kMagic[4] = {'V', 'R', 'N', 'K'};
constexpr size_t kHeaderSize = 4 + 2 + 1 + 4;
constexpr size_t kChecksumSize = 4;

// Whether a State belongs to a Chess960 game, which needs format version 3.
bool is_chess960_state(const State& s) {
  return s.chess960 || s.start_position.chess960 || s.castling_rook_files != Position{}.castling_rook_files ||
         s.start_position.castling_rook_files != Position{}.castling_rook_files;
}
uint16_t version_for(const State& s) {
  return is_chess960_state(s) ? kChess960StateBytesVersion : kStandardStateBytesVersion;
}

// History entry forms.
enum EntryForm : uint8_t { kPackedEntry = 0, kNestedEntry = 1 };
// Repetition count forms: the counts replaying the move log gives under the
// classic rules or (from format version 2) under the FIDE rules, or listed.
enum RepetitionForm : uint8_t { kReplayedCounts = 0, kListedCounts = 1, kReplayedFideCounts = 2 };

// The first format version this build reads. Version 1 knew no
// kReplayedFideCounts and kept a FIDE game's no-progress count as the
// classic rules count it (one more than the half-move clock after a pawn
// move or capture in the log); reading it turns that count into the clock.
constexpr uint16_t kOldestStateBytesVersion = 1;

[[noreturn]] void refuse(const std::string& why) { throw std::invalid_argument("State bytes: " + why); }

uint32_t fnv1a(std::string_view bytes) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

class Writer {
 public:
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) {
    u8(v & 0xff);
    u8(v >> 8);
  }
  void u32(uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  }
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void u64(uint64_t v) {
    u32(v & 0xffffffffu);
    u32(v >> 32);
  }
  void count(size_t n) {
    if (n > UINT32_MAX) throw std::invalid_argument("State bytes: a list of more than 2**32 - 1 entries");
    u32(static_cast<uint32_t>(n));
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads a payload front to back; every read past the end refuses the bytes.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  size_t left() const { return bytes_.size() - pos_; }
  uint8_t u8() {
    need(1);
    return static_cast<uint8_t>(bytes_[pos_++]);
  }
  uint16_t u16() {
    const uint16_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  uint64_t u64() {
    const uint64_t low = u32();
    return low | (static_cast<uint64_t>(u32()) << 32);
  }
  // A count of entries of at least entry_size bytes each, checked against the bytes left.
  size_t count(size_t entry_size, const char* what) {
    const uint32_t n = u32();
    if (n > left() / entry_size) refuse(std::string(what) + " count " + std::to_string(n) + " runs past the end");
    return n;
  }
  void need(size_t n) const {
    if (n > left()) refuse("cut short");
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// ---------------------------------------------------------------- boards

// Twelve disjoint piece bitboards as an occupancy word and a 4-bit piece
// code per occupied square, in square order; false when they overlap.
bool packable(const std::array<Bitboard, kPieces>& pieces) {
  Bitboard seen = 0;
  for (Bitboard b : pieces) {
    if (seen & b) return false;
    seen |= b;
  }
  return true;
}

void write_pieces(Writer& w, const std::array<Bitboard, kPieces>& pieces) {
  Bitboard occupied = 0;
  for (Bitboard b : pieces) occupied |= b;
  w.u64(occupied);
  uint8_t pending = 0;
  bool half = false;
  for (Bitboard left = occupied; left; left &= left - 1) {
    const Bitboard bit = left & -left;
    uint8_t code = 0;
    while (!(pieces[code] & bit)) ++code;
    if (half) {
      w.u8(static_cast<uint8_t>(pending | (code << 4)));
    } else {
      pending = code;
    }
    half = !half;
  }
  if (half) w.u8(pending);
}

std::array<Bitboard, kPieces> read_pieces(Reader& r) {
  const Bitboard occupied = r.u64();
  const int count = std::popcount(occupied);
  r.need((count + 1) / 2);
  std::array<Bitboard, kPieces> pieces{};
  uint8_t pair = 0;
  int k = 0;
  for (Bitboard left = occupied; left; left &= left - 1, ++k) {
    if (k % 2 == 0) pair = r.u8();
    const uint8_t code = k % 2 == 0 ? pair & 15 : pair >> 4;
    if (code >= kPieces) refuse("piece code " + std::to_string(code) + " is not one of the 12 pieces");
    pieces[code] |= left & -left;
  }
  if (count % 2 == 1 && (pair >> 4) != 0) refuse("padding bits of a board are set");
  return pieces;
}

// Side, en-passant square and castling rights, one byte each.
void write_position_fields(Writer& w, int32_t side, int32_t enpassant, int32_t castle) {
  if (side < kWhite || side > kBlack || enpassant < 0 || enpassant > kNoSquare || castle < 0 || castle > kAllCastling)
    throw std::invalid_argument("State bytes: side, en-passant square or castling rights out of range");
  w.u8(static_cast<uint8_t>(side));
  w.u8(static_cast<uint8_t>(enpassant));
  w.u8(static_cast<uint8_t>(castle));
}

void read_position_fields(Reader& r, int32_t& side, int32_t& enpassant, int32_t& castle) {
  side = r.u8();
  enpassant = r.u8();
  castle = r.u8();
  if (side > kBlack) refuse("side to move " + std::to_string(side) + " is not 0 or 1");
  if (enpassant > kNoSquare) refuse("en-passant square " + std::to_string(enpassant) + " is not 0 to 64");
  if (castle > kAllCastling) refuse("castling rights " + std::to_string(castle) + " are not 0 to 15");
}

std::array<Bitboard, 3> occupancies_of(const std::array<Bitboard, kPieces>& pieces) {
  std::array<Bitboard, 3> out{};
  for (int k = 0; k < kPieces / 2; ++k) {
    out[kWhite] |= pieces[k];
    out[kBlack] |= pieces[k + kPieces / 2];
  }
  out[kBothColours] = out[kWhite] | out[kBlack];
  return out;
}

void write_position(Writer& w, const Position& p) {
  if (!packable(p.bitboards) || p.occupancies != occupancies_of(p.bitboards))
    throw std::invalid_argument("State bytes: the start position's pieces overlap");
  write_pieces(w, p.bitboards);
  write_position_fields(w, p.side, p.enpassant, p.castle);
  w.i32(p.no_progress_count);
}

Position read_position(Reader& r) {
  Position p;
  p.bitboards = read_pieces(r);
  p.occupancies = occupancies_of(p.bitboards);
  read_position_fields(r, p.side, p.enpassant, p.castle);
  p.no_progress_count = r.i32();
  return p;
}

// ---------------------------------------------------------------- history entries

// The entry as piece bitboards and its two repetition values, when it is
// a record whose boards also pack (never two pieces on a square).
bool as_record(const NestedPlanes& entry, HistoryRecord& record) {
  return record_of(entry, record) && packable(record.pieces);
}

void write_entry(Writer& w, const NestedPlanes& entry) {
  HistoryRecord record;
  if (as_record(entry, record)) {
    w.u8(kPackedEntry);
    write_pieces(w, record.pieces);
    w.i32(record.repetition[0]);
    w.i32(record.repetition[1]);
    return;
  }
  w.u8(kNestedEntry);
  w.count(entry.size());
  for (const auto& plane : entry) {
    w.count(plane.size());
    for (int32_t v : plane) w.i32(v);
  }
}

NestedPlanes read_entry(Reader& r) {
  const uint8_t form = r.u8();
  if (form == kPackedEntry) {
    HistoryRecord record;
    record.pieces = read_pieces(r);
    record.repetition[0] = r.i32();
    record.repetition[1] = r.i32();
    return planes_of(record);
  }
  if (form != kNestedEntry) refuse("history entry form " + std::to_string(form) + " is unknown");
  NestedPlanes entry(r.count(4, "history plane"));
  for (auto& plane : entry) {
    plane.resize(r.count(4, "history value"));
    for (int32_t& v : plane) v = r.i32();
  }
  return entry;
}

// ---------------------------------------------------------------- repetition counts

// The counts an episode under rules from the start position through the
// logged moves records, or false when the log does not replay from there.
bool replayed_counts(const State& state, DrawRules rules, std::unordered_map<uint64_t, int32_t>& counts) {
  const std::optional<Episode> board = replayed_game(state, rules);
  if (!board) return false;
  counts.clear();
  board->repetition_count.for_each([&](uint64_t key, int32_t count) { counts.emplace(key, count); });
  return true;
}

template <class Map>
std::vector<std::pair<typename Map::key_type, typename Map::mapped_type>> sorted_entries(const Map& map) {
  std::vector<std::pair<typename Map::key_type, typename Map::mapped_type>> out(map.begin(), map.end());
  std::sort(out.begin(), out.end());
  return out;
}

// ---------------------------------------------------------------- the State payload

// The Chess960 fields of a State, which lead the payload from version 3 on.
struct Chess960Fields {
  bool position = false, start = false;
  std::array<int8_t, kCastlingRights> position_files = Position{}.castling_rook_files;
  std::array<int8_t, kCastlingRights> start_files = Position{}.castling_rook_files;
};

void write_chess960_fields(Writer& w, const State& s) {
  w.u8(static_cast<uint8_t>((s.chess960 ? 1 : 0) | (s.start_position.chess960 ? 2 : 0)));
  for (const auto& files : {s.castling_rook_files, s.start_position.castling_rook_files})
    for (const int8_t file : files) {
      if (file < 0 || file >= kFiles) throw std::invalid_argument("State bytes: a castling rook file is not 0 to 7");
      w.u8(static_cast<uint8_t>(file));
    }
}

Chess960Fields read_chess960_fields(Reader& r) {
  Chess960Fields c;
  const uint8_t flags = r.u8();
  if (flags > 3) refuse("Chess960 flags " + std::to_string(flags) + " are not 0 to 3");
  c.position = flags & 1;
  c.start = flags & 2;
  for (auto* files : {&c.position_files, &c.start_files})
    for (int8_t& file : *files) {
      const uint8_t value = r.u8();
      if (value >= kFiles) refuse("castling rook file " + std::to_string(value) + " is not 0 to 7");
      file = static_cast<int8_t>(value);
    }
  return c;
}

void write_state(Writer& w, const State& s) {
  if (is_chess960_state(s)) write_chess960_fields(w, s);
  if (!packable(s.bitboards) || s.occupancies != occupancies_of(s.bitboards))
    throw std::invalid_argument("State bytes: the position's pieces overlap");
  write_pieces(w, s.bitboards);
  write_position_fields(w, s.side, s.enpassant, s.castle);
  for (int32_t v :
       {s.state_pos, s.total_move_count, s.no_progress_count, s.n_repetitions, s.prev_n_repetitions, s.start_fullmove})
    w.i32(v);
  write_position(w, s.start_position);

  w.count(s.state_history.size());
  for (const NestedPlanes& entry : s.state_history) write_entry(w, entry);

  w.count(s.moves.size());
  for (uint16_t move : s.moves) w.u16(move);

  std::unordered_map<uint64_t, int32_t> replayed;
  if (replayed_counts(s, DrawRules::kClassic, replayed) && replayed == s.repetition_count) {
    w.u8(kReplayedCounts);
  } else if (replayed_counts(s, DrawRules::kFide, replayed) && replayed == s.repetition_count) {
    w.u8(kReplayedFideCounts);
  } else {
    w.u8(kListedCounts);
    w.count(s.repetition_count.size());
    for (const auto& [key, count] : sorted_entries(s.repetition_count)) {
      w.u64(key);
      w.i32(count);
    }
  }

  w.count(s.move_index.size());
  for (const auto& [action, move] : sorted_entries(s.move_index)) {
    w.i32(action);
    w.i32(move);
  }
}

State read_state(Reader& r, uint16_t version) {
  State s;
  const Chess960Fields chess960 = version >= kChess960StateBytesVersion ? read_chess960_fields(r) : Chess960Fields{};
  s.chess960 = chess960.position;
  s.castling_rook_files = chess960.position_files;
  s.bitboards = read_pieces(r);
  s.occupancies = occupancies_of(s.bitboards);
  read_position_fields(r, s.side, s.enpassant, s.castle);
  for (int32_t* v : {&s.state_pos, &s.total_move_count, &s.no_progress_count, &s.n_repetitions, &s.prev_n_repetitions,
                     &s.start_fullmove})
    *v = r.i32();
  s.start_position = read_position(r);
  s.start_position.chess960 = chess960.start;
  s.start_position.castling_rook_files = chess960.start_files;

  s.state_history.resize(r.count(1, "history entry"));
  for (NestedPlanes& entry : s.state_history) entry = read_entry(r);

  s.moves.resize(r.count(2, "move"));
  for (uint16_t& move : s.moves) move = r.u16();

  const uint8_t form = r.u8();
  if (form == kReplayedCounts || (form == kReplayedFideCounts && version >= 2)) {
    if (s.start_fullmove < 1) refuse("start_fullmove " + std::to_string(s.start_fullmove) + " is below 1");
    const DrawRules rules = form == kReplayedCounts ? DrawRules::kClassic : DrawRules::kFide;
    if (!replayed_counts(s, rules, s.repetition_count)) refuse("the move log does not replay from the start position");
  } else if (form == kListedCounts) {
    const size_t n = r.count(12, "repetition");
    for (size_t i = 0; i < n; ++i) {
      const uint64_t key = r.u64();
      if (!s.repetition_count.emplace(key, r.i32()).second) refuse("a position hash is listed twice");
    }
  } else {
    refuse("repetition form " + std::to_string(form) + " is unknown");
  }

  const size_t n = r.count(8, "action map");
  for (size_t i = 0; i < n; ++i) {
    const int32_t action = r.i32();
    if (!s.move_index.emplace(action, r.i32()).second) refuse("an action is listed twice");
  }
  return s;
}

// A FIDE game written in format version 1, as this version keeps it: the
// no-progress count as the half-move clock, and counts replayed under the
// classic rules replayed again under the FIDE rules.
void update_version_1_fide_game(State& s) {
  Episode classic;
  classic.start_position = s.start_position;
  classic.move_log = s.moves;
  classic.position.no_progress_count = s.no_progress_count;
  s.no_progress_count = classic.halfmove_clock();
  std::unordered_map<uint64_t, int32_t> replayed;
  if (replayed_counts(s, DrawRules::kClassic, replayed) && replayed == s.repetition_count &&
      replayed_counts(s, DrawRules::kFide, replayed))
    s.repetition_count = std::move(replayed);
}

// The payload of bytes of the given kind and their format version, after
// checking the frame.
std::pair<std::string_view, uint16_t> payload_of(std::string_view bytes, StateBytesKind kind) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    refuse("not varnok game bytes (no VRNK magic)");
  if (bytes.size() < kHeaderSize + kChecksumSize) refuse("cut short");
  Reader header(bytes.substr(sizeof kMagic, kHeaderSize - sizeof kMagic));
  const uint16_t version = header.u16();
  if (version < kOldestStateBytesVersion || version > kStateBytesVersion)
    refuse("written in format version " + std::to_string(version) + ", this build reads versions " +
           std::to_string(kOldestStateBytesVersion) + " to " + std::to_string(kStateBytesVersion));
  const uint8_t found_kind = header.u8();
  if (found_kind != static_cast<uint8_t>(kind))
    refuse(found_kind == static_cast<uint8_t>(StateBytesKind::kState)   ? "these are the bytes of a State"
           : found_kind == static_cast<uint8_t>(StateBytesKind::kBoard) ? "these are the bytes of a ChessEnv"
                                                                        : "unknown kind of bytes");
  const uint32_t length = header.u32();
  if (length != bytes.size() - kHeaderSize - kChecksumSize) refuse("cut short or with bytes added");
  Reader trailer(bytes.substr(bytes.size() - kChecksumSize));
  if (trailer.u32() != fnv1a(bytes.substr(0, bytes.size() - kChecksumSize))) refuse("damaged (checksum mismatch)");
  return {bytes.substr(kHeaderSize, length), version};
}

void expect_end(const Reader& r) {
  if (r.left() != 0) refuse(std::to_string(r.left()) + " stray bytes after the game");
}

}  // namespace

std::string framed_bytes(StateBytesKind kind, std::string_view payload, uint16_t version) {
  Writer w;
  for (char c : kMagic) w.u8(static_cast<uint8_t>(c));
  w.u16(version);
  w.u8(static_cast<uint8_t>(kind));
  w.count(payload.size());
  std::string out = w.take();
  out.append(payload);
  Writer checksum;
  checksum.u32(fnv1a(out));
  return out + checksum.take();
}

std::string state_to_bytes(const State& state) {
  Writer w;
  write_state(w, state);
  return framed_bytes(StateBytesKind::kState, w.take(), version_for(state));
}

State state_from_bytes(std::string_view bytes) {
  const auto [payload, version] = payload_of(bytes, StateBytesKind::kState);
  Reader r(payload);
  State state = read_state(r, version);
  expect_end(r);
  return state;
}

std::string board_to_bytes(const Episode& board) {
  Writer w;
  w.u8(static_cast<uint8_t>(board.rules));
  w.u8(board.after_reset ? 1 : 0);
  w.u8(static_cast<uint8_t>(board.last_termination));
  const State state = board.save_state();
  const bool chess960 = board.chess960 || is_chess960_state(state);
  if (chess960) {
    w.u8(board.chess960 ? 1 : 0);
    w.u64(board.chess960_seed);
    w.u64(board.chess960_draws);
  }
  write_state(w, state);
  return framed_bytes(StateBytesKind::kBoard, w.take(),
                      chess960 ? kChess960StateBytesVersion : kStandardStateBytesVersion);
}

Episode board_from_bytes(std::string_view bytes) {
  const auto [payload, version] = payload_of(bytes, StateBytesKind::kBoard);
  Reader r(payload);
  const uint8_t rules = r.u8();
  const uint8_t after_reset = r.u8();
  const uint8_t termination = r.u8();
  if (rules > static_cast<uint8_t>(DrawRules::kFideStrict))
    refuse("draw rules " + std::to_string(rules) + " are unknown");
  if (after_reset > 1) refuse("the after-reset flag is not 0 or 1");
  if (termination > static_cast<uint8_t>(Termination::kMoveCap))
    refuse("termination " + std::to_string(termination) + " is unknown");
  Episode board(static_cast<DrawRules>(rules));
  if (version >= kChess960StateBytesVersion) {
    const uint8_t option = r.u8();
    if (option > 1) refuse("the Chess960 option is not 0 or 1");
    board.chess960 = option == 1;
    board.chess960_seed = r.u64();
    board.chess960_draws = r.u64();
  }
  State state = read_state(r, version);
  expect_end(r);
  if (version == 1 && rules == static_cast<uint8_t>(DrawRules::kFide)) update_version_1_fide_game(state);
  board.restore_state(state);
  board.after_reset = after_reset == 1;
  board.last_termination = static_cast<Termination>(termination);
  return board;
}

}  // namespace varnok
