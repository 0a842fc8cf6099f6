// Mutation smoke test: a few hundred damaged copies of the example and golden
// decks, made with a fixed seed, each run through the real program. Whatever
// the damage, the program must end in an orderly way: exit 0 with finite
// results, exit 1 with one message naming the file (and the line), or exit 2;
// never a crash, a hang or a sanitizer report.
//
// Every deck is first made cheap to run: its grid is coarsened and its
// schedule and output times are compressed into a few minutes of model time.
// A failing mutant is written to a folder under the build directory, whose
// path the failure prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "RunDeck.hpp"
#include "input/Reader.hpp"

namespace quarno::test {
namespace {

namespace fs = std::filesystem;

constexpr int kGridNodes = 21;       // at most this many nodes in a shortened deck
constexpr double kEndTime = 600.0;   // s: a shortened schedule ends by then
// Wall-clock limit of one run: only a hang reaches it. Under the sanitizers
// a run takes 10 to 20 times as long, so a mutant that runs for seconds in a
// Release build (a deck whose inflow makes the outer steps tiny) takes
// minutes there without hanging.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kLimitSeconds = 900;
#else
constexpr int kLimitSeconds = 120;
#endif

// ---------------------------------------------------------------------------
// Lines of a text, each with its line end.

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string join(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l;
  return s;
}

// Lines first..last (1-based, inclusive) replaced by `text`.
std::string replace_lines(const std::string& deck, int first, int last, const std::string& text) {
  std::vector<std::string> lines = split_lines(deck);
  std::vector<std::string> out(lines.begin(), lines.begin() + (first - 1));
  out.push_back(text);
  out.insert(out.end(), lines.begin() + last, lines.end());
  return join(out);
}

std::string num(double v, int digits = 17) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  return buf;
}

// ---------------------------------------------------------------------------
// Where the parts of a deck are: found by reading it with the program's own
// reader in the order the program reads it.

struct Span {
  int first = 0, last = 0;  // 1-based lines
};

struct Shape {
  int NTr = 0, Ninv = 0, Nfdn = 0;
  Span grid;                                // the NTr Ninv Nfdn step
  std::vector<Span> param_counts, bicond_counts;
  Span schedule, times;                     // the schedule rows, the output times
  std::vector<double> rows;                 // T, h, Q, C per schedule row
  std::vector<double> tout;
};

// A value step of `n` reals; returns the values and the lines it spanned.
std::vector<double> reals(Reader& r, int n, Span& span) {
  std::vector<double> v(static_cast<std::size_t>(n), 0.0);
  std::vector<Slot> slots;
  for (double& x : v) slots.push_back(Slot::real(x, "value"));
  span.first = r.last_line() + 1;
  r.value_step(slots);
  span.last = r.last_line();
  return v;
}

int count(Reader& r, std::vector<Span>& counts) {
  int n = 0;
  Span span{r.last_line() + 1, 0};
  r.value_step({Slot::integer(n, "count")});
  span.last = r.last_line();
  counts.push_back(span);
  return n;
}

void table(Reader& r, int cols, std::vector<Span>& counts) {
  Span rows;
  r.skip_step();
  const int n = count(r, counts);
  r.skip_step();
  reals(r, n * cols, rows);
}

Shape shape_of(const std::string& param, const std::string& bicond) {
  Shape s;
  Reader p = Reader::from_text("crparam.txt", param);
  p.text_step("title");
  p.skip_step();
  s.grid.first = p.last_line() + 1;
  p.value_step({Slot::integer(s.NTr, "NTr"), Slot::integer(s.Ninv, "Ninv"),
                Slot::integer(s.Nfdn, "Nfdn")});
  s.grid.last = p.last_line();
  s.param_counts.push_back(s.grid);
  p.skip_step();
  Span unused;
  reals(p, 2, unused);
  for (int cols : {2, 2, 2, 3}) table(p, cols, s.param_counts);
  if (s.NTr > 0) table(p, 12, s.param_counts);

  Reader b = Reader::from_text("crbicond.txt", bicond);
  table(b, 3, s.bicond_counts);
  if (s.NTr > 0) table(b, 3, s.bicond_counts);
  b.skip_step();
  int NTInt = 0, NB0 = 0, NBL = 0;
  s.bicond_counts.push_back({b.last_line() + 1, 0});
  b.value_step({Slot::integer(NTInt, "NTInt"), Slot::integer(NB0, "NB0"),
                Slot::integer(NBL, "NBL")});
  s.bicond_counts.back().last = b.last_line();
  b.skip_step();
  s.rows = reals(b, 4 * NTInt, s.schedule);
  b.skip_step();
  const int NTout = count(b, s.bicond_counts);
  b.skip_step();
  s.tout = reals(b, NTout, s.times);
  b.skip_step();
  count(b, s.bicond_counts);
  return s;
}

struct Deck {
  std::string name, param, bicond;
  Shape shape;  // of the shortened texts
};

// The deck on a grid of at most kGridNodes nodes, with its schedule and
// output times scaled to end by kEndTime, one schedule row per line.
Deck shortened(const std::string& name, const std::string& param, const std::string& bicond) {
  const Shape s = shape_of(param, bicond);
  Deck d;
  d.name = name;
  d.param = replace_lines(param, s.grid.first, s.grid.last,
                          std::to_string(s.NTr) + " " + std::to_string(s.Ninv) + " " +
                              std::to_string(std::min(s.Nfdn, kGridNodes)) + "\n");
  const std::size_t NTInt = s.rows.size() / 4;
  const double end = s.rows[4 * NTInt - 4];
  const double scale = end > kEndTime ? kEndTime / end : 1.0;
  std::string rows, times;
  for (std::size_t k = 0; k < NTInt; ++k)
    rows += num(s.rows[4 * k] * scale, 9) + " " + num(s.rows[4 * k + 1]) + " " +
            num(s.rows[4 * k + 2]) + " " + num(s.rows[4 * k + 3]) + "\n";
  for (double t : s.tout) times += num(t * scale, 9) + " ";
  // The output times come after the schedule: replace them first.
  d.bicond = replace_lines(bicond, s.times.first, s.times.last, times + "\n");
  d.bicond = replace_lines(d.bicond, s.schedule.first, s.schedule.last, rows);
  d.shape = shape_of(d.param, d.bicond);
  return d;
}

const std::vector<Deck>& decks() {
  static const std::vector<Deck> all = [] {
    const fs::path data = QUARNO_TEST_DATA;
    std::vector<fs::path> dirs;
    for (const fs::path& root : {data / ".." / ".." / "examples", data / "golden"})
      for (const auto& e : fs::directory_iterator(root))
        if (fs::exists(e.path() / "crparam.txt")) dirs.push_back(e.path());
    std::sort(dirs.begin(), dirs.end());
    std::vector<Deck> v;
    for (const fs::path& dir : dirs)
      v.push_back(shortened(dir.filename().string(), read_file((dir / "crparam.txt").string()),
                            read_file((dir / "crbicond.txt").string())));
    return v;
  }();
  return all;
}

// ---------------------------------------------------------------------------
// The invariants of a finished run; an empty result when all hold.

bool is_title_line(const std::string& line) {
  return line.size() == 83 && line.compare(0, 2, " <") == 0 && line.back() == '>';
}

bool is_banner_line(const std::string& line) {
  return line == std::string(59, '*') || line == std::string(80, '*') ||
         line == "          *******";
}

// Non-finite numbers or asterisk fields in an output file (titles and
// banners, which may hold anything or are made of asterisks, left out). The
// input echo before the RESULTS banner of the results file may show asterisks:
// a valid switch such as NTr = 1000000 does not fit its echo field.
std::string bad_field(const std::string& text, const char* file) {
  int lineno = 0;
  bool echo = std::string(file) == "crOutput.txt";
  for (std::string line : split_lines(text)) {
    ++lineno;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line == "          RESULTS") echo = false;
    if (is_title_line(line) || is_banner_line(line)) continue;
    for (const char* bad : {"NaN", "Inf", "*"})
      if (line.find(bad) != std::string::npos && !(echo && bad[0] == '*'))
        return std::string(file) + " line " + std::to_string(lineno) + " holds \"" + bad +
               "\": " + line;
  }
  return {};
}

