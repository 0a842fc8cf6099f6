#include "input/ForcingFile.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "input/Reader.hpp"
#include "input/StateText.hpp"
#include "model/Errors.hpp"
#include "model/ShowNumber.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

// A forcing file is a few kilobytes; a series file may hold a long gauge
// record (a year of minutes is about 20 MB).
constexpr std::size_t kMaxForcingBytes = std::size_t{16} << 20;
constexpr std::size_t kMaxSeriesBytes = std::size_t{256} << 20;
constexpr std::size_t kMaxNameLength = 40;

[[noreturn]] void fail_at(const std::string& file, int line, const std::string& what) {
  throw InputError(file + ", line " + std::to_string(line) + ": " + what);
}

int line_of(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

// The whole of the regular file `path` into `text`; the reason it cannot be
// read otherwise.
std::string read_whole(const std::string& path, std::size_t max_bytes, std::string& text) {
  const std::string why = read_regular_file(path, max_bytes, text);
  if (why == kFileTooLarge) return "larger than " + std::to_string(max_bytes >> 20) + " MiB";
  return why;
}


// What a TOML value is, for messages.
const char* kind_of(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time of day";
    case toml::node_type::date_time: return "a date-time";
    default: return "nothing";
  }
}

// Two digits, or four for a year, with leading zeros.
std::string digits(long v, int width) {
  std::string s = std::to_string(v);
  return std::string(s.size() < static_cast<std::size_t>(width) ? width - s.size() : 0, '0') + s;
}

// A TOML date or date-time in the text form the start date is read from; a
// local date-time (no offset) is read as UTC.
std::string iso_text(const toml::node& n) {
  const bool whole = n.is_date_time();
  const toml::date d = whole ? n.as_date_time()->get().date : n.as_date()->get();
  std::string s = digits(d.year, 4) + "-" + digits(d.month, 2) + "-" + digits(d.day, 2);
  if (!whole) return s;
  const toml::date_time& dt = n.as_date_time()->get();
  s += "T" + digits(dt.time.hour, 2) + ":" + digits(dt.time.minute, 2) + ":" +
       digits(dt.time.second, 2) + "." + digits(static_cast<long>(dt.time.nanosecond), 9);
  if (dt.offset) {
    const int minutes = dt.offset->minutes;
    s += (minutes < 0 ? "-" : "+") + digits(std::abs(minutes) / 60, 2) + ":" +
         digits(std::abs(minutes) % 60, 2);
  }
  return s;
}

// Reads the times of one series, all seconds or all dates, and checks that
// they increase. Messages name the file, the line and the value's label.
class TimeReader {
 public:
  TimeReader(const StartDate& start, std::string file) : start_(start), file_(std::move(file)) {}

  void seconds(double t, int line, const std::string& label) {
    kind(Kind::Seconds, line, label);
    if (!std::isfinite(t))
      fail_at(file_, line, label + " must be a finite number (found " + show_number(t) + ")");
    add(t, line, label);
  }
  void date(std::string_view text, int line, const std::string& label) {
    kind(Kind::Dates, line, label);
    StartDate d;
    std::string reason;
    if (!parse_start_date(text, d, reason))
      fail_at(file_, line, label + " " + quote_input(text) +
                               " is not an ISO 8601 date and time: " + reason);
    if (!start_.set)
      fail_at(file_, line, label + " is a date, and dates need the run's start date "
                                   "(--start-date, or start_date in [deck])");
    add(static_cast<double>(d.seconds - start_.seconds) +
            static_cast<double>(d.nanos - start_.nanos) * 1e-9,
        line, label);
  }
  std::vector<double>& times() { return t_; }

