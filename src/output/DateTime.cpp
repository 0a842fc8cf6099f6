#include "output/DateTime.hpp"

#include <cmath>
#include <cstdio>

namespace quarno {

namespace {

constexpr long long kSecondsPerDay = 86400;

// Days from 1970-01-01 to the civil date y-m-d (m 1..12, d 1..31), on the
// proleptic Gregorian calendar: eras of 400 years (146097 days) counted from
// March 1st, so that the leap day ends each year.
long long days_from_civil(long long y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;                              // 0..399
  const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // 0..365
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;       // 0..146096
  return era * 146097 + doe - 719468;
}

// The civil date of day z after 1970-01-01 (the inverse of days_from_civil).
void civil_from_days(long long z, long long& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

bool leap_year(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(long long y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_year(y) ? 29 : kDays[m - 1];
}

// A cursor over the text that reads fixed-width digit fields and separators.
struct Cursor {
  std::string_view s;
  std::size_t at = 0;
  bool done() const { return at == s.size(); }
  bool peek(char c) const { return at < s.size() && s[at] == c; }
  bool take(char c) {
    if (!peek(c)) return false;
    ++at;
    return true;
  }
  bool digits(int n, int& v) {
    v = 0;
    for (int k = 0; k < n; ++k, ++at) {
      if (at >= s.size() || s[at] < '0' || s[at] > '9') return false;
      v = v * 10 + (s[at] - '0');
    }
    return true;
  }
};

bool fail(std::string& reason, const char* why) {
  reason = why;
  return false;
}

// The time of day after the T, with its fraction: seconds of the day and
// nanoseconds.
bool read_time(Cursor& c, long long& seconds, long& nanos, std::string& reason) {
  int hh = 0, mm = 0, ss = 0;
  if (!c.digits(2, hh) || !c.take(':') || !c.digits(2, mm))
    return fail(reason, "the time must be HH:MM, HH:MM:SS or HH:MM:SS.fraction");
  if (c.take(':')) {
    if (!c.digits(2, ss)) return fail(reason, "the seconds must be two digits");
    if (c.take('.')) {
      int n = 0;
      for (; c.at < c.s.size() && c.s[c.at] >= '0' && c.s[c.at] <= '9'; ++c.at, ++n)
        if (n < 9) nanos = nanos * 10 + (c.s[c.at] - '0');
      if (n == 0) return fail(reason, "a decimal point must be followed by digits");
      for (; n < 9; ++n) nanos *= 10;
    }
  }
  if (hh > 23 || mm > 59) return fail(reason, "the hour must be 00 to 23 and the minute 00 to 59");
  if (ss > 59) return fail(reason, "the second must be 00 to 59 (leap seconds are not counted)");
  seconds = hh * 3600LL + mm * 60LL + ss;
  return true;
}

// The zone after the time: Z, +HH:MM, -HH:MM or nothing; the offset to add
// to local time to reach UTC (s).
bool read_zone(Cursor& c, long long& to_utc, std::string& reason) {
  to_utc = 0;
  if (c.take('Z')) return true;
  if (c.done()) return true;
  const bool east = c.peek('+');
  if (!c.take('+') && !c.take('-'))
    return fail(reason, "the time must be followed by Z, +HH:MM, -HH:MM or nothing");
  int hh = 0, mm = 0;
  if (!c.digits(2, hh) || !c.take(':') || !c.digits(2, mm) || hh > 23 || mm > 59)
    return fail(reason, "the zone offset must be +HH:MM or -HH:MM");
  to_utc = (east ? -1 : 1) * (hh * 3600LL + mm * 60LL);
  return true;
}

}  // namespace

bool parse_start_date(std::string_view text, StartDate& date, std::string& reason) {
  Cursor c{text};
  int y = 0, m = 0, d = 0;
  if (!c.digits(4, y) || !c.take('-') || !c.digits(2, m) || !c.take('-') || !c.digits(2, d))
    return fail(reason, "the date must be YYYY-MM-DD");
  if (m < 1 || m > 12) return fail(reason, "the month must be 01 to 12");
  if (d < 1 || d > days_in_month(y, m)) return fail(reason, "that month has no such day");
  long long seconds = 0, to_utc = 0;
  long nanos = 0;
  if (c.take('T') && (!read_time(c, seconds, nanos, reason) || !read_zone(c, to_utc, reason)))
    return false;
  if (!c.done()) return fail(reason, "unexpected text after the date");
  date.set = true;
  date.seconds = days_from_civil(y, m, d) * kSecondsPerDay + seconds + to_utc;
  date.nanos = nanos;
  return true;
}

namespace {

// The instant `t` seconds after `start` in whole milliseconds since
// 1970-01-01T00:00:00Z, rounded to the nearest; false when `t` is not finite
// or too far from the start to be counted so.
bool milliseconds_of(const StartDate& start, double t, long long& ms) {
  // Milliseconds after the start's whole second; beyond 2^53 they would no
  // longer be whole numbers.
  const double ms_after = static_cast<double>(start.nanos) * 1e-6 + t * 1000.0;
  if (!(std::fabs(ms_after) < 9.0e15)) return false;
  ms = start.seconds * 1000 + std::llround(ms_after);
  return true;
}

}  // namespace

bool date_within_calendar(const StartDate& start, double t) {
  long long ms = 0;
  return milliseconds_of(start, t, ms) && ms >= days_from_civil(1, 1, 1) * kSecondsPerDay * 1000 &&
         ms < days_from_civil(10000, 1, 1) * kSecondsPerDay * 1000;
}

int format_datetime(const StartDate& start, double t, char* buf) {
  long long ms = 0;
  if (!milliseconds_of(start, t, ms)) return 0;
  long long day = ms / (kSecondsPerDay * 1000);
  long long in_day = ms % (kSecondsPerDay * 1000);
  if (in_day < 0) {
    in_day += kSecondsPerDay * 1000;
    day -= 1;
  }
  long long y = 0;
  int mo = 0, d = 0;
  civil_from_days(day, y, mo, d);
  const long long s = in_day / 1000;
  const int n =
      std::snprintf(buf, kDateTimeCapacity, "%s%04lld-%02d-%02dT%02lld:%02lld:%02lld.%03lldZ",
                    y < 0 ? "-" : "", y < 0 ? -y : y, mo, d, s / 3600, s / 60 % 60, s % 60,
                    in_day % 1000);
  return n > 0 && n < kDateTimeCapacity ? n : 0;
}

}  // namespace quarno
