#include "Results.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace quarno::test {

namespace {
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// The field of `width` characters at `at` of a line; NaN where the line
// ends before the field does.
double field_at(const std::string& line, std::size_t at, std::size_t width) {
  return line.size() >= at + width ? read_number(line.substr(at, width)) : NAN;
}
}  // namespace

double read_number(const std::string& field) {
  const char* s = field.c_str();
  while (*s == ' ') ++s;
  // Only digits may start the mantissa: strtod would also take "inf", "nan"
  // and hexadecimal forms, which the program never prints as numbers.
  const char* m = s + (*s == '+' || *s == '-');
  if (!digit(*m) && !(*m == '.' && digit(m[1]))) return NAN;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  const std::string mantissa(s, static_cast<std::size_t>(end - s));
  if (mantissa.find_first_of("Ee") != std::string::npos || (*end != '+' && *end != '-') ||
      !digit(end[1]))
    return v;
  // Three-digit exponent without the letter: read it with one, so that the
  // value is rounded once.
  std::size_t e = 1;
  while (digit(end[e])) ++e;
  return std::strtod((mantissa + 'E' + std::string(end, e)).c_str(), nullptr);
}

std::vector<double> values_after(const std::string& text, const std::string& label) {
  std::vector<double> values;
  std::size_t at = 0;
  while ((at = text.find(label, at)) != std::string::npos) {
    at += label.size();
    values.push_back(read_number(text.substr(at, text.find('\n', at) - at)));
  }
  return values;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

double half_unit(double v, int digits) {
  if (v == 0) return 0.0;
  const double e = std::floor(std::log10(std::fabs(v))) + 1;  // v = 0.d1d2... x 10^e
  return 0.5 * std::pow(10.0, e - digits);
}

std::vector<Profile> read_profiles(const std::string& results, int cells) {
  std::vector<Profile> blocks;
  const std::vector<std::string> lines = lines_of(results);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (lines[k].rfind("Time=", 0) != 0) continue;
    Profile p;
    p.t = read_number(lines[k].substr(5));
    std::vector<double>* col[8] = {&p.X, &p.h, &p.u, &p.q, &p.Q, &p.C, &p.Cb, &p.Cs};
    bool readable = k + 4 + cells <= lines.size();
    // An empty line, the column heading and an empty line come first; then
    // one row of eight (2X, E12.4) fields per cell.
    for (int i = 0; readable && i < cells; ++i) {
      const std::string& l = lines[k + 4 + i];
      for (std::size_t c = 0; c < 8; ++c) {
        const double v = field_at(l, 14 * c + 2, 12);
        readable = readable && std::isfinite(v);
        col[c]->push_back(v);
      }
    }
    if (readable) blocks.push_back(p);
  }
  return blocks;
}

Balances read_balances(const std::string& results) {
  Balances b;
  b.water_ER_A = values_after(results, "Absolute error(m3).......ER_A=");
  b.water_ER_R = values_after(results, "Relative error(%)........ER_R=");
  b.QX0 = values_after(results, "Flow at X=0(m3).......... QX0=");
  b.QXL = values_after(results, "Flow at X=L(m3).......... QXL=");
  b.QGwU = values_after(results, "GW upwelling(m3)........ QGwU=");
  b.solute_ER_A = values_after(results, "Absolute error...................ER_A=");
  b.solute_ER_R = values_after(results, "Relative error(%)................ER_R=");
  b.Ctoti = values_after(results, "Total storage .................Ctoti= ");
  b.Ctotf = values_after(results, "Total storage .................Ctotf= ");
  b.QCGWU = values_after(results, "GW upwelling.................. QCGWU= ");
  b.Cwdoff = values_after(results, "Dye-off .......................Cwdoff=");
  return b;
}

// A record holds the time (E12.5) and five (1X, E13.5) values per position,
// five positions to a line; a record of more positions continues on the
// next lines. Eleven heading lines come first.
std::vector<ObsRow> read_obs(const std::string& obs, int positions) {
  std::vector<ObsRow> rows;
  if (positions < 1) return rows;
  const std::vector<std::string> lines = lines_of(obs);
  const std::size_t per_record = static_cast<std::size_t>(positions + 4) / 5;
  for (std::size_t k = 11; k + per_record <= lines.size(); k += per_record) {
    std::vector<double> v;
    for (std::size_t part = 0; part < per_record; ++part) {
      const std::string& l = lines[k + part];
      for (std::size_t at = part == 0 ? 12 : 0; at + 14 <= l.size(); at += 14)
        v.push_back(field_at(l, at + 1, 13));
    }
    if (lines[k].size() < 12 || v.size() < 5 * static_cast<std::size_t>(positions)) continue;
    ObsRow r;
    r.t = read_number(lines[k].substr(0, 12));
    std::vector<double>* col[5] = {&r.h, &r.u, &r.Q, &r.C, &r.Cb};
    for (std::size_t j = 0; j < static_cast<std::size_t>(positions); ++j)
      for (std::size_t c = 0; c < 5; ++c) col[c]->push_back(v[5 * j + c]);
    rows.push_back(r);
  }
  return rows;
}

}  // namespace quarno::test
