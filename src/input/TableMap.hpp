#pragma once

#include "model/Array.hpp"

namespace quarno {

// Maps a table (positions x(1..n), values v(1..n)) onto the nodes
// X(1..N). Row k and row k+1 bound segment k; the last segment runs from
// x(n-1) to the last node X(N). Each node takes, with mode 0 (step rule), the
// value of the segment's first row, with mode 1 (linear rule), the line
// through the segment's ends. A node up to 0.0001 m beyond a segment's end
// still belongs to that segment. The segment index only moves forward.
void map_table(const Array<double>& v, const Array<double>& x, Array<double>& result,
             const Array<double>& X, int n, int N, int mode);

}  // namespace quarno
