#include "input/Reader.hpp"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quarno {

std::string Slot::label() const {
  std::string s = name;
  if (index > 0) s += "(" + std::to_string(index) + ")";
  return s;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_token(char c) { return is_blank(c) || c == ',' || c == '/'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Optional sign and digits.
bool integer_syntax(std::string_view t) {
  std::size_t p = 0;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) ++p;
  if (p == t.size()) return false;
  for (; p < t.size(); ++p)
    if (!is_digit(t[p])) return false;
  return true;
}

// Optional sign, digits with an optional decimal point, optional exponent
// introduced by E or D.
bool real_syntax(std::string_view t) {
  std::size_t p = 0;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) ++p;
  std::size_t digits = 0;
  while (p < t.size() && is_digit(t[p])) ++p, ++digits;
  if (p < t.size() && t[p] == '.') {
    ++p;
    while (p < t.size() && is_digit(t[p])) ++p, ++digits;
  }
  if (digits == 0) return false;
  if (p == t.size()) return true;
  if (t[p] != 'E' && t[p] != 'e' && t[p] != 'D' && t[p] != 'd') return false;
  ++p;
  if (p < t.size() && (t[p] == '+' || t[p] == '-')) ++p;
  if (p == t.size()) return false;
  for (; p < t.size(); ++p)
    if (!is_digit(t[p])) return false;
  return true;
}

std::string quoted(std::string_view t) { return "\"" + std::string(t) + "\""; }

}  // namespace

Reader::Reader(std::string name, std::string path) : name_(std::move(name)) {
  if (path.empty()) path = name_;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    open_error_ = std::strerror(errno);
    return;
  }
  std::string text;
  char buf[65536];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    open_error_ = "read error";
    return;
  }
  split(text);
}

Reader Reader::from_text(std::string name, std::string_view text) {
  Reader r;
  r.name_ = std::move(name);
  r.split(text);
  return r;
}

void Reader::split(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF files
    lines_.emplace_back(line);
    start = end + 1;
  }
}

void Reader::fail(int line, const std::string& message) const {
  throw InputError(name_ + ", line " + std::to_string(line) + ": " + message);
}

void Reader::check_open() const {
  if (!open_error_.empty())
    throw InputError(name_ + ": cannot open the file in the working directory (" + open_error_ +
                     ")");
}

void Reader::fail_end_of_file(const std::string& expected) const {
  fail(static_cast<int>(lines_.size()) + 1, "expected " + expected + ", found the end of the file");
}

std::string Reader::text_step(const char* what) {
  check_open();
  if (next_ >= lines_.size()) fail_end_of_file(what);
  std::string t = lines_[next_++];
  t.resize(80, ' ');
  return t;
}

void Reader::skip_step(const char* what) {
  check_open();
  if (next_ >= lines_.size()) fail_end_of_file(what);
  ++next_;
}

void Reader::assign(const Slot& slot, std::string_view token, int line) const {
  if (slot.kind == Slot::Kind::Int) {
    if (!integer_syntax(token))
      fail(line, "expected an integer for " + slot.label() + ", found " + quoted(token));
    errno = 0;
    const std::string s(token);
    const long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
      fail(line, "expected an integer for " + slot.label() + ", found " + quoted(token) +
                     ", which is out of range");
    *static_cast<int*>(slot.target) = static_cast<int>(v);
    return;
  }
  if (!real_syntax(token))
    fail(line, "expected a real number for " + slot.label() + ", found " + quoted(token));
  std::string s(token);
  for (char& c : s)
    if (c == 'D' || c == 'd') c = 'e';
  const double v = std::strtod(s.c_str(), nullptr);
  if (!std::isfinite(v))
    fail(line, "expected a real number for " + slot.label() + ", found " + quoted(token) +
                   ", which is out of range");
  *static_cast<double*>(slot.target) = v;
}

void Reader::value_step(const std::vector<Slot>& slots) {
  check_open();
  const std::size_t n = slots.size();
  if (next_ >= lines_.size())
    fail_end_of_file(n == 0 ? std::string("a line") : "a value for " + slots[0].label());
  value_lines_.assign(n, 0);
  if (n == 0) {  // consumes exactly one line
    ++next_;
    return;
  }
  std::size_t li = next_;
  std::size_t pos = 0;
  std::size_t k = 0;
  bool need_separator = false;  // a value has been read and not yet closed by a comma
  while (k < n) {
    const std::string& line = lines_[li];
    const int lineno = static_cast<int>(li) + 1;
    if (pos >= line.size()) {  // a line end separates values; blank lines are passed over
      ++li;
      pos = 0;
      if (li >= lines_.size()) {
        next_ = li;
        fail_end_of_file("a value for " + slots[k].label());
      }
      continue;
    }
    const char c = line[pos];
    if (is_blank(c)) {
      ++pos;
      continue;
    }
    if (c == ',') {
      if (need_separator) {
        need_separator = false;
      } else {  // an empty value: the target keeps its value
        value_lines_[k++] = lineno;
      }
      ++pos;
      continue;
    }
    if (c == '/') break;  // ends the step; the remaining targets keep their values

    std::size_t end = pos;
    while (end < line.size() && !ends_token(line[end])) ++end;
    const std::string_view token(line.data() + pos, end - pos);
    pos = end;
    need_separator = true;

    const std::size_t star = token.find('*');
    if (star == std::string_view::npos) {
      assign(slots[k], token, lineno);
      value_lines_[k++] = lineno;
      continue;
    }
    // Repeat factor r*v (or r* for r empty values).
    const std::string_view count = token.substr(0, star);
    const std::string_view value = token.substr(star + 1);
    long long r = 0;
    const auto res = std::from_chars(count.data(), count.data() + count.size(), r);
    if (count.empty() || res.ec != std::errc() || res.ptr != count.data() + count.size() || r < 1)
      fail(lineno, "expected a value for " + slots[k].label() + ", found " + quoted(token) +
                       " (a repeat count must be a positive integer)");
    for (long long j = 0; j < r && k < n; ++j) {
      if (!value.empty()) assign(slots[k], value, lineno);
      value_lines_[k++] = lineno;
    }
  }
  const int end_line = static_cast<int>(li) + 1;
  for (std::size_t j = k; j < n; ++j) value_lines_[j] = end_line;
  next_ = li + 1;  // the rest of the line is discarded
}

}  // namespace quarno
