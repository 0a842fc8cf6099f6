// Element-wise loops over entries 1..n shared with a team: the entries are cut
// into pieces of consecutive entries, each piece run by one thread. Each entry
// is computed by the same operations whichever thread runs it, so an
// element-wise loop gives the same bits however it is shared; a reduction keeps
// one partial result per piece and combines them in piece order.
#pragma once

#include <algorithm>

#include "parallel/Team.hpp"

namespace quarno {

// The fewest entries of a loop that is shared: below that the caller alone
// finishes sooner than it could hand pieces out.
constexpr int kShareMin = 8192;
// Entries of a piece, at the least; a loop has at most kMaxPieces pieces.
constexpr int kSharePiece = 1024;
constexpr int kMaxPieces = 256;

// Whether a loop over n entries is shared with team (null: no team).
inline bool shares(const Team* team, int n) { return team != nullptr && n >= kShareMin; }

// Runs body(piece, i0, i1) for the pieces i0..i1 of the entries 1..n: with the
// team when shares(team, n), else on the caller as the one piece 0, 1..n.
// Returns the number of pieces (at most kMaxPieces). The pieces must write
// disjoint data.
template <class Body>
int share_pieces(Team* team, int n, Body&& body) {
  if (!shares(team, n)) {
    body(0, 1, n);
    return 1;
  }
  struct Context {
    Body& body;
    int n;
    int size;
  };
  const int least = (n + kMaxPieces - 1) / kMaxPieces;
  Context context{body, n, std::max(kSharePiece, least)};
  const int pieces = (n + context.size - 1) / context.size;
  team->run(
      pieces,
      [](void* c, int p) {
        const Context& x = *static_cast<const Context*>(c);
        const int i0 = 1 + p * x.size;
        x.body(p, i0, std::min(x.n, i0 + x.size - 1));
      },
      &context, false);
  return pieces;
}

// Runs body(i0, i1) over the entries 1..n as share_pieces does.
template <class Body>
void share_loop(Team* team, int n, Body&& body) {
  share_pieces(team, n, [&body](int, int i0, int i1) { body(i0, i1); });
}

}  // namespace quarno
