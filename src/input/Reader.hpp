// The value reader shared by both input files. A file is read as a sequence
// of lines by a fixed series of steps:
//
//   text step   the next line, columns 1 to 80, blank-padded
//   skip step   the next line, whatever it holds (headings, comments)
//   value step  a fixed list of values from the next unread line on: blanks,
//               commas and line ends separate values; a step goes on over as
//               many lines as it needs and passes over blank lines; the rest
//               of the line after its last value is discarded, so a comment
//               may follow. r*v repeats v r times, an empty value between
//               commas leaves its target unchanged and a slash ends the step
//               leaving the remaining targets unchanged. A step with no
//               targets consumes exactly one line.
//
// Every failure throws InputError naming the file, the line, the quantity,
// what was expected and what was found.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/Errors.hpp"

namespace quarno {

// One target of a value step: an integer or a real, with the name (and
// 1-based index, 0 for a scalar) under which errors report it.
struct Slot {
  enum class Kind : unsigned char { Int, Real };
  Kind kind;
  void* target;
  const char* name;
  int index = 0;

  static Slot integer(int& v, const char* name, int index = 0) {
    return {Kind::Int, &v, name, index};
  }
  static Slot real(double& v, const char* name, int index = 0) {
    return {Kind::Real, &v, name, index};
  }
  std::string label() const;
};

// Quoted text from an input file, for messages: non-printable bytes as \xNN,
// at most 40 characters, a longer text cut with "...".
std::string quote_input(std::string_view text);

class Reader {
 public:
  // An input deck is a few kilobytes; nothing near this size is one.
  static constexpr long kMaxFileSize = 16L << 20;  // bytes

  // Reads the named file of the working directory (or `path`, when given).
  // A file that cannot be opened is reported at its first read step.
  // Files over kMaxFileSize are rejected at the first read step.
  explicit Reader(std::string name, std::string path = {});
  // Reads text held in memory, as if it were the named file (tests).
  static Reader from_text(std::string name, std::string_view text);

  const std::string& name() const { return name_; }

  std::string text_step(const char* what);
  void skip_step(const char* what = "a heading line");
  void value_step(const std::vector<Slot>& slots);

  // The line on which target k of the last value step was read (or, for a
  // target left unchanged, the line the step ended on).
  int line_of(int k) const { return value_lines_[static_cast<std::size_t>(k)]; }
  // The line the last step ended on.
  int last_line() const { return static_cast<int>(next_); }
  // Bytes of the file after the last step: every value still to be read
  // takes at least one of them.
  long long bytes_left() const { return static_cast<long long>(text_.size() - next_at_); }

  [[noreturn]] void fail(int line, const std::string& message) const;

  // Records the last count read (a table's row count), which messages name
  // when a word turns up where a value belongs.
  void note_count(const char* name, int value, int line);

  // The first line where a value step met what looks like a decimal comma,
  // such as 0,002 (read as two values); 0 when there was none.
  int decimal_comma_line() const { return decimal_comma_line_; }

 private:
  Reader() = default;
  void count_lines();
  // The line starting at byte `at` (without its line end) and the start of
  // the line after it.
  std::string_view line_at(std::size_t at, std::size_t& after) const;
  void check_open() const;
  [[noreturn]] void fail_end_of_file(const std::string& expected) const;
  void assign(const Slot& slot, std::string_view token, int line) const;
  std::string shift_hint(int line) const;

  std::string name_;
  std::string open_error_;
  // The whole file; lines are found as the steps move forward through it, so
  // a file costs its own size in memory, however many lines it has.
  std::string text_;
  std::size_t nlines_ = 0;
  std::size_t next_ = 0;     // index of the next unread line (0-based)
  std::size_t next_at_ = 0;  // byte where that line starts
  std::vector<int> value_lines_;
  std::string last_count_;  // e.g. "NWidth = 2 on line 7"
  int skipped_blank_ = 0;   // the line the last skip step passed, when it was blank
  int decimal_comma_line_ = 0;
};

}  // namespace quarno
