#include "output/Csv.hpp"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include "model/Columns.hpp"

namespace quarno {

void CsvRow::separate() {
  if (!first_) buf_[n_++] = ',';
  first_ = false;
}

// The shortest text that reads back to v (non-finite values as nan, inf).
template <class T>
void CsvRow::put_number(T v) {
  separate();
  const auto res = std::to_chars(buf_ + n_, buf_ + kCapacity - 1, v);
  if (res.ec != std::errc()) throw std::logic_error("CSV row too long");
  n_ = static_cast<int>(res.ptr - buf_);
}

CsvRow& CsvRow::operator<<(double v) {
  put_number(v);
  return *this;
}

CsvRow& CsvRow::operator<<(int v) {
  put_number(v);
  return *this;
}

CsvRow& CsvRow::operator<<(std::string_view text) {
  separate();
  if (n_ + static_cast<int>(text.size()) >= kCapacity - 1)
    throw std::logic_error("CSV row too long");
  std::memcpy(buf_ + n_, text.data(), text.size());
  n_ += static_cast<int>(text.size());
  return *this;
}

void CsvRow::write_to(TextOut& out) {
  out.write_line(std::string_view(buf_, static_cast<std::size_t>(n_)));
  n_ = 0;
  first_ = true;
}

CsvRow& CsvRow::time(double t, const StartDate& start) {
  put_number(t);
  if (!start.set) return *this;
  char text[kDateTimeCapacity];
  return *this << std::string_view(text, static_cast<std::size_t>(format_datetime(start, t, text)));
}

namespace {

template <std::size_t N, std::size_t K = 1, std::size_t W = 1>
void write_head(TextOut& out, const char* const (&names)[N], const StartDate& start,
                const char* const (*more)[K] = nullptr,
                const char* const (*weather)[W] = nullptr) {
  CsvRow row;
  for (std::size_t c = 0; c < N; ++c) {
    row << names[c];
    if (c == 0 && start.set) row << columns::kDateCsvColumn;
  }
  if (more != nullptr)
    for (const char* name : *more) row << name;
  if (weather != nullptr)
    for (const char* name : *weather) row << name;
  row.write_to(out);
}

}  // namespace

void write_csv_heads(TextOut& obs, TextOut& profiles, TextOut& balance, const StartDate& start,
                     bool sources, bool weather) {
  write_head(obs, columns::kObsCsvColumns, start, sources ? &columns::kObsSourceCsvColumns : nullptr,
             weather ? &columns::kObsWeatherCsvColumns : nullptr);
  write_head(profiles, columns::kProfileCsvColumns, start,
             sources ? &columns::kProfileSourceCsvColumns : nullptr);
  write_head(balance, columns::kBalanceCsvColumns, start);
}

}  // namespace quarno