 private:
  enum class Kind { None, Seconds, Dates };
  void kind(Kind k, int line, const std::string& label) {
    if (kind_ != Kind::None && kind_ != k)
      fail_at(file_, line, label + (k == Kind::Dates ? " is a date" : " is a number of seconds") +
                               " where the times before it are " +
                               (k == Kind::Dates ? "seconds" : "dates") +
                               "; the times of one series are all seconds or all dates");
    kind_ = k;
  }
  void add(double t, int line, const std::string& label) {
    if (!t_.empty() && !(t > t_.back()))
      fail_at(file_, line, label + " must be later than the time before it (found " +
                               show_number(t) + " s after " + show_number(t_.back()) +
                               " s since time 0)");
    t_.push_back(t);
  }

  const StartDate& start_;
  std::string file_;
  Kind kind_ = Kind::None;
  std::vector<double> t_;
};

// The values a quantity may take besides being finite: lo..hi, lo itself
// excluded when `above`.
struct Range {
  double lo, hi;
  bool above;
};
constexpr Range kAnyNumber{-HUGE_VAL, HUGE_VAL, false};
constexpr Range kNonNegative{0.0, HUGE_VAL, false};
constexpr Range kPositive{0.0, HUGE_VAL, true};
constexpr Range kTemperature{-5.0, 50.0, false};  // degrees C
constexpr Range kTheta{0.9, 1.3, false};
// theta beyond this range is accepted with a warning: the range measured for
// faecal indicator bacteria.
constexpr double kUsualThetaLo = 1.0, kUsualThetaHi = 1.2;

void check_value(const std::string& file, int line, const std::string& label, double v,
                 const Range& r) {
  if (!std::isfinite(v))
    fail_at(file, line, label + " must be a finite number (found " + show_number(v) + ")");
  if (v >= r.lo && v <= r.hi && !(r.above && v == r.lo)) return;
  const std::string found = " (found " + show_number(v) + ")";
  if (r.hi < HUGE_VAL)
    fail_at(file, line, label + " must lie between " + show_number(r.lo) + " and " +
                            show_number(r.hi) + found);
  fail_at(file, line, label + (r.above ? " must be greater than " + show_number(r.lo)
                                       : std::string(" must not be negative")) + found);
}

// ---------------------------------------------------------------------------
// CSV series files.

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t comma = line.find(',', at);
    const std::size_t length = comma == std::string_view::npos ? comma : comma - at;
    fields.push_back(trimmed(line.substr(at, length)));
    if (comma == std::string_view::npos) return fields;
    at = comma + 1;
  }
}

// What a kind of series file holds: slot 0 the time, then two quantities.
// Each header name fills one slot; two names may share a slot, one at a time.
constexpr int kSlots = 3;
struct CsvName {
  std::string_view name;
  int slot;
};
struct CsvKind {
  std::vector<CsvName> names;
  bool required[kSlots];
  Range range[kSlots];  // of the quantities' values (slot 0 unused)
  const char* listed;   // the columns, for the message of an unknown one
  const char* needed;   // what the header must name, for its message
};

const CsvKind kSourceCsv{{{"time_s", 0},
                          {"datetime", 0},
                          {"discharge_m3s", 1},
                          {"concentration", 2},
                          {"load", 2}},
                         {true, true, true},
                         {kAnyNumber, kAnyNumber, kNonNegative},
                         "time_s or datetime, discharge_m3s, and concentration or load",
                         "the columns time_s (or datetime), discharge_m3s and concentration (or "
                         "load)"};
const CsvKind kEnvironmentCsv{
    {{"time_s", 0}, {"datetime", 0}, {"temperature_C", 1}, {"irradiance_W_per_m2", 2}},
    {true, false, false},
    {kAnyNumber, kTemperature, kNonNegative},
    "time_s or datetime, temperature_C and irradiance_W_per_m2",
    "the column time_s (or datetime)"};

// The columns of a series file: per slot its position in the rows and the
// name that fills it (-1 and empty: not in the file).
struct CsvColumns {
  int at[kSlots] = {-1, -1, -1};
  std::string_view name[kSlots];
  std::size_t count = 0;
};