bool is_message_start(const std::string& e) {
  for (const char* file : {"crparam.txt", "crbicond.txt"}) {
    const std::string f = file;
    if (e.compare(0, f.size(), f) != 0) continue;
    std::size_t p = f.size();
    if (e.compare(p, 2, ": ") == 0) return true;
    if (e.compare(p, 7, ", line ") != 0) return false;
    p += 7;
    const std::size_t digits = p;
    while (p < e.size() && e[p] >= '0' && e[p] <= '9') ++p;
    return p > digits && e.compare(p, 2, ": ") == 0;
  }
  return false;
}

// Standard error less the plausibility warnings, which may precede anything.
std::string without_warnings(const std::string& errors) {
  std::string kept;
  for (const std::string& line : split_lines(errors))
    if (line.compare(0, 9, "warning: ") != 0) kept += line;
  return kept;
}

std::string broken_invariant(const RunResult& run) {
  RunResult r = run;
  r.errors = without_warnings(run.errors);
  if (r.errors.find("ERROR: AddressSanitizer") != std::string::npos ||
      r.errors.find("ERROR: LeakSanitizer") != std::string::npos ||
      r.errors.find("runtime error:") != std::string::npos)
    return "sanitizer report";
  if (r.status == 137)
    return "killed: still running after " + std::to_string(kLimitSeconds) + " s (a hang)";
  if (r.status > 128) return "ended by signal " + std::to_string(r.status - 128);
  if (r.status != 0 && r.status != 1 && r.status != 2)
    return "exit status " + std::to_string(r.status);
  if (r.status == 1) {
    const std::size_t eol = r.errors.find('\n');
    if (eol == std::string::npos || eol + 1 != r.errors.size())
      return "exit 1 without exactly one message line on stderr";
    if (!is_message_start(r.errors)) return "exit 1 with a message naming no input file";
    for (std::size_t k = 0; k < eol; ++k) {
      const unsigned char c = static_cast<unsigned char>(r.errors[k]);
      if (c < 0x20 || c == 0x7f) return "exit 1 with a control byte in the message";
    }
  }
  if (r.status == 2 && r.errors.empty()) return "exit 2 without a message";
  if (r.status == 0) {
    const std::string bad = bad_field(r.results, "crOutput.txt");
    if (!bad.empty()) return "exit 0 with " + bad;
    const std::string bad_obs = bad_field(r.obs, "crObsNode.txt");
    if (!bad_obs.empty()) return "exit 0 with " + bad_obs;
  }
  return {};
}

