#include "env/observation_writer.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSSE3__)
#include <tmmintrin.h>
#endif

namespace varnok {

namespace {

// The eight plane values of each byte of a bitboard, in square order.
template <class T>
constexpr auto make_expansion() {
  std::array<std::array<T, 8>, 256> t{};
  for (int b = 0; b < 256; ++b)
    for (int j = 0; j < 8; ++j) t[b][j] = static_cast<T>((b >> j) & 1);
  return t;
}
template <class T>
constexpr std::array<std::array<T, 8>, 256> kExpansion = make_expansion<T>();

template <class T>
inline T value_as(int32_t v) {
  if constexpr (std::is_same_v<T, uint8_t>) return static_cast<T>(std::clamp<int32_t>(v, 0, 255));
  return static_cast<T>(v);
}

// How plane values reach memory: ordinary stores, or (Stream) stores that go
// around the cache. A batch of observations is far larger than the cache and
// is read later by someone else, so streaming saves reading every line in
// before it is overwritten.
template <class T, bool Stream>
struct PlaneStore {
  // Eight values from a table row.
  static void copy8(T* out, const T* from) { std::memcpy(out, from, sizeof(T) * 8); }
  static void fill(T* out, T value) { std::fill_n(out, kSquares, value); }
  static void done() {}
};

#if defined(__SSE2__)
// Planes start 16-byte aligned: rows are whole planes of 64 values and the
// batch buffers come from operator new.
template <class T>
  requires(sizeof(T) == 4)
struct PlaneStore<T, true> {
  static void copy8(T* out, const T* from) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(out), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
    _mm_stream_si128(reinterpret_cast<__m128i*>(out + 4), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 4)));
  }
  static void fill(T* out, T value) {
    int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const __m128i v = _mm_set1_epi32(bits);
    for (int i = 0; i < kSquares; i += 4) _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), v);
  }
  // Streaming stores are weakly ordered: fence them before the batch is handed on.
  static void done() { _mm_sfence(); }
};

template <>
struct PlaneStore<uint8_t, true> {
  static void copy8(uint8_t* out, const uint8_t* from) {
    long long eight;
    std::memcpy(&eight, from, sizeof eight);
    _mm_stream_si64(reinterpret_cast<long long*>(out), eight);
  }
  static void fill(uint8_t* out, uint8_t value) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    for (int i = 0; i < kSquares; i += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), v);
  }
  static void done() { _mm_sfence(); }
};
#endif

// A piece plane: 1 on the squares of bits.
template <class T, bool Stream>
inline void expand(Bitboard bits, T* out) {
  using Store = PlaneStore<T, Stream>;
  if (!bits) {
    Store::fill(out, T{0});
    return;
  }
  for (int k = 0; k < 8; ++k) Store::copy8(out + 8 * k, kExpansion<T>[(bits >> (8 * k)) & 255].data());
}

template <class T, bool Stream>
inline void fill(T* out, int32_t v) {
  PlaneStore<T, Stream>::fill(out, value_as<T>(v));
}

// One side's six piece planes, turned when turn is set.
inline void side_planes(const Bitboard* pieces, bool turn, uint64_t* out) {
  if (!turn) {
    std::copy_n(pieces, kPieceKinds, out);
    return;
  }
#if defined(__SSSE3__)
  // Two boards a register: each 64-bit lane's bytes in reverse order, each
  // byte's bits reversed through a table of reversed nibbles.
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i reversed_as_high =
      _mm_setr_epi8(0x00, char(0x80), 0x40, char(0xC0), 0x20, char(0xA0), 0x60, char(0xE0), 0x10, char(0x90), 0x50,
                    char(0xD0), 0x30, char(0xB0), 0x70, char(0xF0));
  const __m128i reversed_as_low =
      _mm_setr_epi8(0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF);
  const __m128i lane_bytes_backward = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  static_assert(kPieceKinds % 2 == 0);
  for (int k = 0; k < kPieceKinds; k += 2) {
    const __m128i boards = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pieces + k));
    const __m128i low = _mm_and_si128(boards, nibble);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(boards, 4), nibble);
    const __m128i bits = _mm_or_si128(_mm_shuffle_epi8(reversed_as_high, low), _mm_shuffle_epi8(reversed_as_low, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_shuffle_epi8(bits, lane_bytes_backward));
  }
