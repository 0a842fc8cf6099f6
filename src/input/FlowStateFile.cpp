#include "input/FlowStateFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "model/Errors.hpp"
#include "input/Reader.hpp"
#include "output/Csv.hpp"
#include "output/TextLayout.hpp"
#include "output/ResultFiles.hpp"

namespace quarno {

namespace {

// Text from the file for a message: control and other bytes as \xNN, at most
// 40 characters, in single quotes.
std::string quote(std::string_view text) {
  const std::string shown = quote_input(text);
  return "'" + shown.substr(1, shown.size() - 2) + "'";
}

class StateText {
 public:
  StateText(std::string_view text, const std::string& path) : text_(text), path_(path) {}

  // The next line that is not a comment; false at the end of the text.
  bool next_line(std::string_view& line) {
    while (pos_ < text_.size()) {
      const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
      line = text_.substr(pos_, end - pos_);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      pos_ = end + 1;
      ++line_number_;
      if (line.empty() || line.front() != '#') return true;
    }
    return false;
  }

  std::string_view expect_line(const char* what) {
    std::string_view line;
    if (!next_line(line)) fail_file(std::string("the file ends before ") + what);
    return line;
  }

  // The value of the next line, "name,value".
  std::string_view field(const char* name) {
    const std::string_view line = expect_line(name);
    const std::size_t n = std::strlen(name);
    if (line.substr(0, n) != name || line.size() <= n || line[n] != ',')
      fail_line(std::string("expected ") + name + ",<value>, found " + quote(line));
    return line.substr(n + 1);
  }

  double number(std::string_view text, const char* what) {
    double v = 0.0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size())
      fail_line(std::string(what) + " is not a number: " + quote(text));
    if (!std::isfinite(v)) fail_line(std::string(what) + " is not finite: " + quote(text));
    return v;
  }

  long whole(std::string_view text, const char* what) {
    long v = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size())
      fail_line(std::string(what) + " is not a whole number: " + quote(text));
    return v;
  }

  [[noreturn]] void fail_line(const std::string& what) const {
    throw InputError(path_ + ", line " + std::to_string(line_number_) + ": " + what);
  }
  [[noreturn]] void fail_file(const std::string& what) const {
    throw InputError(path_ + ": " + what);
  }

 private:
  std::string_view text_;
  const std::string& path_;
  std::size_t pos_ = 0;
  int line_number_ = 0;
};