// ---------------------------------------------------------------------------
// Mutants.

struct Mutant {
  std::string deck;
  std::string what;  // the mutation, readable
  std::string param, bicond;
};

// A reproducible random source: the engine is fully specified by the
// standard, the reductions below are written out (distributions are not).
struct Dice {
  explicit Dice(std::uint32_t seed) : engine(seed) {}
  std::size_t below(std::size_t n) { return n == 0 ? 0 : engine() % n; }
  template <class T>
  const T& pick(const std::vector<T>& v) {
    if (v.empty()) throw std::logic_error("nothing to pick from");
    return v[below(v.size())];
  }
  std::mt19937 engine;
};

std::string show_byte(unsigned char c) {
  char buf[16];
  if (c >= 0x20 && c < 0x7f)
    std::snprintf(buf, sizeof buf, "'%c'", c);
  else
    std::snprintf(buf, sizeof buf, "0x%02x", c);
  return buf;
}

// Line and column (1-based) of a byte offset.
std::string where(const std::string& text, std::size_t pos) {
  int line = 1;
  std::size_t start = 0;
  for (std::size_t k = 0; k < pos && k < text.size(); ++k)
    if (text[k] == '\n') ++line, start = k + 1;
  return "line " + std::to_string(line) + " col " + std::to_string(pos - start + 1);
}

