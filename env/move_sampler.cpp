#include "env/move_sampler.hpp"

namespace varnok {

namespace {
inline Bitboard shift(Bitboard b, int by) { return by > 0 ? b << by : b >> -by; }
}  // namespace

MoveSampler::MoveSampler(const Position& position) {
  const AttackTables& t = attack_tables();
  const int us = position.side, them = opponent_of(us);
  const Bitboard own = position.occupancies[us];
  const Bitboard all = position.occupancies[kBothColours];
  const Bitboard empty = ~all;
  opponent_ = position.occupancies[them];
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
  const int pawn = piece_of(us, kPawn);
  const Bitboard pawns = position.bitboards[pawn];
  const int forward = forward_of(us);
  const Bitboard promoting = promotion_from_rank(us);
  const Bitboard start = pawn_start_rank(us);
  const int queen = piece_of(us, kQueen);
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
  if (position.enpassant != kNoSquare)
    for (Bitboard takers = t.pawn_attack_sets[them][position.enpassant] & pawns; takers; takers &= takers - 1)
      extra_[extra_used_++] =
          encode_move(lsb_index(takers), position.enpassant, pawn, 0, kCaptureFlag | kEnPassantFlag);

  const int knight = piece_of(us, kKnight), bishop = piece_of(us, kBishop), rook = piece_of(us, kRook);
  for (Bitboard b = position.bitboards[knight]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(t.knight_attack_sets[s] & ~own, s, 0, knight, 0, 0);
  }
  for (Bitboard b = position.bitboards[bishop]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(bishop_lookup(s, all) & ~own, s, 0, bishop, 0, 0);
  }
  for (Bitboard b = position.bitboards[rook]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(rook_lookup(s, all) & ~own, s, 0, rook, 0, 0);
  }
  for (Bitboard b = position.bitboards[queen]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(queen_lookup(s, all) & ~own, s, 0, queen, 0, 0);
  }
  const int king = piece_of(us, kKing);
  for (Bitboard b = position.bitboards[king]; b; b &= b - 1) {
    const int s = lsb_index(b);
    add(t.king_attack_sets[s] & ~own, s, 0, king, 0, 0);
  }
  Move castling[2];
  const int castlings = position.castling_moves(castling);
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