CsvColumns read_header(const std::string& file, int line, std::string_view text,
                       const CsvKind& kind) {
  CsvColumns c;
  const std::vector<std::string_view> names = split_fields(text);
  c.count = names.size();
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::string_view n = names[k];
    const auto known = std::find_if(kind.names.begin(), kind.names.end(),
                                    [&](const CsvName& entry) { return entry.name == n; });
    if (known == kind.names.end())
      fail_at(file, line,
              "unknown column " + quote_input(n) + " (the columns are " + kind.listed + ")");
    int& slot = c.at[known->slot];
    if (slot >= 0)
      fail_at(file, line, "the column " + quote_input(n) + " repeats or contradicts column " +
                              std::to_string(slot + 1));
    slot = static_cast<int>(k);
    c.name[known->slot] = known->name;
  }
  for (int s = 0; s < kSlots; ++s)
    if (kind.required[s] && c.at[s] < 0)
      fail_at(file, line, std::string("the header must name ") + kind.needed + " (found " +
                              quote_input(text) + ")");
  return c;
}

double csv_number(const std::string& file, int line, std::string_view field,
                  std::string_view name) {
  const std::string s(field);
  char* end = nullptr;
  const double v = s.empty() ? 0.0 : std::strtod(s.c_str(), &end);
  if (s.empty() || end != s.c_str() + s.size())
    fail_at(file, line, "expected a number for " + std::string(name) + ", found " +
                            quote_input(field));
  return v;
}

// A series read from a CSV file: the times and, per slot, the values of its
// quantity (empty when the file has no such column).
struct CsvSeries {
  std::vector<double> t;
  std::vector<double> values[kSlots];
  CsvColumns columns;
};

// One row of a series file into `out`.
void read_csv_row(const std::string& file, int line, std::string_view text, const CsvKind& kind,
                  TimeReader& times, CsvSeries& out) {
  const CsvColumns& c = out.columns;
  const std::vector<std::string_view> f = split_fields(text);
  if (f.size() != c.count)
    fail_at(file, line, "expected " + std::to_string(c.count) + " values, as the header names, " +
                            "found " + std::to_string(f.size()));
  const std::string_view t = f[static_cast<std::size_t>(c.at[0])];
  if (c.name[0] == "datetime")
    times.date(t, line, "datetime");
  else
    times.seconds(csv_number(file, line, t, "time_s"), line, "time_s");
  for (int s = 1; s < kSlots; ++s) {
    if (c.at[s] < 0) continue;
    const double v = csv_number(file, line, f[static_cast<std::size_t>(c.at[s])], c.name[s]);
    check_value(file, line, std::string(c.name[s]), v, kind.range[s]);
    out.values[s].push_back(v);
  }
}

// The series of the CSV file `path` of the kind `kind`, named by the forcing
// file's line `line`.
CsvSeries read_csv_series(const std::string& forcing, int line, const std::string& path,
                          const StartDate& start, const CsvKind& kind) {
  std::string text;
  const std::string why = read_whole(path, kMaxSeriesBytes, text);
  if (!why.empty())
    fail_at(forcing, line, "cannot read the series file " + quote_input(path) + " (" + why + ")");
  TimeReader times(start, path);
  CsvSeries out;
  bool header = false;
  int lineno = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view row = trimmed(std::string_view(text).substr(at, end - at));
    at = end + 1;
    ++lineno;
    if (row.empty() || row.front() == '#') continue;
    if (!header) {
      out.columns = read_header(path, lineno, row, kind);
      header = true;
      continue;
    }
    read_csv_row(path, lineno, row, kind, times, out);
  }
  if (times.times().empty())
    fail_at(path, lineno + 1, header ? "the series holds no rows after its header"
                                     : "the file holds no header line");
  out.t = std::move(times.times());
  return out;
}

// ---------------------------------------------------------------------------
// The sections of the file: [[source]] tables, [environment] and [rates].

