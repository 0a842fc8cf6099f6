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

// The comma at `pos` joins whole digits to digits with a leading zero, as in
// 0,002 or 12,05: a decimal comma, most likely, which is read as two values.
// (Lists such as 1,2 or 500,0.3 are left alone.)
bool looks_like_decimal_comma(std::string_view line, std::size_t pos) {
  std::size_t a = pos;
  while (a > 0 && is_digit(line[a - 1])) --a;
  if (a == pos || (a > 0 && !is_blank(line[a - 1]) && line[a - 1] != ',' && line[a - 1] != '-' &&
                   line[a - 1] != '+'))
    return false;
  std::size_t b = pos + 1;
  while (b < line.size() && is_digit(line[b])) ++b;
  return b - pos - 1 >= 2 && line[pos + 1] == '0' && (b == line.size() || ends_token(line[b]));
}

// A token that starts with a letter: a heading or a label, not a value.
bool is_word(std::string_view t) {
  return !t.empty() && ((t[0] >= 'A' && t[0] <= 'Z') || (t[0] >= 'a' && t[0] <= 'z'));
}

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

}  // namespace

std::string quote_input(std::string_view text) {
  constexpr std::size_t kMaxShown = 40;
  std::string shown;
  std::size_t cut = std::string::npos;  // where "..." goes if the text is too long
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    char piece[5];
    if (byte >= 0x20 && byte < 0x7f) {
      piece[0] = c;
      piece[1] = '\0';
    } else {
      std::snprintf(piece, sizeof piece, "\\x%02X", byte);
    }
    const std::size_t len = std::strlen(piece);
    if (cut == std::string::npos && shown.size() + len > kMaxShown - 3) cut = shown.size();
    if (shown.size() + len > kMaxShown) {
      shown.resize(cut);
      shown += "...";
      break;
    }
    shown += piece;
  }
  return "\"" + shown + "\"";
}

Reader::Reader(std::string name, std::string path) : name_(std::move(name)) {
  if (path.empty()) path = name_;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    open_error_ = "cannot open the file in the working directory (" +
                  std::string(std::strerror(errno)) + ")";
    return;
  }
  char buf[65536];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (text_.size() + got > static_cast<std::size_t>(kMaxFileSize)) {
      open_error_ = "the file is larger than 16 MiB, far larger than any input deck";
      break;
    }
    text_.append(buf, got);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed && open_error_.empty()) open_error_ = "cannot read the file (read error)";
  if (!open_error_.empty()) {
    std::string().swap(text_);
    return;
  }
  count_lines();
}

Reader Reader::from_text(std::string name, std::string_view text) {
  Reader r;
  r.name_ = std::move(name);
  r.text_ = text;
  r.count_lines();
  return r;
}

// Every line ends at a line feed or at the end of the file; a final line feed
// does not start another line.
void Reader::count_lines() {
  nlines_ = 0;
  for (std::size_t at = 0; at < text_.size(); ++nlines_) {
    const std::size_t end = text_.find('\n', at);
    at = end == std::string::npos ? text_.size() : end + 1;
  }
}

std::string_view Reader::line_at(std::size_t at, std::size_t& after) const {
  std::size_t end = text_.find('\n', at);
  if (end == std::string::npos) end = text_.size();
  after = end + 1;
  std::string_view line(text_.data() + at, end - at);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF files
  return line;
}

void Reader::fail(int line, const std::string& message) const {
  throw InputError(name_ + ", line " + std::to_string(line) + ": " + message);
}

void Reader::check_open() const {
  if (!open_error_.empty()) throw InputError(name_ + ": " + open_error_);
}

void Reader::fail_end_of_file(const std::string& expected) const {
  fail(static_cast<int>(nlines_) + 1, "expected " + expected + ", found the end of the file");
}

std::string Reader::text_step(const char* what) {
  check_open();
  if (next_ >= nlines_) fail_end_of_file(what);
  std::string t(line_at(next_at_, next_at_).substr(0, 80));
  ++next_;
  t.resize(80, ' ');
  return t;
}

