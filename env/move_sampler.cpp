#include "env/move_sampler.hpp"

namespace varnok {

namespace {
constexpr Bitboard kFileA = 0x0101010101010101ULL;
constexpr Bitboard kFileH = 0x8080808080808080ULL;
constexpr Bitboard kRow1 = 0x000000000000FF00ULL;  // rank 7: white pawns about to promote
constexpr Bitboard kRow6 = 0x00FF000000000000ULL;  // rank 2: white start, black about to promote

inline Bitboard shift(Bitboard b, int by) { return by > 0 ? b << by : b >> -by; }
}  // namespace

MoveSampler::MoveSampler(const Board& board) {
  const AttackTables& t = attack_tables();
  const int us = board.side, them = us ^ 1, base = 6 * us;
  const Bitboard own = board.occupancies[us];
  const Bitboard all = board.occupancies[2];
  const Bitboard empty = ~all;
  opponent_ = board.occupancies[them];
  // Counted in locals: stores into the group array could otherwise be taken
  // to change the counters, which would then live in memory.
  int used = 0, total = 0;
  const auto add = [&](Bitboard targets, int source, int offset, int piece, int flags, int promote) {
    if (!targets) return;
    const int count = population_count(targets) * (promote ? 4 : 1);
    groups_[used++] = {targets, source, offset, piece, flags, promote, count};
    total += count;
  };

  // Pawns, set-wise. White moves towards lower squares (-8 a rank).
  const int pawn = base + WP;
  const Bitboard pawns = board.bitboards[pawn];
  const int forward = us == kWhite ? -8 : 8;
  const Bitboard promoting = us == kWhite ? kRow1 : kRow6;
  const Bitboard start = us == kWhite ? kRow6 : kRow1;
  const int queen = base + WQ;
  const Bitboard single = shift(pawns & ~promoting, forward) & empty;
  add(single, -1, -forward, pawn, 0, 0);
  add(shift(single & shift(start, forward), forward) & empty, -1, -2 * forward, pawn, kDoublePushFlag, 0);
  add(shift(pawns & promoting, forward) & empty, -1, -forward, pawn, 0, queen);
  // Captures towards the a-file side and the h-file side.
  const int west = forward - 1, east = forward + 1;
  const Bitboard west_takers = pawns & ~kFileA, east_takers = pawns & ~kFileH;
  add(shift(west_takers & ~promoting, west) & opponent_, -1, -west, pawn, kCaptureFlag, 0);
  add(shift(east_takers & ~promoting, east) & opponent_, -1, -east, pawn, kCaptureFlag, 0);
  add(shift(west_takers & promoting, west) & opponent_, -1, -west, pawn, kCaptureFlag, queen);
  add(shift(east_takers & promoting, east) & opponent_, -1, -east, pawn, kCaptureFlag, queen);
  if (board.enpassant != kNoSquare)
    for (Bitboard takers = t.pawn_attack_sets[them][board.enpassant] & pawns; takers; takers &= takers - 1)
      extra_[extra_used_++] =
          encode_move(lsb_index(takers), board.enpassant, pawn, 0, kCaptureFlag | kEnPassantFlag);

  for (Bitboard b = board.bitboards[base + WN]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(t.knight_attack_sets[s] & ~own, s, 0, base + WN, 0, 0);
  }
  for (Bitboard b = board.bitboards[base + WB]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(bishop_lookup(s, all) & ~own, s, 0, base + WB, 0, 0);
  }
  for (Bitboard b = board.bitboards[base + WR]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(rook_lookup(s, all) & ~own, s, 0, base + WR, 0, 0);
  }
  for (Bitboard b = board.bitboards[queen]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(queen_lookup(s, all) & ~own, s, 0, queen, 0, 0);
  }
  for (Bitboard b = board.bitboards[base + WK]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(t.king_attack_sets[s] & ~own, s, 0, base + WK, 0, 0);
  }
  Move castling[2];
  const int castlings = board.castling_moves(castling);
  for (int i = 0; i < castlings; ++i) extra_[extra_used_++] = castling[i];
  groups_used_ = used;
  total_ = total + extra_used_;
}

Move MoveSampler::move_at(int index) const {
  for (int g = 0; g < groups_used_; ++g) {
    const Group& group = groups_[g];
    if (index >= group.count) {
      index -= group.count;
      continue;
    }
    const int nth = group.promote ? index / 4 : index;
    Bitboard bits = group.targets;
    for (int i = 0; i < nth; ++i) bits &= bits - 1;
    const int target = lsb_index(bits);
    const int source = group.source >= 0 ? group.source : target + group.offset;
    const int promoted = group.promote ? group.promote - index % 4 : 0;
    int flags = group.flags;
    if (group.source >= 0 && (opponent_ & square_bit(target))) flags |= kCaptureFlag;
    return encode_move(source, target, group.piece, promoted, flags);
  }
  return extra_[index];
}

}  // namespace varnok