// "a, b and c"
std::string listed(const std::vector<const char*>& keys) {
  std::string s;
  for (std::size_t k = 0; k < keys.size(); ++k)
    s += (k == 0 ? "" : k + 1 == keys.size() ? " and " : ", ") + std::string(keys[k]);
  return s;
}

class SectionReader {
 public:
  SectionReader(const std::string& file, std::string folder, double L, const StartDate& start,
                TextOut& warnings)
      : file_(file), folder_(std::move(folder)), L_(L), start_(start), warnings_(warnings) {}

  SourceSeries source(const toml::table& t) {
    SourceSeries s;
    s.line = line_of(t);
    check_keys(t, {"name", "x", "x_to", "times", "discharge", "concentration", "load", "series",
                   "strength"},
               "a [[source]]");
    if (!t.get("name")) fail_at(file_, s.line, "a [[source]] needs a name");
    read_name(t, s);
    who_ = " of source " + quote_input(s.name);
    read_position(t, s);
    read_series(t, s);
    if (const toml::node* n = t.get("strength")) {
      s.strength = number(*n, "strength");
      check_value(file_, line_of(*n), "strength" + who_, s.strength, kNonNegative);
    }
    return s;
  }

  EnvironmentSeries environment(const toml::table& t) {
    EnvironmentSeries e;
    e.line = line_of(t);
    who_ = " of [environment]";
    needs_ = "a series needs at least one value";
    check_keys(t, {"times", "temperature_C", "irradiance_W_per_m2", "series"}, "[environment]");
    const toml::node* times = t.get("times");
    const toml::node* temperature = t.get("temperature_C");
    const toml::node* irradiance = t.get("irradiance_W_per_m2");
    const toml::node* file = t.get("series");
    const toml::node* inline_key = times ? times : temperature ? temperature : irradiance;
    if (file && inline_key)
      fail(*file, "[environment] has both an inline series and series = \"...\"; give one");
    if (file) {
      e.series_file = series_path(*file);
      CsvSeries s = read_csv_series(file_, line_of(*file), e.series_file, start_, kEnvironmentCsv);
      e.t = std::move(s.t);
      e.T = std::move(s.values[1]);
      e.I0 = std::move(s.values[2]);
      return e;
    }
    if (inline_key && !times)
      fail(*inline_key, "[environment] needs times for its values, or series = \"file.csv\"");
    if (times) e.t = read_times(*times);
    if (temperature) e.T = values(*temperature, "temperature_C", kTemperature, "times", e.t.size());
    if (irradiance)
      e.I0 = values(*irradiance, "irradiance_W_per_m2", kNonNegative, "times", e.t.size());
    return e;
  }

  RateTable rates(const toml::table& t) {
    RateTable r;
    r.line = line_of(t);
    who_ = " of [rates]";
    needs_ = "the table needs at least one row";
    check_keys(t, {"x", "theta_w", "theta_b", "light_alpha", "extinction"}, "[rates]");
    const toml::node* x = t.get("x");
    if (!x) fail_at(file_, r.line, "[rates] needs x, where each row's segment starts");
    r.x = values(*x, "x", kAnyNumber, nullptr, 0);
    check_positions(*x->as_array(), r.x);
    const std::size_t rows = r.x.size();
    if (const toml::node* n = t.get("theta_w")) r.theta_w = thetas(*n, "theta_w", rows);
    if (const toml::node* n = t.get("theta_b")) r.theta_b = thetas(*n, "theta_b", rows);
    if (const toml::node* n = t.get("light_alpha"))
      r.light_alpha = values(*n, "light_alpha", kNonNegative, "x", rows);
    if (const toml::node* n = t.get("extinction"))
      r.extinction = values(*n, "extinction", kPositive, "x", rows);
    return r;
  }

 private:
  [[noreturn]] void fail(const toml::node& n, const std::string& what) const {
    fail_at(file_, line_of(n), what);
  }

