// Calendar dates for the CSV results: a start instant given on the command
// line, and model times written as ISO 8601 date-times in UTC. Pure integer
// calendar arithmetic on the proleptic Gregorian calendar: no time zone
// database, no locale, no leap seconds (every day has 86400 s).
#pragma once

#include <string>
#include <string_view>

namespace quarno {

// The instant of model time 0, in UTC: whole seconds since
// 1970-01-01T00:00:00Z and the nanoseconds after them.
struct StartDate {
  bool set = false;
  long long seconds = 0;
  long nanos = 0;  // 0..999999999
};

// Reads `text` as one of YYYY-MM-DD (midnight), YYYY-MM-DDTHH:MM,
// YYYY-MM-DDTHH:MM:SS and YYYY-MM-DDTHH:MM:SS.fraction, the time part
// followed by Z, +HH:MM, -HH:MM or nothing (read as UTC). Returns false with
// the reason in `reason` when the text is not such a date or names a day or
// time that does not exist.
bool parse_start_date(std::string_view text, StartDate& date, std::string& reason);

// Characters that format_datetime writes at most.
constexpr int kDateTimeCapacity = 40;

// Writes the instant `t` seconds after `start`, rounded to the nearest
// millisecond, as YYYY-MM-DDTHH:MM:SS.mmmZ into `buf` (kDateTimeCapacity
// characters) and returns its length; 0 when `t` is not finite or too far
// from the start to be a date.
int format_datetime(const StartDate& start, double t, char* buf);

// The first and last instants the results can hold: four-digit years.
inline constexpr const char* kFirstDate = "0001-01-01T00:00:00.000Z";
inline constexpr const char* kLastDate = "9999-12-31T23:59:59.999Z";

// True when format_datetime writes the instant `t` seconds after `start`
// as a date from kFirstDate to kLastDate.
bool date_within_calendar(const StartDate& start, double t);

}  // namespace quarno
