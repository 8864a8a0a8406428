#include "env/move_sampler.hpp"

#include "core/piece_targets.hpp"

namespace varnok {

namespace {
inline Bitboard shift(Bitboard b, int by) { return by > 0 ? b << by : b >> -by; }
}  // namespace

MoveSampler::MoveSampler(const Position& position) {
  if (position.side == kWhite)
    fill<kWhite>(position);
  else
    fill<kBlack>(position);
}

template <Colour Us>
void MoveSampler::fill(const Position& position) {
  constexpr Colour kThem = opponent_of(Us);
  const Bitboard all = position.occupancies[kBothColours];
  const Bitboard empty = ~all;
  opponent_ = position.occupancies[kThem];
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
  constexpr int kPawnPiece = piece_of(Us, kPawn), kQueenPiece = piece_of(Us, kQueen);
  constexpr int kForward = forward_of(Us);
  constexpr Bitboard kPromoting = promotion_from_rank(Us);
  const Bitboard pawns = position.bitboards[kPawnPiece];
  const Bitboard single = shift(pawns & ~kPromoting, kForward) & empty;
  add(single, -1, -kForward, kPawnPiece, 0, 0);
  add(shift(single & shift(pawn_start_rank(Us), kForward), kForward) & empty, -1, -2 * kForward, kPawnPiece,
      kDoublePushFlag, 0);
  add(shift(pawns & kPromoting, kForward) & empty, -1, -kForward, kPawnPiece, 0, kQueenPiece);
  // Captures towards the a-file side and the h-file side.
  constexpr int kWest = kForward - 1, kEast = kForward + 1;
  const Bitboard west_takers = pawns & ~kFileA, east_takers = pawns & ~kFileH;
  add(shift(west_takers & ~kPromoting, kWest) & opponent_, -1, -kWest, kPawnPiece, kCaptureFlag, 0);
  add(shift(east_takers & ~kPromoting, kEast) & opponent_, -1, -kEast, kPawnPiece, kCaptureFlag, 0);
  add(shift(west_takers & kPromoting, kWest) & opponent_, -1, -kWest, kPawnPiece, kCaptureFlag, kQueenPiece);
  add(shift(east_takers & kPromoting, kEast) & opponent_, -1, -kEast, kPawnPiece, kCaptureFlag, kQueenPiece);
  if (position.enpassant != kNoSquare)
    for (Bitboard takers = attack_tables().pawn_attack_sets[kThem][position.enpassant] & pawns; takers;
         takers &= takers - 1)
      extra_[extra_used_++] =
          encode_move(lsb_index(takers), position.enpassant, kPawnPiece, 0, kCaptureFlag | kEnPassantFlag);

  // The other pieces as move generation walks them, one group each.
  const auto add_piece = [&](int piece, int source, Bitboard targets) { add(targets, source, 0, piece, 0, 0); };
  for_each_piece_targets<Us, kKnight>(position, add_piece);
  for_each_piece_targets<Us, kBishop>(position, add_piece);
  for_each_piece_targets<Us, kRook>(position, add_piece);
  for_each_piece_targets<Us, kQueen>(position, add_piece);
  for_each_piece_targets<Us, kKing>(position, add_piece);
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