  double number(const toml::node& n, const std::string& label) const {
    if (const auto* i = n.as_integer()) return static_cast<double>(i->get());
    if (const auto* f = n.as_floating_point()) return f->get();
    fail(n, label + who_ + " must be a number (found " + kind_of(n) + ")");
  }

  void check_keys(const toml::table& t, const std::vector<const char*>& keys,
                  const char* where) const {
    for (const auto& entry : t) {
      const auto& key = entry.first;
      if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return key.str() == k; }))
        fail_at(file_, static_cast<int>(key.source().begin.line),
                "unknown key " + quote_input(key.str()) + " in " + where + " (its keys are " +
                    listed(keys) + ")");
    }
  }

  void read_name(const toml::table& t, SourceSeries& s) const {
    const toml::node& n = *t.get("name");
    if (!n.is_string()) fail(n, std::string("name must be a string (found ") + kind_of(n) + ")");
    s.name = n.as_string()->get();
    const bool printable = std::all_of(s.name.begin(), s.name.end(),
                                       [](char c) { return c >= 0x20 && c < 0x7f; });
    if (s.name.empty() || s.name.size() > kMaxNameLength || !printable)
      fail(n, "name must be 1 to 40 printable ASCII characters (found " + quote_input(s.name) +
                  ")");
  }

  void read_position(const toml::table& t, SourceSeries& s) const {
    const toml::node* x = t.get("x");
    if (!x) fail_at(file_, s.line, "source " + quote_input(s.name) + " needs x, its position");
    s.x = number(*x, "x");
    if (!(s.x >= 0.0 && s.x <= L_))
      fail(*x, "x" + who_ + " must lie between 0 and L = " + show_number(L_) + " (found " +
                   show_number(s.x) + ")");
    const toml::node* to = t.get("x_to");
    if (!to) return;
    s.distributed = true;
    s.x_to = number(*to, "x_to");
    if (!(s.x_to > s.x))
      fail(*to, "x_to" + who_ + " must be greater than x = " + show_number(s.x) + " (found " +
                    show_number(s.x_to) + ")");
    if (!(s.x_to <= L_))
      fail(*to, "x_to" + who_ + " must be at most L = " + show_number(L_) + " (found " +
                    show_number(s.x_to) + ")");
  }

  // The rates' x: the first 0, increasing, none beyond L.
  void check_positions(const toml::array& a, const std::vector<double>& x) const {
    for (std::size_t k = 0; k < x.size(); ++k) {
      const std::string label = "x(" + std::to_string(k + 1) + ")" + who_;
      const std::string found = " (found " + show_number(x[k]) + ")";
      if (k == 0 && x[k] != 0.0) fail(a[k], label + " must be 0, the inlet" + found);
      if (k > 0 && !(x[k] > x[k - 1]))
        fail(a[k], label + " must be greater than x(" + std::to_string(k) +
                       ") = " + show_number(x[k - 1]) + found);
      if (x[k] > L_) fail(a[k], label + " must be at most L = " + show_number(L_) + found);
    }
  }

  const toml::array& array(const toml::node& n, const char* key) const {
    if (!n.is_array())
      fail(n, key + who_ + " must be an array (found " + kind_of(n) + ")");
    const toml::array& a = *n.as_array();
    if (a.empty()) fail(n, key + who_ + " is empty; " + needs_);
    return a;
  }

  std::vector<double> read_times(const toml::node& n) const {
    TimeReader times(start_, file_);
    const toml::array& a = array(n, "times");
    for (std::size_t k = 0; k < a.size(); ++k) {
      const toml::node& e = a[k];
      const std::string label = "times(" + std::to_string(k + 1) + ")" + who_;
      if (e.is_string())
        times.date(e.as_string()->get(), line_of(e), label);
      else if (e.is_date_time() || e.is_date())
        times.date(iso_text(e), line_of(e), label);
      else
        times.seconds(number(e, "times(" + std::to_string(k + 1) + ")"), line_of(e), label);
    }
    return std::move(times.times());
  }

  // The values of the array `n` under `key`, in `range`; with `count_key`,
  // as many as that key's `count`.
  std::vector<double> values(const toml::node& n, const char* key, const Range& range,
                             const char* count_key, std::size_t count) const {
    const toml::array& a = array(n, key);
    if (count_key && a.size() != count)
      fail(n, key + who_ + " has " + std::to_string(a.size()) +
                  (a.size() == 1 ? " value" : " values") + " where " + count_key + " has " +
                  std::to_string(count));
    std::vector<double> v;
    for (std::size_t k = 0; k < a.size(); ++k) {
      const std::string label = key + ("(" + std::to_string(k + 1) + ")");
      v.push_back(number(a[k], label));
      check_value(file_, line_of(a[k]), label + who_, v.back(), range);
    }
    return v;
  }

  // A temperature factor per row, with a warning for each outside the usual range.
  std::vector<double> thetas(const toml::node& n, const char* key, std::size_t rows) {
    std::vector<double> v = values(n, key, kTheta, "x", rows);
    for (std::size_t k = 0; k < v.size(); ++k)
      if (v[k] < kUsualThetaLo || v[k] > kUsualThetaHi)
        warnings_.write_line("warning: " + file_ + ", line " +
                             std::to_string(line_of((*n.as_array())[k])) + ": " + key + "(" +
                             std::to_string(k + 1) + ")" + who_ + " is " + show_number(v[k]) +
                             ", outside 1 to 1.2, the range measured for faecal indicator "
                             "bacteria");
    return v;
  }

  void read_series(const toml::table& t, SourceSeries& s) const {
    const toml::node* times = t.get("times");
    const toml::node* discharge = t.get("discharge");
    const toml::node* conc = t.get("concentration");
    const toml::node* load = t.get("load");
    const toml::node* file = t.get("series");
    const toml::node* inline_key = times ? times : discharge ? discharge : conc ? conc : load;
    if (file && inline_key)
      fail(*file, "source " + quote_input(s.name) +
                      " has both an inline series and series = \"...\"; give one");
    if (conc && load)
      fail(*load, "source " + quote_input(s.name) + " has both concentration and load; give one");
    if (file) {
      s.series_file = series_path(*file);
      CsvSeries csv = read_csv_series(file_, line_of(*file), s.series_file, start_, kSourceCsv);
      s.t = std::move(csv.t);
      s.Q = std::move(csv.values[1]);
      s.C = std::move(csv.values[2]);
      s.load = csv.columns.name[2] == "load";
      return;
    }
    if (!times || !discharge || !(conc || load))
      fail_at(file_, inline_key ? line_of(*inline_key) : s.line,
              "source " + quote_input(s.name) + " needs a series: times, discharge and "
              "concentration (or load), or series = \"file.csv\"");
    s.t = read_times(*times);
    s.Q = values(*discharge, "discharge", kAnyNumber, "times", s.t.size());
    s.load = load != nullptr;
    s.C = values(load ? *load : *conc, load ? "load" : "concentration", kNonNegative, "times",
                 s.t.size());
  }

  // The path of the series file `series = "..."` names, relative to this file's folder.
  std::string series_path(const toml::node& n) const {
    if (!n.is_string() || n.as_string()->get().empty())
      fail(n, "series" + who_ + " must be a file name (found " +
                  (n.is_string() ? std::string("an empty string") : kind_of(n)) + ")");
    const std::string& name = n.as_string()->get();
    return name.front() == '/' || folder_.empty() ? name : folder_ + name;
  }

  const std::string& file_;
  std::string folder_;  // the forcing file's folder, with its final '/'; empty: the working one
  double L_;
  const StartDate& start_;
  TextOut& warnings_;
  std::string who_;  // " of source \"name\"" or " of [rates]", for messages
  const char* needs_ = "a series needs at least one value";  // what an empty array lacks
};