#else
  // Square i of a turned plane shows square 63 - i: the bitboard read backwards.
  for (int k = 0; k < kPieceKinds; ++k) {
    Bitboard b = __builtin_bswap64(pieces[k]);
    b = ((b >> 1) & 0x5555555555555555ULL) | ((b & 0x5555555555555555ULL) << 1);
    b = ((b >> 2) & 0x3333333333333333ULL) | ((b & 0x3333333333333333ULL) << 2);
    b = ((b >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((b & 0x0F0F0F0F0F0F0F0FULL) << 4);
    out[k] = b;
  }
#endif
}

// Own pieces first: with black to move, black's planes lead.
constexpr int kWhiteFirst[kPieces] = {WP, WN, WB, WR, WQ, WK, BP, BN, BB, BR, BQ, BK};
constexpr int kBlackFirst[kPieces] = {BP, BN, BB, BR, BQ, BK, WP, WN, WB, WR, WQ, WK};
constexpr int kCastlingRightOfPlane[4] = {kWhiteKingSide, kWhiteQueenSide, kBlackKingSide, kBlackQueenSide};

inline uint64_t word_of(int32_t value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }
inline int32_t value_of(uint64_t word) { return static_cast<int32_t>(static_cast<int64_t>(word)); }

// The one walk over the history: writes the packed words of game (see
// write_packed_observation) and returns the history blocks (bit `back`) whose
// entries are planes given by a State, left zero here.
uint32_t pack(const ObservedGame& game, uint64_t* out) {
  const Position& p = game.position;
  const bool black = p.side == kBlack;
  const bool turn = black && !game.after_reset;
  const History& history = game.history;
  uint32_t given = 0;
  for (int back = 0; back < kHistorySlots; ++back) {
    uint64_t* block = out + kHistoryPlanes * back;
    const int slot = history.slot_back(back);
    const HistoryRecord* record = slot < 0 ? nullptr : history.record(slot);
    if (!record) {
      std::fill_n(block, kHistoryPlanes, uint64_t{0});
      if (slot >= 0) given |= 1u << back;
      continue;
    }
    const Bitboard* whites = record->pieces.data() + WP;
    const Bitboard* blacks = record->pieces.data() + BP;
    side_planes(black ? blacks : whites, turn, block);
    side_planes(black ? whites : blacks, turn, block + kPieceKinds);
    block[kWhiteRepetitionPlane] = word_of(record->repetition[0]);
    block[kBlackRepetitionPlane] = word_of(record->repetition[1]);
  }
  out[kSideToMovePlane] = word_of(p.side);
  out[kMoveCountPlane] = word_of(game.total_move_count);
  for (int r = 0; r < 4; ++r) out[kCastlingPlanes + r] = (p.castle & kCastlingRightOfPlane[r]) ? 1 : 0;
  out[kNoProgressPlane] = word_of(p.no_progress_count);
  return given;
}

// The values of packed words, but for the history blocks in skipped.
template <class T, bool Stream>
void unpack(const uint64_t* words, uint32_t skipped, T* out) {
  for (int back = 0; back < kHistorySlots; ++back) {
    if (skipped & (1u << back)) continue;
    const uint64_t* block_words = words + kHistoryPlanes * back;
    T* block = out + kSquares * kHistoryPlanes * back;
    for (int k = 0; k < kPieces; ++k) expand<T, Stream>(block_words[k], block + kSquares * k);
    for (int k = kWhiteRepetitionPlane; k < kHistoryPlanes; ++k)
      fill<T, Stream>(block + kSquares * k, value_of(block_words[k]));
  }
  for (int plane = kHistoryBlockPlanes; plane < kObservationPlanes; ++plane)
    fill<T, Stream>(out + kSquares * plane, value_of(words[plane]));
}

// The values of a history block kept as planes given by a State, in the
// order and the turn of the observation.
template <class T>
void write_given_block(const ObservedGame& game, int back, T* block) {
  const bool black = game.position.side == kBlack;
  const bool turn = black && !game.after_reset;
  const int (&order)[kPieces] = black ? kBlackFirst : kWhiteFirst;
  const HistoryEntry& entry = game.history.given_planes(game.history.slot_back(back));
  for (int k = 0; k < kHistoryPlanes; ++k) {
    const Plane& from = entry[k < kPieces ? order[k] : k];
    T* to = block + kSquares * k;
    for (int i = 0; i < kSquares; ++i) to[i] = value_as<T>(from[turn ? kSquares - 1 - i : i]);
  }
}

template <class T, bool Stream>
void write_planes(const ObservedGame& game, T* out) {
  uint64_t words[kObservationPlanes];
  uint32_t given = pack(game, words);
  unpack<T, Stream>(words, given, out);
  for (; given; given &= given - 1) {
    const int back = __builtin_ctz(given);
    write_given_block(game, back, out + kSquares * kHistoryPlanes * back);
  }
  PlaneStore<T, Stream>::done();
}

}  // namespace