// Mutates one of the deck's two files: `edit` changes the text and says how.
Mutant mutate(const Deck& d, bool param_file,
              const std::function<std::string(std::string&)>& edit) {
  Mutant m{d.name, {}, d.param, d.bicond};
  std::string& text = param_file ? m.param : m.bicond;
  m.what = std::string(param_file ? "crparam.txt" : "crbicond.txt") + " " + edit(text);
  return m;
}

// Bytes that readers stumble on: control bytes, high bytes, separators,
// number characters.
const std::vector<unsigned char> kBytes = {0x00, 0x01, 0x09, 0x0b, 0x0c, 0x0d, 0x1b, 0x7f,
                                           0x80, 0xff, '*', '/', ',', '-', '+', '.',
                                           'e', 'D', '9', '0', ' ', '!', 'x'};

std::vector<Mutant> byte_mutants(Dice& dice, int per_deck) {
  std::vector<Mutant> v;
  for (const Deck& d : decks()) {
    for (int k = 0; k < per_deck; ++k) {
      const bool param_file = dice.below(2) == 0;
      const std::size_t op = dice.below(4);
      const std::size_t bit = dice.below(8);
      const unsigned char b = dice.pick(kBytes);
      const std::size_t r = dice.engine();
      v.push_back(mutate(d, param_file, [&](std::string& t) {
        const std::size_t pos = r % t.size();
        const std::string at = where(t, pos) + ": ";
        const unsigned char old = static_cast<unsigned char>(t[pos]);
        switch (op) {
          case 0:
            t[pos] = static_cast<char>(old ^ (1u << bit));
            return at + show_byte(old) + " -> " + show_byte(static_cast<unsigned char>(t[pos])) +
                   " (bit flip)";
          case 1:
            t[pos] = static_cast<char>(b);
            return at + show_byte(old) + " -> " + show_byte(b);
          case 2:
            t.insert(pos, 1, static_cast<char>(b));
            return at + show_byte(b) + " inserted";
          default:
            t.erase(pos, 1);
            return at + show_byte(old) + " deleted";
        }
      }));
    }
  }
  return v;
}

// A token: a run of bytes between blanks, commas, slashes and line ends.
struct Token {
  std::size_t pos, len;
  int line;
};

bool looks_numeric(const std::string& t) {
  bool digit = false;
  for (char c : t) {
    if (c >= '0' && c <= '9')
      digit = true;
    else if (std::string("+-.eEdD*").find(c) == std::string::npos)
      return false;
  }
  return digit;
}

// The numeric tokens of the lines that hold values (a heading or a title
// starts with a letter), optionally only within `lines` and at `column`.
std::vector<Token> numbers(const std::string& text, Span lines = {1, 1 << 30}, int column = -1) {
  std::vector<Token> out;
  int lineno = 0;
  std::size_t start = 0;
  for (const std::string& line : split_lines(text)) {
    ++lineno;
    const std::size_t first = line.find_first_not_of(" \t");
    const bool values = first != std::string::npos &&
                        !std::isalpha(static_cast<unsigned char>(line[first]));
    if (values && lineno >= lines.first && lineno <= lines.last) {
      int col = 0;
      std::size_t p = 0;
      while (p < line.size()) {
        const std::size_t a = line.find_first_not_of(" \t,/\r\n", p);
        if (a == std::string::npos) break;
        std::size_t e = line.find_first_of(" \t,/\r\n", a);
        if (e == std::string::npos) e = line.size();
        const std::string tok = line.substr(a, e - a);
        if (looks_numeric(tok) && (column < 0 || col == column))
          out.push_back({start + a, e - a, lineno});
        ++col;
        p = e;
      }
    }
    start += line.size();
  }
  return out;
}

const std::string kHugeDigits = "1" + std::string(400, '0');

// Extreme values for any number, and the subset for schedule end times:
// a finite end time far out is a legitimately endless run, so times get
// only values that are rejected or keep the run short.
const std::vector<std::string> kExtremes = {
    "0", "-1", "-0", "1e38", "1e39", "1e306", "-1e306", "1e-310", "NaN", "inf",
    "99999999999999999999", kHugeDigits, "3.4028236e38", "1.5"};
