// The text-layout writer: every line of crOutput.txt, crObsNode.txt and the
// console is produced here, from layouts written in the notation of the
// output descriptions:
//
//   "text"   a literal, written unchanged (trailing blanks included)
//   nX       n blanks
//   /        ends the current line
//   Iw       an integer right-aligned in w columns
//   Fw.d     fixed point, d decimals, right-aligned in w columns
//   Ew.d     exponent form 0.ddddE+xx right-aligned in w columns
//   A        a text value, written as it is
//   k(...)   the group repeated k times
//
// A write starts a new line. When it holds more values than its layout has
// fields, the line ends at the end of the layout and the output goes on, on a
// new line, with the last top-level group (the whole layout if it has no
// group). When the values run out, literals and line ends up to the next value
// field are still written; blanks that only lead up to that field are not.
// A value that does not fit its field fills it with asterisks.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/Errors.hpp"

namespace quarno {

// One value of a write.
struct Arg {
  enum class Kind : unsigned char { Int, Real, Text };
  Kind kind;
  long long i = 0;
  double r = 0.0;
  std::string_view s;

  Arg(int v) : kind(Kind::Int), i(v) {}
  Arg(long long v) : kind(Kind::Int), i(v) {}
  Arg(double v) : kind(Kind::Real), r(v) {}
  Arg(std::string_view v) : kind(Kind::Text), s(v) {}
  Arg(const std::string& v) : kind(Kind::Text), s(v) {}
  Arg(const char* v) : kind(Kind::Text), s(v) {}
};

// The values of one write: a braced list, or a count and a function that
// gives value k (0-based), so that long writes need no temporary storage.
class Args {
 public:
  Args() = default;
  Args(std::initializer_list<Arg> list) : n_(static_cast<int>(list.size())), list_(list) {}
  template <class F>
  Args(int n, const F& value_at)
      : n_(n), obj_(&value_at), call_([](const void* o, int k) -> Arg {
          return (*static_cast<const F*>(o))(k);
        }) {}

  int size() const { return n_; }
  Arg operator[](int k) const { return call_ ? call_(obj_, k) : list_.begin()[k]; }

 private:
  int n_ = 0;
  std::initializer_list<Arg> list_;
  const void* obj_ = nullptr;
  Arg (*call_)(const void*, int) = nullptr;
};

// A layout, compiled once from its text.
class Layout {
 public:
  explicit Layout(std::string_view text);
  const std::string& text() const { return text_; }

 private:
  friend class TextOut;
  enum class Op : unsigned char { Literal, Blanks, Slash, I, F, E, A, Open, Close };
  struct Item {
    explicit Item(Op o, int width = 0, int decimals = 0, int matching = 0)
        : op(o), w(width), d(decimals), match(matching) {}
    Op op;
    int w = 0;      // field width, blank count, or repeat count (Open)
    int d = 0;      // decimals
    int match = 0;  // index of the matching Open/Close
    std::string literal;
  };
  std::string text_;
  std::vector<Item> items_;
  int revert_ = 0;  // where a write with values left over goes on
  bool has_fields_ = false;
  bool revert_has_fields_ = false;  // a field lies from revert_ to the end
};

// Number fields, appended to `out`. Exposed for tests.
void put_I(std::string& out, long long v, int w);
void put_F(std::string& out, double v, int w, int d);
void put_E(std::string& out, double v, int w, int d);

// A text stream that all output goes through: a file, or (for tests) a string.
//
// Every write and flush of a file is checked. A results file (`name` given)
// that fails throws OutputError and writes nothing more; the console (no name)
// is given up silently, so a closed or broken standard output never stops a
// run from completing its files.
class TextOut {
 public:
  explicit TextOut(std::FILE* file = nullptr, const char* name = nullptr);
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;

  void write(const Layout& layout, Args values = {});
  // One line of text as it stands (the line end is added).
  void write_line(std::string_view text);
  void flush();
  // Writes to `file` from now on.
  void attach(std::FILE* file) { file_ = file; }
  // Flushes and closes the file; a failure throws like a failed write.
  void close();

  // The name of the file, for messages.
  const char* name() const { return name_ ? name_ : "standard output"; }

  // Results must be finite. After a write, when one of its values was not,
  // records describe(k), the name of its first such value (k its index
  // within the write), unless an earlier write was already recorded.
  template <class Describe>
  void name_nonfinite(Describe&& describe) {
    if (first_nonfinite_ >= 0 && nonfinite_.empty()) nonfinite_ = describe(first_nonfinite_);
  }
  // The recorded name, e.g. "u in cell 3"; empty while every value is finite.
  const std::string& nonfinite() const { return nonfinite_; }

  // Test support: collect the text instead of writing it to a file.
  void capture_to(std::string* sink) { capture_ = sink; }

 private:
  void end_line();
  void failed(int error);

  std::FILE* file_;
  const char* name_;
  std::string* capture_ = nullptr;
  std::string line_;
  int first_nonfinite_ = -1;  // in the last write
  std::string nonfinite_;
};

}  // namespace quarno