// The [deck] table: the run's start date and the deck's concentration unit.
DeckTable read_deck_table(const std::string& file, const toml::node& value, int line) {
  if (!value.is_table()) fail_at(file, line, "deck must be a table, written [deck]");
  const toml::table& t = *value.as_table();
  DeckTable deck;
  deck.line = line;
  for (const auto& entry : t) {
    const auto& key = entry.first;
    if (key.str() != "start_date" && key.str() != "concentration_unit")
      fail_at(file, static_cast<int>(key.source().begin.line),
              "unknown key " + quote_input(key.str()) +
                  " in [deck] (its keys are start_date and concentration_unit)");
  }
  if (const toml::node* n = t.get("start_date")) {
    std::string text;
    if (n->is_string())
      text = n->as_string()->get();
    else if (n->is_date_time() || n->is_date())
      text = iso_text(*n);
    else
      fail_at(file, line_of(*n), std::string("start_date of [deck] must be a date-time or a "
                                             "string (found ") + kind_of(*n) + ")");
    StartDate d;
    std::string reason;
    if (!parse_start_date(text, d, reason))
      fail_at(file, line_of(*n), "start_date of [deck] " + quote_input(text) +
                                     " is not an ISO 8601 date and time: " + reason);
    if (!date_within_calendar(d, 0.0))
      fail_at(file, line_of(*n), "start_date of [deck] " + quote_input(text) + " lies before " +
                                     kFirstDate + ", the first date the results can hold");
    deck.start_set = true;
    deck.start_seconds = d.seconds;
    deck.start_nanos = d.nanos;
  }
  if (const toml::node* n = t.get("concentration_unit")) {
    if (!n->is_string())
      fail_at(file, line_of(*n), std::string("concentration_unit of [deck] must be a string "
                                             "(found ") + kind_of(*n) + ")");
    const std::string& text = n->as_string()->get();
    if (!parse_concentration_unit(text, deck.unit))
      fail_at(file, line_of(*n), "concentration_unit of [deck] " + quote_input(text) +
                                     " is not an amount per volume the program knows (amounts: " +
                                     known_unit_amounts() + "; volumes: " + known_unit_volumes() +
                                     ")");
  }
  return deck;
}

}  // namespace

