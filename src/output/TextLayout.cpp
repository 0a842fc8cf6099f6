#include "output/TextLayout.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace quarno {

namespace {

[[noreturn]] void bad_layout(std::string_view text, std::size_t pos, const char* why) {
  throw std::logic_error("layout \"" + std::string(text) + "\" at character " +
                         std::to_string(pos + 1) + ": " + why);
}

void put_stars(std::string& out, int w) { out.append(static_cast<std::size_t>(w), '*'); }

void put_right(std::string& out, const char* s, int len, int w) {
  if (len > w) {
    put_stars(out, w);
    return;
  }
  out.append(static_cast<std::size_t>(w - len), ' ');
  out.append(s, static_cast<std::size_t>(len));
}

// NaN and infinities as a Fortran runtime writes them.
void put_nonfinite(std::string& out, double v, int w) {
  if (std::isnan(v)) {
    put_right(out, "NaN", 3, w);
    return;
  }
  const bool neg = v < 0;
  const char* longform = neg ? "-Infinity" : "Infinity";
  const char* shortform = neg ? "-Inf" : "Inf";
  const int longlen = static_cast<int>(std::strlen(longform));
  if (longlen <= w)
    put_right(out, longform, longlen, w);
  else
    put_right(out, shortform, static_cast<int>(std::strlen(shortform)), w);
}

}  // namespace

// ---------------------------------------------------------------------------
// Number fields

void put_I(std::string& out, long long v, int w) {
  char buf[32];
  const int len = std::snprintf(buf, sizeof buf, "%lld", v);
  put_right(out, buf, len, w);
}

void put_F(std::string& out, double v, int w, int d) {
  if (!std::isfinite(v)) {
    put_nonfinite(out, v, w);
    return;
  }
  // %f rounds the exact binary value correctly; it also gives the leading
  // "0." below 1 and keeps the sign of a negative value that rounds to zero.
  char buf[400];
  int len = std::snprintf(buf, sizeof buf, "%.*f", d, v);
  if (len < 0 || len >= static_cast<int>(sizeof buf)) {
    put_stars(out, w);
    return;
  }
  if (d == 0) buf[len++] = '.';
  const char* s = buf;
  if (len > w) {  // drop the optional leading zero when the field has no room for it
    if (buf[0] == '0' && buf[1] == '.') {
      s = buf + 1;
      --len;
    } else if (buf[0] == '-' && buf[1] == '0' && buf[2] == '.') {
      buf[1] = '-';
      s = buf + 1;
      --len;
    }
  }
  put_right(out, s, len, w);
}

void put_E(std::string& out, double v, int w, int d) {
  if (!std::isfinite(v)) {
    put_nonfinite(out, v, w);
    return;
  }
  // d significant digits, correctly rounded: "-D.DDDe+XX" from %e, then
  // shifted to the 0.DDDD form whose exponent is one larger.
  char raw[64];
  std::snprintf(raw, sizeof raw, "%.*e", d - 1, v);
  const bool neg = raw[0] == '-';
  const char* p = raw + (neg ? 1 : 0);
  char digits[48];
  int nd = 0;
  for (; *p && *p != 'e'; ++p)
    if (std::isdigit(static_cast<unsigned char>(*p))) digits[nd++] = *p;
  const int exp10 = std::atoi(p + 1);
  const int expo = (v == 0.0) ? 0 : exp10 + 1;
  const int aexp = expo < 0 ? -expo : expo;
  if (aexp > 999) {
    put_stars(out, w);
    return;
  }

  char field[64];
  int len = 0;
  if (neg) field[len++] = '-';
  field[len++] = '0';
  field[len++] = '.';
  std::memcpy(field + len, digits, static_cast<std::size_t>(nd));
  len += nd;
  if (aexp <= 99) {
    len += std::snprintf(field + len, sizeof field - static_cast<std::size_t>(len), "E%c%02d",
                         expo < 0 ? '-' : '+', aexp);
  } else {  // a three-digit exponent replaces the letter E
    len += std::snprintf(field + len, sizeof field - static_cast<std::size_t>(len), "%c%03d",
                         expo < 0 ? '-' : '+', aexp);
  }
  const char* s = field;
  if (len > w) {  // drop the leading zero when the field has no room for it
    const int zero = neg ? 1 : 0;
    std::memmove(field + zero, field + zero + 1, static_cast<std::size_t>(len - zero - 1));
    --len;
  }
  put_right(out, s, len, w);
}