void Reader::skip_step(const char* what) {
  check_open();
  if (next_ >= nlines_) fail_end_of_file(what);
  const std::string_view line = line_at(next_at_, next_at_);
  ++next_;
  skipped_blank_ = line.find_first_not_of(" \t") == std::string_view::npos
                       ? static_cast<int>(next_)
                       : 0;
}

void Reader::note_count(const char* name, int value, int line) {
  last_count_ = std::string(name) + " = " + std::to_string(value) + " on line " +
                std::to_string(line);
}

// Where a word stands in place of a value, the lines have shifted against the
// steps: say which line or count above is the likely cause.
std::string Reader::shift_hint(int line) const {
  std::string hint = "; a word where a value belongs means the lines have shifted: ";
  if (skipped_blank_ > 0 && skipped_blank_ == line - 1)
    return hint + "line " + std::to_string(skipped_blank_) +
           ", read as a heading line, is blank; is a line missing or extra above it?";
  if (!last_count_.empty())
    return hint + "check the count " + last_count_ +
           " against the rows of its table, and look for a missing or extra line above";
  return hint + "look for a missing or extra line above";
}

void Reader::assign(const Slot& slot, std::string_view token, int line) const {
  if (slot.kind == Slot::Kind::Int) {
    if (!integer_syntax(token))
      fail(line, "expected an integer for " + slot.label() + ", found " + quote_input(token) +
                     (is_word(token) ? shift_hint(line) : std::string()));
    errno = 0;
    const std::string s(token);
    const long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
      fail(line, "expected an integer for " + slot.label() + ", found " + quote_input(token) +
                     ", which is out of range");
    *static_cast<int*>(slot.target) = static_cast<int>(v);
    return;
  }
  if (!real_syntax(token))
    fail(line, "expected a real number for " + slot.label() + ", found " + quote_input(token) +
                   (is_word(token) ? shift_hint(line) : std::string()));
  std::string s(token);
  for (char& c : s)
    if (c == 'D' || c == 'd') c = 'e';
  const double v = std::strtod(s.c_str(), nullptr);
  if (!std::isfinite(v))
    fail(line, "expected a real number for " + slot.label() + ", found " + quote_input(token) +
                   ", which is out of range");
  *static_cast<double*>(slot.target) = v;
}

void Reader::value_step(const std::vector<Slot>& slots) {
  check_open();
  const std::size_t n = slots.size();
  if (next_ >= nlines_)
    fail_end_of_file(n == 0 ? std::string("a line") : "a value for " + slots[0].label());
  value_lines_.assign(n, 0);
  if (n == 0) {  // consumes exactly one line
    skip_step();
    return;
  }
  std::size_t li = next_;
  std::size_t after = 0;  // start of line li + 1
  std::string_view line = line_at(next_at_, after);
  std::size_t pos = 0;
  std::size_t k = 0;
  bool need_separator = false;  // a value has been read and not yet closed by a comma
  while (k < n) {
    const int lineno = static_cast<int>(li) + 1;
    if (pos >= line.size()) {  // a line end separates values; blank lines are passed over
      ++li;
      pos = 0;
      if (li >= nlines_) {
        next_ = li;
        next_at_ = text_.size();
        fail_end_of_file("a value for " + slots[k].label());
      }
      line = line_at(after, after);
      continue;
    }
    const char c = line[pos];
    if (is_blank(c)) {
      ++pos;
      continue;
    }
    if (c == ',') {
      if (decimal_comma_line_ == 0 && looks_like_decimal_comma(line, pos))
        decimal_comma_line_ = lineno;
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
      fail(lineno, "expected a value for " + slots[k].label() + ", found " + quote_input(token) +
                       " (a repeat count must be a positive integer)");
    for (long long j = 0; j < r && k < n; ++j) {
      if (!value.empty()) assign(slots[k], value, lineno);
      value_lines_[k++] = lineno;
    }
  }
  const int end_line = static_cast<int>(li) + 1;
  for (std::size_t j = k; j < n; ++j) value_lines_[j] = end_line;
  next_ = li + 1;  // the rest of the line is discarded
  next_at_ = after;
}

}  // namespace quarno
