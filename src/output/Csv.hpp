// Full-precision results in CSV, beside the fixed-column files: every number
// in the shortest form that reads back to the same double. Rows are built in
// a fixed buffer and written through the same checked path as the other
// results, so nothing is allocated while the run goes on.
#pragma once

#include <string_view>

#include "output/DateTime.hpp"
#include "output/TextLayout.hpp"

namespace quarno {

class CsvRow {
 public:
  CsvRow& operator<<(double v);
  CsvRow& operator<<(int v);
  CsvRow& operator<<(std::string_view text);  // written as it is: no commas or quotes
  // The time of a row: the model time, then with a start date the instant as
  // an ISO 8601 date-time in UTC.
  CsvRow& time(double t, const StartDate& start);
  // Writes the row to `out` and starts a new one.
  void write_to(TextOut& out);

 private:
  void separate();
  template <class T>
  void put_number(T v);
  static constexpr int kCapacity = 1024;
  char buf_[kCapacity];
  int n_ = 0;
  bool first_ = true;
};

// The header rows of the three CSV files; a `datetime` column after
// `time_s` when the run has a start date; with `sources`, the sources'
// columns at the end of the site and profile rows; with `weather`, the
// weather's columns at the end of the site rows.
void write_csv_heads(TextOut& obs, TextOut& profiles, TextOut& balance, const StartDate& start,
                     bool sources = false, bool weather = false);

}  // namespace quarno