const std::vector<std::string> kExtremeTimes = {"0",   "-1",       "-0",           "1e39",
                                                "1e306", "-1e306", "NaN",          kHugeDigits,
                                                "1e-310", "3.4028236e38"};

std::string replace_token(std::string& t, const Token& tok, const std::string& value) {
  const std::string old = t.substr(tok.pos, tok.len);
  t.replace(tok.pos, tok.len, value);
  const std::string shown = value.size() > 24 ? value.substr(0, 4) + "...(" +
                                                    std::to_string(value.size()) + " digits)"
                                              : value;
  return "line " + std::to_string(tok.line) + ": " + old + " -> " + shown;
}

std::vector<Mutant> number_mutants(Dice& dice, int per_deck) {
  std::vector<Mutant> v;
  for (const Deck& d : decks()) {
    const std::vector<Token> times = numbers(d.bicond, d.shape.schedule, 0);
    for (int k = 0; k < per_deck; ++k) {
      const bool param_file = dice.below(2) == 0;
      const std::vector<Token> all = numbers(param_file ? d.param : d.bicond);
      const Token tok = dice.pick(all);
      bool is_time = false;
      for (const Token& t : times) is_time = is_time || (!param_file && t.pos == tok.pos);
      const std::string value = dice.pick(is_time ? kExtremeTimes : kExtremes);
      v.push_back(mutate(d, param_file,
                         [&](std::string& t) { return replace_token(t, tok, value); }));
    }
  }
  return v;
}

std::vector<Mutant> line_mutants(Dice& dice, int per_deck) {
  std::vector<Mutant> v;
  for (const Deck& d : decks()) {
    for (int k = 0; k < per_deck; ++k) {
      const bool param_file = dice.below(2) == 0;
      const std::size_t op = dice.below(6);
      const std::size_t r = dice.engine();
      v.push_back(mutate(d, param_file, [&](std::string& t) {
        std::vector<std::string> lines = split_lines(t);
        const std::size_t n = lines.size();
        const std::size_t i = r % n;
        const std::string at = "line " + std::to_string(i + 1);
        switch (op) {
          case 0:
            lines.insert(lines.begin() + static_cast<long>(i), lines[i]);
            t = join(lines);
            return at + " duplicated";
          case 1:
            lines.erase(lines.begin() + static_cast<long>(i));
            t = join(lines);
            return at + " dropped";
          case 2:
            std::swap(lines[i], lines[(i + 1) % n]);
            t = join(lines);
            return at + " swapped with the next";
          case 3: {  // two lines joined into one
            const std::size_t nl = t.find('\n', r % t.size());
            if (nl == std::string::npos) return std::string("unchanged (no line end to remove)");
            const std::string w = where(t, nl);
            t.erase(nl, 1);
            return w + ": line end removed";
          }
          case 4:  // a file of megabytes
            lines.insert(lines.begin() + static_cast<long>(i), 100000, lines[i]);
            t = join(lines);
            return at + " repeated 100000 times";
          default: {
            const std::size_t cut = r % t.size();
            const std::string w = where(t, cut);
            t.resize(cut);
            return "cut at " + w;
          }
        }
      }));
    }
  }
  return v;
}

std::vector<Mutant> count_mutants(Dice& dice, int per_deck) {
  std::vector<Mutant> v;
  for (const Deck& d : decks()) {
    for (int k = 0; k < per_deck; ++k) {
      const bool param_file = dice.below(2) == 0;
      const std::string& text = param_file ? d.param : d.bicond;
      const Span span = dice.pick(param_file ? d.shape.param_counts : d.shape.bicond_counts);
      const std::vector<Token> toks = numbers(text, span);
      const std::size_t which = dice.below(7);
      const Token tok = dice.pick(toks);
      const long long n = std::atoll(text.substr(tok.pos, tok.len).c_str());
      const std::vector<long long> values = {n - 1, n + 1, 2 * n, 0, -1, 1000000, 2147483648LL};
      // A value equal to the count would leave the deck as it was.
      const long long changed = values[which] != n ? values[which] : n + 1;
      const std::string value = std::to_string(changed);
      v.push_back(mutate(d, param_file,
                         [&](std::string& t) { return replace_token(t, tok, value); }));
    }
  }
  return v;
}