// ---------------------------------------------------------------------------
// Layout compilation

Layout::Layout(std::string_view text) : text_(text) {
  std::vector<int> open;  // indices of the Open items not yet closed
  int last_top_group = -1;
  std::size_t pos = 0;
  const std::size_t n = text.size();

  auto skip_blanks = [&] {
    while (pos < n && text[pos] == ' ') ++pos;
  };
  auto read_int = [&]() -> int {
    if (pos >= n || !std::isdigit(static_cast<unsigned char>(text[pos])))
      bad_layout(text, pos, "a number was expected");
    int v = 0;
    while (pos < n && std::isdigit(static_cast<unsigned char>(text[pos])))
      v = v * 10 + (text[pos++] - '0');
    return v;
  };

  bool need_item = true;  // an item must follow (start, after a comma or '(')
  while (true) {
    skip_blanks();
    if (pos >= n) break;
    const char c = text[pos];
    if (c == ',') {
      if (need_item) bad_layout(text, pos, "empty item");
      ++pos;
      need_item = true;
      continue;
    }
    if (c == '/') {
      items_.emplace_back(Op::Slash);
      ++pos;
      need_item = false;
      continue;
    }
    if (c == ')') {
      if (open.empty()) bad_layout(text, pos, "unmatched ')'");
      const int o = open.back();
      open.pop_back();
      items_[static_cast<std::size_t>(o)].match = static_cast<int>(items_.size());
      items_.emplace_back(Op::Close, 0, 0, o);
      if (open.empty()) last_top_group = o;
      ++pos;
      need_item = false;
      continue;
    }
    if (!need_item) bad_layout(text, pos, "',' expected between items");
    need_item = false;
    if (c == '"') {
      const std::size_t end = text.find('"', pos + 1);
      if (end == std::string_view::npos) bad_layout(text, pos, "unterminated literal");
      items_.emplace_back(Op::Literal);
      items_.back().literal = std::string(text.substr(pos + 1, end - pos - 1));
      pos = end + 1;
      continue;
    }
    int count = 1;
    const bool counted = std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (counted) count = read_int();
    if (pos >= n) bad_layout(text, pos, "item expected after a count");
    const char e = text[pos];
    if (e == '(') {
      if (count < 1) bad_layout(text, pos, "a group needs a positive count");
      open.push_back(static_cast<int>(items_.size()));
      items_.emplace_back(Op::Open, count);
      ++pos;
      need_item = true;
      continue;
    }
    if (e == 'X') {
      if (!counted) bad_layout(text, pos, "X needs a count");
      items_.emplace_back(Op::Blanks, count);
      ++pos;
      continue;
    }
    if (counted) bad_layout(text, pos, "a count can only precede X or a group");
    ++pos;
    if (e == 'A') {
      items_.emplace_back(Op::A);
      has_fields_ = true;
      continue;
    }
    if (e == 'I') {
      items_.emplace_back(Op::I, read_int());
      has_fields_ = true;
      continue;
    }
    if (e == 'F' || e == 'E') {
      const int w = read_int();
      if (pos >= n || text[pos] != '.') bad_layout(text, pos, "'.' expected");
      ++pos;
      const int d = read_int();
      if (e == 'E' && d < 1) bad_layout(text, pos, "E needs at least one digit");
      items_.emplace_back(e == 'F' ? Op::F : Op::E, w, d);
      has_fields_ = true;
      continue;
    }
    bad_layout(text, pos - 1, "unknown item");
  }
  if (!open.empty()) bad_layout(text, n, "unclosed group");
  if (need_item && !items_.empty()) bad_layout(text, n, "layout ends with ','");
  revert_ = last_top_group >= 0 ? last_top_group : 0;
  for (std::size_t k = static_cast<std::size_t>(revert_); k < items_.size(); ++k) {
    const Op op = items_[k].op;
    revert_has_fields_ = revert_has_fields_ || op == Op::I || op == Op::F || op == Op::E ||
                         op == Op::A;
  }
}

// ---------------------------------------------------------------------------
// Writing

TextOut::TextOut(std::FILE* file, const char* name) : file_(file), name_(name) {
  line_.reserve(1024);
}