StartDate deck_start_date(const Forcing& forcing) {
  StartDate d;
  d.set = forcing.deck.start_set;
  d.seconds = forcing.deck.start_seconds;
  d.nanos = forcing.deck.start_nanos;
  return d;
}

bool forcing_file_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

Forcing read_forcing_file(const std::string& path, double L, const StartDate& start,
                          TextOut& warnings) {
  std::string text;
  const std::string why = read_whole(path, kMaxForcingBytes, text);
  if (!why.empty()) throw InputError(path + ": cannot read the file (" + why + ")");
  toml::table doc;
  try {
    doc = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    fail_at(path, static_cast<int>(e.source().begin.line),
            "not valid TOML: " + std::string(e.description()));
  }
  Forcing forcing;
  forcing.path = path;
  // [deck] first: its start date measures the dates of every series.
  if (const auto deck = doc.find("deck"); deck != doc.end())
    forcing.deck =
        read_deck_table(path, deck->second, static_cast<int>(deck->first.source().begin.line));
  const StartDate run_start = start.set ? start : deck_start_date(forcing);
  const std::size_t slash = path.rfind('/');
  SectionReader reader(path, slash == std::string::npos ? "" : path.substr(0, slash + 1), L,
                       run_start, warnings);
  for (auto&& [key, value] : doc) {
    const int line = static_cast<int>(key.source().begin.line);
    if (key.str() == "deck") continue;
    if (key.str() == "environment" || key.str() == "rates") {
      if (!value.is_table())
        fail_at(path, line, std::string(key.str()) + " must be a table, written [" +
                                std::string(key.str()) + "]");
      if (key.str() == "environment")
        forcing.environment = reader.environment(*value.as_table());
      else
        forcing.rates = reader.rates(*value.as_table());
      continue;
    }
    if (key.str() != "source")
      fail_at(path, line, "unknown key " + quote_input(key.str()) +
                              " (the file holds [deck], [[source]] tables, [environment] and "
                              "[rates])");
    if (!value.is_array_of_tables())
      fail_at(path, line, "source must be an array of tables, each written [[source]]");
    for (const toml::node& t : *value.as_array()) {
      forcing.sources.push_back(reader.source(*t.as_table()));
      const SourceSeries& s = forcing.sources.back();
      for (std::size_t k = 0; k + 1 < forcing.sources.size(); ++k)
        if (forcing.sources[k].name == s.name)
          fail_at(path, s.line, "the name " + quote_input(s.name) +
                                    " is already that of the source on line " +
                                    std::to_string(forcing.sources[k].line));
    }
  }
  // A load is an amount per second, and the deck's concentrations are amounts
  // per the unit's volume: in the deck's unit a load is the amount per second
  // times that volume in m3 (load = Q C with Q in m3/s).
  if (forcing.deck.unit.declared())
    for (SourceSeries& s : forcing.sources)
      if (s.load)
        for (double& v : s.C) v *= forcing.deck.unit.volume_m3;
  return forcing;
}