// FNV-1a, 64 bits, over the bytes of the values fed to it.
class KeyHash {
 public:
  void add(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < size; ++k) {
      h_ ^= p[k];
      h_ *= 0x100000001b3ULL;
    }
  }
  void add(double v) { add(&v, sizeof v); }
  void add(int v) { add(&v, sizeof v); }
  void add(const Array<double>& a, int from, int to) {
    for (int i = from; i <= to; ++i) add(a(i));
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

bool is_key(std::string_view key) {
  if (key.size() != 16) return false;
  for (const char c : key)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// One row "cell,x_m,h_m,q_m2_per_s" of cell i into s.
void read_row(StateText& r, std::string_view line, long i, SavedFlowState& s) {
  std::string_view cols[4];
  std::size_t from = 0;
  int n = 0;
  for (; n < 4 && from <= line.size(); ++n) {
    const std::size_t comma = std::min(line.find(',', from), line.size());
    cols[n] = line.substr(from, comma - from);
    from = comma + 1;
  }
  if (n != 4 || from <= line.size())
    r.fail_line("a row needs 4 values: cell, x_m, h_m, q_m2_per_s; found " + quote(line));
  if (r.whole(cols[0], "cell") != i) r.fail_line("expected the row of cell " + std::to_string(i));
  r.number(cols[1], "x_m");
  const double h = r.number(cols[2], "h_m");
  const double q = r.number(cols[3], "q_m2_per_s");
  if (!(h > 0.0)) r.fail_line("the depth must be positive, found " + quote(cols[2]));
  s.h.push_back(h);
  s.q.push_back(q);
}

}  // namespace

SavedFlowState parse_flow_state(std::string_view text, const std::string& path) {
  StateText r(text, path);
  SavedFlowState s;
  const std::string_view key = r.field("key");
  if (!is_key(key))
    r.fail_line("the key must be 16 hexadecimal digits, found " + quote(key));
  s.key = std::string(key);
  s.cells = r.whole(r.field("cells"), "cells");
  if (s.cells < 1) r.fail_line("the number of cells must be at least 1");
  s.pseudo_time = r.number(r.field("pseudo_time_s"), "pseudo_time_s");
  s.steps = r.whole(r.field("steps"), "steps");
  s.change = r.number(r.field("largest_relative_change"), "largest_relative_change");
  const std::string_view heads = r.expect_line("the column heads");
  if (heads != kFlowStateHeader)
    r.fail_line(std::string("expected the column heads ") + kFlowStateHeader + ", found " +
                quote(heads));
  // The rows are counted against the file's size, not its stated count, so
  // that a false count cannot make the reader reserve memory.
  for (long i = 1; i <= s.cells; ++i) read_row(r, r.expect_line("the last cell"), i, s);
  std::string_view extra;
  if (r.next_line(extra)) r.fail_line("unexpected text after the last cell: " + quote(extra));
  return s;
}

SavedFlowState read_flow_state_file(const std::string& path) {
  auto fail = [&](const std::string& what) -> void { throw InputError(path + ": " + what); };
  // Without blocking: opening a FIFO for reading would wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    fail("cannot read the saved flow state (" + std::string(std::strerror(errno)) + ")");
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    fail("cannot read the saved flow state (not a regular file)");
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      fail("cannot read the saved flow state (" + std::string(std::strerror(error)) + ")");
    }
    if (got == 0) break;
    text.append(buf, static_cast<std::size_t>(got));
    if (text.size() > kMaxFlowStateBytes) {
      ::close(fd);
      fail("the file is far larger than any saved flow state");
    }
  }
  ::close(fd);
  return parse_flow_state(text, path);
}

std::string steady_flow_key(const Model& m) {
  static constexpr char kFormat[] = "quarno steady flow 1";
  KeyHash h;
  h.add(kFormat, sizeof kFormat);
  const int N = m.run.Nfdn;
  const NodeFields& nf = m.nodes;
  h.add(N);
  h.add(m.run.L);
  h.add(m.grid.dx);
  h.add(nf.WidthN, 1, N);
  h.add(nf.SlopeN, 1, N);
  h.add(nf.RoughN, 1, N);
  h.add(nf.GWUpwN, 1, N);
  h.add(m.flow.y, 1, m.grid.n);
  h.add(m.bic.NB0);
  h.add(m.bic.NBL);
  h.add(m.bic.hBC(m.steady.row));
  h.add(m.bic.QBC(m.steady.row));
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h.value()));
  return hex;
}

void save_flow_state(const Model& m, const std::string& key) {
  FileReplacement file(kSteadyFlowFile);
  TextOut out(file.open(), kSteadyFlowFile);
  const SteadyFlow& s = m.steady;
  const int M = m.grid.M;
  out.write_line("# Steady flow state of a quarno run: depth and discharge per unit width of every");
  out.write_line("# cell. quarno --flow-state reuses it when the key matches its grid, channel,");
  out.write_line("# initial flow, boundary types and inlet values.");
  out.write_line("key," + key);
  CsvRow row;
  (row << "cells" << M).write_to(out);
  (row << "pseudo_time_s" << s.pseudo_time).write_to(out);
  (row << "steps" << static_cast<int>(s.steps)).write_to(out);
  (row << "largest_relative_change" << s.change).write_to(out);
  out.write_line(kFlowStateHeader);
  for (int i = 1; i <= M; ++i)
    (row << i << m.grid.Xc(i) << m.flow.y(i) << m.flow.y(M + i)).write_to(out);
  out.flush();
  file.commit();
}

}  // namespace quarno
