#include "input/TableMap.hpp"

#include "model/Columns.hpp"

namespace quarno {

void map_table(const Array<double>& v, const Array<double>& x, Array<double>& result,
             const Array<double>& X, int n, int N, int mode) {
  if (N < 1) return;
  constexpr double kTolerance = columns::kPositionTolerance;  // m, absolute
  // End of segment k: the next row, except for the last segment, which ends
  // at the last node.
  auto segment_end = [&](int k) { return k + 1 == n ? X(N) : x(k + 1); };
  int k = 1;
  double c = x(1);
  for (int j = 1; j <= N; ++j) {
    const double p = X(j);
    double d = segment_end(k);
    while (p > d + kTolerance) {
      ++k;
      c = x(k);
      d = segment_end(k);
    }
    if (mode == 0)
      result(j) = v(k);
    else
      result(j) = v(k) + (p - c) * (v(k + 1) - v(k)) / (d - c);
  }
}

}  // namespace quarno