namespace {

// "  min  max" of `v` in E12.4 fields, or "  none" when empty.
std::string value_range(const std::vector<double>& v) {
  if (v.empty()) return "  none";
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  std::string s;
  put_E(s, *lo, 12, 4);
  put_E(s, *hi, 12, 4);
  return s;
}

// Row k of a rates column, or the column's default when it is left out.
double column_value(const std::vector<double>& column, std::size_t k, double fallback) {
  return column.empty() ? fallback : column[k];
}

}  // namespace

void echo_forcing(TextOut& out, const Forcing& forcing) {
  using namespace layouts;
  const int count = static_cast<int>(forcing.sources.size());
  out.write(kForcingHead, {forcing.path, count});
  if (count > 0) out.write(kForcingColumns);
  for (const SourceSeries& s : forcing.sources) {
    const auto [qmin, qmax] = std::minmax_element(s.Q.begin(), s.Q.end());
    const auto [cmin, cmax] = std::minmax_element(s.C.begin(), s.C.end());
    std::string name = s.name;
    name.resize(kMaxNameLength, ' ');
    std::string x_to;
    if (s.distributed)
      put_E(x_to, s.x_to, 12, 4);
    else
      x_to.assign(12, ' ');
    out.write(kForcingRow, {name, s.distributed ? "stretch" : "point  ", s.x, x_to,
                            static_cast<int>(s.t.size()), *qmin, *qmax,
                            s.load ? "load" : "conc", *cmin, *cmax, s.strength,
                            s.series_file.empty() ? std::string() : "  " + s.series_file});
  }
  const EnvironmentSeries& e = forcing.environment;
  if (e.line > 0) {
    if (count > 0) out.write(kBlankLine);
    out.write(kEnvironmentLine,
              {static_cast<int>(e.t.size()), value_range(e.T), value_range(e.I0),
               e.series_file.empty() ? std::string() : "  " + e.series_file});
  }
  const RateTable& r = forcing.rates;
  if (r.line == 0) return;
  out.write(kRatesHead, {static_cast<int>(r.x.size())});
  for (std::size_t k = 0; k < r.x.size(); ++k)
    out.write(kRatesRow, {r.x[k], column_value(r.theta_w, k, 1.0), column_value(r.theta_b, k, 1.0),
                          column_value(r.light_alpha, k, 0.0), column_value(r.extinction, k, 1.0)});
}

}  // namespace quarno
