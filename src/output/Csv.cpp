#include "output/Csv.hpp"

#include <charconv>
#include <cstring>
#include <stdexcept>

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

void write_csv_heads(TextOut& obs, TextOut& profiles, TextOut& balance) {
  obs.write_line("time_s,site,x_m,h_m,u_m_per_s,Q_m3_per_s,C,Cb,Cs");
  profiles.write_line(
      "time_s,kind,index,x_m,h_m,u_m_per_s,q_m2_per_s,Q_m3_per_s,C,Cb,Cs");
  balance.write_line("time_s,balance,term,value");
}

}  // namespace quarno
