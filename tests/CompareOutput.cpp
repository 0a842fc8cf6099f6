#include "CompareOutput.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "Results.hpp"

namespace quarno::test {

namespace {

struct Piece {
  bool number;
  std::string text;
  double value = 0;
  double unit = 0;  // one unit of the last printed digit
};

bool digit(char c) { return c >= '0' && c <= '9'; }

// Splits a line into literal text and numbers such as 12, -0.1234E+02,
// 0.1500+101 or 123.46, each number with the unit of its last digit.
std::vector<Piece> pieces(const std::string& line) {
  std::vector<Piece> out;
  std::string text;
  std::size_t i = 0;
  while (i < line.size()) {
    std::size_t j = i;
    if (line[j] == '-' && j + 1 < line.size() && (digit(line[j + 1]) || line[j + 1] == '.')) ++j;
    std::size_t int_start = j;
    while (j < line.size() && digit(line[j])) ++j;
    std::size_t int_end = j;
    int decimals = 0;
    bool point = false;
    if (j < line.size() && line[j] == '.' && j + 1 < line.size() && digit(line[j + 1])) {
      point = true;
      ++j;
      while (j < line.size() && digit(line[j])) ++j, ++decimals;
    }
    if (int_end == int_start && !point) {  // not a number here
      text += line[i++];
      continue;
    }
    // Numbers directly after a letter or a digit belong to a word (e.g. "m3").
    if (i > 0 && (std::isalpha(static_cast<unsigned char>(line[i - 1])) || line[i - 1] == '_')) {
      text.append(line, i, j - i);
      i = j;
      continue;
    }
    int exponent = 0;
    auto has = [&](std::size_t p) { return p < line.size(); };
    auto sign = [&](std::size_t p) { return line[p] == '+' || line[p] == '-'; };
    if (point && has(j + 3)) {
      if (line[j] == 'E' && sign(j + 1) && digit(line[j + 2]) && digit(line[j + 3])) {
        exponent = std::atoi(line.substr(j + 1, 3).c_str());
        j += 4;
      } else if (sign(j) && digit(line[j + 1]) && digit(line[j + 2]) && digit(line[j + 3])) {
        exponent = std::atoi(line.substr(j, 4).c_str());  // three-digit exponent form
        j += 4;
      }
    }
    if (!text.empty()) out.push_back({false, text});
    text.clear();
    Piece p{true, line.substr(i, j - i)};
    p.value = read_number(p.text);
    // Integers (counts) must agree exactly.
    p.unit = point ? std::pow(10.0, exponent - decimals) : 0.0;
    out.push_back(p);
    i = j;
  }
  if (!text.empty()) out.push_back({false, text});
  return out;
}

bool lines_agree(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (a.size() != b.size()) return false;
  const auto pa = pieces(a), pb = pieces(b);
  if (pa.size() != pb.size()) return false;
  for (std::size_t k = 0; k < pa.size(); ++k) {
    if (pa[k].number != pb[k].number) return false;
    if (!pa[k].number) {
      if (pa[k].text != pb[k].text) return false;
      continue;
    }
    if (pa[k].text.size() != pb[k].text.size()) return false;
    const double unit = std::max(pa[k].unit, pb[k].unit);
    if (std::fabs(pa[k].value - pb[k].value) > unit * 1.000001) return false;
  }
  return true;
}

}  // namespace

std::string compare_output(const std::string& want, const std::string& got) {
  const auto a = lines_of(want), b = lines_of(got);
  const std::size_t n = std::max(a.size(), b.size());
  for (std::size_t k = 0; k < n; ++k) {
    const std::string* la = k < a.size() ? &a[k] : nullptr;
    const std::string* lb = k < b.size() ? &b[k] : nullptr;
    if (la && lb && lines_agree(*la, *lb)) continue;
    std::ostringstream msg;
    msg << "line " << k + 1 << " differs\n  want: " << (la ? *la : "<end of file>")
        << "\n  got:  " << (lb ? *lb : "<end of file>");
    return msg.str();
  }
  if (!want.empty() && !got.empty() && (want.back() == '\n') != (got.back() == '\n'))
    return "the last line end differs";
  return {};
}

}  // namespace quarno::test