template <class T>
void write_observation(const ObservedGame& game, T* out) {
  write_planes<T, false>(game, out);
}

template void write_observation<float>(const ObservedGame&, float*);
template void write_observation<int32_t>(const ObservedGame&, int32_t*);
template void write_observation<uint8_t>(const ObservedGame&, uint8_t*);

template <class T>
void unpack_observation(const uint64_t* packed, T* out) {
  unpack<T, false>(packed, 0, out);
}

template void unpack_observation<float>(const uint64_t*, float*);
template void unpack_observation<int32_t>(const uint64_t*, int32_t*);
template void unpack_observation<uint8_t>(const uint64_t*, uint8_t*);

bool write_packed_observation(const ObservedGame& game, uint64_t* out) { return pack(game, out) == 0; }

size_t observation_bytes(ObservationFormat format) {
  switch (format) {
    case ObservationFormat::kFloat32: return kObservationValues * sizeof(float);
    case ObservationFormat::kInt32: return kObservationValues * sizeof(int32_t);
    case ObservationFormat::kUint8: return kObservationValues * sizeof(uint8_t);
    case ObservationFormat::kPacked: return kObservationPlanes * sizeof(uint64_t);
  }
  return 0;
}

namespace {

// Above this many changed squares a piece plane is written whole: eight
// table rows cost less than that many single stores.
constexpr int kSquaresWorthSingleStores = 12;

template <class T>
void write_plane_changes(int plane, uint64_t now, uint64_t before, T* out) {
  T* values = out + kSquares * plane;
  if (!is_piece_plane(plane)) {
    fill<T, false>(values, value_of(now));
    return;
  }
  Bitboard changed = now ^ before;
  if (__builtin_popcountll(changed) > kSquaresWorthSingleStores) {
    expand<T, false>(now, values);
    return;
  }
  for (; changed; changed &= changed - 1) {
    const int square = __builtin_ctzll(changed);
    values[square] = static_cast<T>((now >> square) & 1);
  }
}

template <class T>
void write_changes(const ObservedGame& game, T* out, WrittenRow& written) {
  uint64_t now[kObservationPlanes];
  if (pack(game, now) != 0) {
    write_planes<T, false>(game, out);
    written.known = false;
    return;
  }
  for (int plane = 0; plane < kObservationPlanes; ++plane) {
    // An unknown row differs from the new observation everywhere.
    const uint64_t before = written.known ? written.planes[plane] : ~now[plane];
    if (before != now[plane]) write_plane_changes(plane, now[plane], before, out);
  }
  std::memcpy(written.planes, now, sizeof now);
  written.known = true;
}

// The one switch on the format: calls write_values with out as an array of
// format's values, or writes the packed words; false when those have no
// packed form.
template <class WriteValues>
bool write_in_format(ObservationFormat format, const ObservedGame& game, void* out, WriteValues write_values) {
  switch (format) {
    case ObservationFormat::kFloat32: write_values(static_cast<float*>(out)); return true;
    case ObservationFormat::kInt32: write_values(static_cast<int32_t*>(out)); return true;
    case ObservationFormat::kUint8: write_values(static_cast<uint8_t*>(out)); return true;
    case ObservationFormat::kPacked: return write_packed_observation(game, static_cast<uint64_t*>(out));
  }
  return false;
}

}  // namespace

void write_row_changes(ObservationFormat format, const ObservedGame& game, void* out, WrittenRow& written) {
  write_in_format(format, game, out, [&](auto* values) { write_changes(game, values, written); });
}

void write_batch_row(ObservationFormat format, const ObservedGame& game, void* out) {
  write_in_format(format, game, out, [&]<class T>(T* values) { write_planes<T, true>(game, values); });
}

bool write_cached_row(ObservationFormat format, const ObservedGame& game, void* out) {
  return write_in_format(format, game, out, [&]<class T>(T* values) { write_planes<T, false>(game, values); });
}

}  // namespace varnok