// ---------------------------------------------------------------------------

// Runs the mutants and reports every one that breaks an invariant, saving
// it under mutant-failures/<group>/ in the build directory.
void run_mutants(const std::string& group, const std::vector<Mutant>& mutants) {
  const fs::path dir = fs::path(QUARNO_EXE).parent_path() / "mutant-failures" / group;
  fs::remove_all(dir);
  std::map<std::string, int> kinds;
  std::string report;
  int failed = 0;
  std::map<int, int> statuses;
  double slowest = 0.0;
  std::string slowest_what;
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < mutants.size(); ++k) {
    const Mutant& m = mutants[k];
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = run_deck_limited(m.param, m.bicond, kLimitSeconds);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (took > slowest) slowest = took, slowest_what = m.deck + " [" + m.what + "]";
    statuses[r.status] += 1;
    const std::string broken = broken_invariant(r);
    if (broken.empty()) continue;
    ++failed;
    kinds[broken.compare(0, 11, "exit 0 with") == 0 ? "exit 0 with a bad field" : broken] += 1;
    const fs::path keep = dir / (std::to_string(k) + "-" + m.deck);
    fs::create_directories(keep);
    std::ofstream(keep / "crparam.txt", std::ios::binary) << m.param;
    std::ofstream(keep / "crbicond.txt", std::ios::binary) << m.bicond;
    std::ofstream(keep / "mutation.txt", std::ios::binary)
        << m.deck << ": " << m.what << "\nstatus " << r.status << ": " << broken
        << "\nstderr:\n" << r.errors;
    const std::string first = r.errors.substr(0, std::min(r.errors.find('\n'), std::size_t{160}));
    report += "  " + keep.filename().string() + " [" + m.what + "]: status " +
              std::to_string(r.status) + ", " + broken + "; stderr: " + first + "\n";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string tally;
  for (const auto& [status, n] : statuses)
    tally += (tally.empty() ? "" : ", ") + std::to_string(n) + " x exit " + std::to_string(status);
  std::cout << group << ": " << mutants.size() << " mutants in " << num(seconds, 3) << " s ("
            << tally << "), " << failed << " broke an invariant; slowest " << num(slowest, 3)
            << " s: " << slowest_what << "\n";
  if (failed > 0) {
    std::string summary;
    for (const auto& [kind, n] : kinds) summary += "  " + std::to_string(n) + " x " + kind + "\n";
    ADD_FAILURE() << failed << " of " << mutants.size() << " mutants broke an invariant:\n"
                  << summary << "each one (its input files and stderr are in " << dir.string()
                  << "/<name>/):\n"
                  << report;
  }
}

TEST(Mutants, ShortenedDecksRunCleanly) {
  // The undamaged, shortened decks, from which every mutant starts, run to
  // the end and keep the invariants.
  ASSERT_GE(decks().size(), 5u) << "the example and golden decks were not found";
  for (const Deck& d : decks()) {
    EXPECT_LE(d.shape.Nfdn, kGridNodes) << d.name;
    EXPECT_LE(d.shape.rows[d.shape.rows.size() - 4], kEndTime) << d.name;
    const RunResult r = run_deck_limited(d.param, d.bicond, kLimitSeconds);
    EXPECT_EQ(r.status, 0) << d.name << ": " << r.errors;
    EXPECT_EQ(broken_invariant(r), "") << d.name;
  }
}

TEST(Mutants, ByteEdits) {
  Dice dice(1001);
  run_mutants("bytes", byte_mutants(dice, 5));
}

TEST(Mutants, ExtremeNumbers) {
  Dice dice(2002);
  run_mutants("numbers", number_mutants(dice, 8));
}

TEST(Mutants, LineEdits) {
  Dice dice(3003);
  run_mutants("lines", line_mutants(dice, 4));
}

TEST(Mutants, CountChanges) {
  Dice dice(4004);
  run_mutants("counts", count_mutants(dice, 4));
}

}  // namespace
}  // namespace quarno::test