void TextOut::failed(int error) {
  std::FILE* f = file_;
  file_ = nullptr;  // nothing more is written to it
  if (!name_) {     // the console: given up silently
    std::clearerr(f);
    return;
  }
  throw OutputError(std::string(name_) + ": cannot write (" +
                    (error != 0 ? std::strerror(error) : "write error") + ")");
}

void TextOut::end_line() {
  line_ += '\n';
  if (capture_) {
    capture_->append(line_);
  } else if (file_) {
    errno = 0;
    if (std::fwrite(line_.data(), 1, line_.size(), file_) != line_.size()) {
      line_.clear();
      failed(errno);
    }
  }
  line_.clear();
}

void TextOut::write_line(std::string_view text) {
  line_.append(text.data(), text.size());
  end_line();
}

void TextOut::flush() {
  if (!file_) return;
  errno = 0;
  if (std::fflush(file_) != 0) failed(errno);
}

void TextOut::close() {
  if (!file_) return;
  flush();
  std::FILE* f = file_;
  file_ = nullptr;
  errno = 0;
  if (std::fclose(f) != 0 && name_)
    throw OutputError(std::string(name_) + ": cannot write (" + std::strerror(errno) + ")");
}

void TextOut::write(const Layout& layout, Args values) {
  using Op = Layout::Op;
  const auto& items = layout.items_;
  const int nitems = static_cast<int>(items.size());
  const int nvalues = values.size();
  if (nvalues > 0 && !layout.has_fields_)
    throw std::logic_error("layout \"" + layout.text_ + "\" has no field for its values");

  // Repeat counters of the open groups, indexed by nesting depth.
  constexpr int kMaxDepth = 16;
  int remaining[kMaxDepth];
  int depth = 0;
  int next = 0;  // next value
  int blanks = 0;  // blanks owed before the next thing written
  int pc = 0;
  first_nonfinite_ = -1;

  auto pay_blanks = [&] {
    line_.append(static_cast<std::size_t>(blanks), ' ');
    blanks = 0;
  };

  while (true) {
    if (pc == nitems) {
      if (next >= nvalues) break;
      // Values left over: a new line, from the last top-level group.
      if (!layout.revert_has_fields_)
        throw std::logic_error("layout \"" + layout.text_ + "\" cannot take its values");
      blanks = 0;
      end_line();
      pc = layout.revert_;
      depth = 0;
      continue;
    }
    const Layout::Item& it = items[static_cast<std::size_t>(pc)];
    switch (it.op) {
      case Op::Literal:
        pay_blanks();
        line_ += it.literal;
        break;
      case Op::Blanks:
        blanks += it.w;
        break;
      case Op::Slash:
        pay_blanks();
        end_line();
        break;
      case Op::Open:
        if (depth == kMaxDepth) throw std::logic_error("layout nests too deeply");
        remaining[depth++] = it.w;
        break;
      case Op::Close:
        if (--remaining[depth - 1] > 0) {
          pc = it.match + 1;
          continue;
        }
        --depth;
        break;
      case Op::I:
      case Op::F:
      case Op::E:
      case Op::A: {
        if (next >= nvalues) {  // values exhausted: the write ends here
          blanks = 0;
          pc = nitems;
          goto done;
        }
        pay_blanks();
        const Arg a = values[next++];
        if (it.op == Op::A) {
          if (a.kind != Arg::Kind::Text)
            throw std::logic_error("layout \"" + layout.text_ + "\": A field needs a text value");
          line_.append(a.s.data(), a.s.size());
        } else if (a.kind == Arg::Kind::Text) {
          throw std::logic_error("layout \"" + layout.text_ + "\": number field given a text value");
        } else if (it.op == Op::I) {
          if (a.kind != Arg::Kind::Int)
            throw std::logic_error("layout \"" + layout.text_ + "\": I field needs an integer");
          put_I(line_, a.i, it.w);
        } else {
          const double v = a.kind == Arg::Kind::Int ? static_cast<double>(a.i) : a.r;
          if (first_nonfinite_ < 0 && !std::isfinite(v)) first_nonfinite_ = next - 1;
          if (it.op == Op::F)
            put_F(line_, v, it.w, it.d);
          else
            put_E(line_, v, it.w, it.d);
        }
        break;
      }
    }
    ++pc;
  }
done:
  end_line();
}

}  // namespace quarno
