// The forcing file crforcing.toml through the real program: every kind of
// bad file refused with exit 1 and one message naming file and line before
// any result file is touched, and a valid file with inline, CSV and dated
// series read into the expected sources and echoed, with the weather.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "input/ForcingFile.hpp"
#include "model/Errors.hpp"

namespace quarno::test {
namespace {

// A source of the small reach (L = 1000 m) around the lines under test.
std::string source(const std::string& body, const std::string& name = "outfall") {
  return "[[source]]\nname = \"" + name + "\"\n" + body;
}
const std::string kSeries = "times = [0.0, 300.0]\ndischarge = [0.1, 0.2]\n";

TEST(ForcingFile, EveryFaultIsRefusedWithItsLineBeforeAnyResultIsTouched) {
  struct Case {
    const char* what;
    std::string toml;
    std::string message;    // standard error, whole, without its line end
    std::string setup = "";  // bash commands in the folder before the run (series files)
  };
  const std::string with_x = "x = 10\n" + kSeries;
  const std::string csv = "printf 'time_s,discharge_m3s,concentration\\n0,1,5\\n";
  const std::string at = "crforcing.toml, line ";
  const std::string of = " of source \"outfall\" ";
  const std::string env = "[environment]\n", ofe = " of [environment] ";
  const std::string rates = "[rates]\nx = [0, 500]\n", ofr = " of [rates] ";
  const std::vector<Case> cases = {
      {"TOML syntax", source("x = 10\ntimes = [0, 1\n"),
       at + "4: not valid TOML: Error while parsing array: encountered end-of-file"},
      {"an unknown key", source("x = 10\ncolour = 1\n"),
       at + "4: unknown key \"colour\" in a [[source]] (its keys are name, x, x_to, times, "
            "discharge, concentration, load, series and strength)"},
      {"an unknown section", "\n[weather]\nT = 1\n",
       at + "2: unknown key \"weather\" (the file holds [deck], [[source]] tables, [environment] "
            "and [rates])"},
      {"a missing name", "\n[[source]]\nx = 10\n", at + "2: a [[source]] needs a name"},
      {"a missing x", source(kSeries + "load = [1, 1]\n"),
       at + "1: source \"outfall\" needs x, its position"},
      {"a missing series", source("x = 10\ntimes = [0]\nload = [1]\n"),
       at + "4: source \"outfall\" needs a series: times, discharge and concentration (or load), "
            "or series = \"file.csv\""},
      {"a duplicate name", source(with_x + "load = [1, 1]\n") + source("x = 2\nseries = \"s\"\n"),
       at + "7: the name \"outfall\" is already that of the source on line 1", csv + "' >s"},
      {"x beyond L", source("x = 1000.5\n" + kSeries + "load = [1, 1]\n"),
       at + "3: x" + of + "must lie between 0 and L = 1000 (found 1000.5)"},
      {"x_to not after x", source("x_to = 10\n" + with_x + "load = [1, 1]\n"),
       at + "3: x_to" + of + "must be greater than x = 10 (found 10)"},
      {"x_to beyond L", source("x_to = 1001\n" + with_x + "load = [1, 1]\n"),
       at + "3: x_to" + of + "must be at most L = 1000 (found 1001)"},
      {"times not increasing",
       source("x = 10\ntimes = [0,\n 60,\n 60]\ndischarge = [1, 1, 1]\nload = [1, 1, 1]\n"),
       at + "6: times(3)" + of + "must be later than the time before it (found 60 s after 60 s "
            "since time 0)"},
      {"arrays of different lengths", source(with_x + "load = [1]\n"),
       at + "6: load" + of + "has 1 value where times has 2"},
      {"empty arrays", source("x = 10\ntimes = []\ndischarge = []\nload = []\n"),
       at + "4: times" + of + "is empty; a series needs at least one value"},
      {"a value that is not finite",
       source("x = 10\ntimes = [0, 1]\ndischarge = [0.1, inf]\nload = [1, 1]\n"),
       at + "5: discharge(2)" + of + "must be a finite number (found inf)"},
      {"a value that is not a number",
       source("x = 10\ntimes = [0, true]\ndischarge = [1, 1]\nload = [1, 1]\n"),
       at + "4: times(2)" + of + "must be a number (found a boolean)"},
      {"a negative concentration", source(with_x + "concentration = [1, -2]\n"),
       at + "6: concentration(2)" + of + "must not be negative (found -2)"},
      {"a NaN load", source(with_x + "load = [nan, 1]\n"),
       at + "6: load(1)" + of + "must be a finite number (found nan)"},
      {"a negative strength", source(with_x + "load = [1, 1]\nstrength = -0.5\n"),
       at + "7: strength" + of + "must not be negative (found -0.5)"},
      {"an inline series and a series file", source("series = \"s\"\n" + with_x),
       at + "3: source \"outfall\" has both an inline series and series = \"...\"; give one",
       csv + "' >s"},
      {"both concentration and load", source(with_x + "concentration = [1, 1]\nload = [1, 1]\n"),
       at + "7: source \"outfall\" has both concentration and load; give one"},
      {"a missing series file", source("x = 10\nseries = \"s\"\n"),
       at + "4: cannot read the series file \"s\" (No such file or directory)"},
      {"a folder as the series file", source("x = 10\nseries = \"s\"\n"),
       at + "4: cannot read the series file \"s\" (not a regular file)", "mkdir s"},
      {"a FIFO as the series file", source("x = 10\nseries = \"s\"\n"),
       at + "4: cannot read the series file \"s\" (not a regular file)", "mkfifo s"},
      {"a fault in the series file", source("x = 10\nseries = \"s\"\n"),
       "s, line 4: concentration must not be negative (found -5)", csv + "# late\\n60,1,-5\\n' >s"},
      {"dates without a start date",
       source("x = 10\ntimes = [2024-06-01T00:00:00Z]\ndischarge = [1]\nload = [1]\n"),
       at + "4: times(1)" + of + "is a date, and dates need the run's start date (--start-date, or start_date in [deck])"},
      {"a FIFO as the forcing file", "",
       "crforcing.toml: cannot read the file (not a regular file)", "mkfifo crforcing.toml"},      // The weather: [environment] and [rates].
      {"an unknown key in [environment]", "[environment]\ntimes = [0]\nT = [1]\n",
       at + "3: unknown key \"T\" in [environment] (its keys are times, temperature_C, "
            "irradiance_W_per_m2 and series)"},
      {"[[rates]] for [rates]", "[[rates]]\nx = [0]\n",
       at + "1: rates must be a table, written [rates]"},
      {"environment times not increasing", env + "times = [0, 60, 30]\n",
       at + "2: times(3)" + ofe + "must be later than the time before it (found 30 s after 60 s "
            "since time 0)"},
      {"environment arrays of different lengths", env + "times = [0]\ntemperature_C = [1, 2]\n",
       at + "3: temperature_C" + ofe + "has 2 values where times has 1"},
      {"an empty environment array", env + "times = []\n",
       at + "2: times" + ofe + "is empty; a series needs at least one value"},
      {"values without times", env + "irradiance_W_per_m2 = [1]\n",
       at + "2: [environment] needs times for its values, or series = \"file.csv\""},
      {"a NaN irradiance", env + "times = [0]\nirradiance_W_per_m2 = [nan]\n",
       at + "3: irradiance_W_per_m2(1)" + ofe + "must be a finite number (found nan)"},
      {"a temperature beyond 50", env + "times = [0, 1]\ntemperature_C = [20, 50.5]\n",
       at + "3: temperature_C(2)" + ofe + "must lie between -5 and 50 (found 50.5)"},
      {"a negative irradiance", env + "times = [0]\nirradiance_W_per_m2 = [-1]\n",
       at + "3: irradiance_W_per_m2(1)" + ofe + "must not be negative (found -1)"},
      {"theta outside 0.9..1.3", rates + "theta_b = [1.1,\n 0.85]\n",
       at + "4: theta_b(2)" + ofr + "must lie between 0.9 and 1.3 (found 0.85)"},
      {"a negative light_alpha", rates + "light_alpha = [0, -1e-6]\n",
       at + "3: light_alpha(2)" + ofr + "must not be negative (found -1e-06)"},
      {"a zero extinction", rates + "extinction = [0, 1]\n",
       at + "3: extinction(1)" + ofr + "must be greater than 0 (found 0)"},
      {"rates without x", "[rates]\ntheta_w = [1]\n",
       at + "1: [rates] needs x, where each row's segment starts"},
      {"x(1) not 0", "[rates]\nx = [1]\n", at + "2: x(1)" + ofr + "must be 0, the inlet (found 1)"},
      {"x not increasing", "[rates]\nx = [0, 0]\n",
       at + "2: x(2)" + ofr + "must be greater than x(1) = 0 (found 0)"},
      {"x beyond L", "[rates]\nx = [0, 1000.5]\n",
       at + "2: x(2)" + ofr + "must be at most L = 1000 (found 1000.5)"},
      {"an inline environment and a series file", env + "times = [0]\nseries = \"w\"\n",
       at + "3: [environment] has both an inline series and series = \"...\"; give one"},
      {"a missing environment file", env + "series = \"w\"\n",
       at + "2: cannot read the series file \"w\" (No such file or directory)"},
      {"an unknown column in the environment file", env + "series = \"w\"\n",
       "w, line 1: unknown column \"discharge_m3s\" (the columns are time_s or datetime, "
       "temperature_C and irradiance_W_per_m2)",
       "printf 'time_s,discharge_m3s\\n0,1\\n' >w"},
      {"a bad value in the environment file", env + "series = \"w\"\n",
       "w, line 3: temperature_C must lie between -5 and 50 (found -6)",
       "printf 'temperature_C,time_s\\n1,0\\n-6,60\\n' >w"},
      {"environment dates without a start date", env + "times = [2024-06-01]\n",
       at + "2: times(1)" + ofe + "is a date, and dates need the run's start date (--start-date, or start_date in [deck])"},
      // The deck as a whole: [deck].
      {"an unknown key in [deck]", "[deck]\nstart_date = 2024-06-01\ntimezone = \"CET\"\n",
       at + "3: unknown key \"timezone\" in [deck] (its keys are start_date and "
            "concentration_unit)"},
      {"[[deck]] for [deck]", "[[deck]]\n", at + "1: deck must be a table, written [deck]"},
      {"a start date that is no date", "[deck]\nstart_date = 20240601\n",
       at + "2: start_date of [deck] must be a date-time or a string (found an integer)"},
      {"a start date on no day", "[deck]\nstart_date = \"2024-02-30T00:00Z\"\n",
       at + "2: start_date of [deck] \"2024-02-30T00:00Z\" is not an ISO 8601 date and time: "
            "that month has no such day"},
      {"a schedule ending after year 9999", "\n[deck]\nstart_date = 9999-12-31T23:55:00\n",
       at + "2: start_date of [deck]: the end of the schedule (600 s) falls on "
            "10000-01-01T00:05:00.000Z, after 9999-12-31T23:59:59.999Z, the last date the "
            "results can hold"},
      {"an unknown unit", "[deck]\nconcentration_unit = \"CFU/100 gallons\"\n",
       at + "2: concentration_unit of [deck] \"CFU/100 gallons\" is not an amount per volume the "
            "program knows (amounts: CFU, MPN, PFU, cells, copies, gc, kg, g, mg, ug, ng, mol, "
            "mmol, umol and nmol; volumes: m3, L, dL, 100 mL and mL)"},
      {"a unit that is no string", "[deck]\nconcentration_unit = 100\n",
       at + "2: concentration_unit of [deck] must be a string (found an integer)"},
      {"a date after the [deck] that gives none", "[deck]\nconcentration_unit = \"mg/L\"\n" +
       env + "times = [2024-06-01]\n",
       at + "4: times(1)" + ofe + "is a date, and dates need the run's start date (--start-date, or start_date in [deck])"},
  };
  const Reach r = small_reach();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder f(param_text(r), bicond_text(r));
    if (!c.toml.empty()) f.put("crforcing.toml", c.toml);
    ASSERT_EQ(f.sh(c.setup), 0);
    EXPECT_EQ(f.sh("timeout -s KILL 60 \"$Q\" --no-pause </dev/null >console.txt 2>errors.txt"),
              1);
    EXPECT_EQ(f.get("errors.txt"), c.message + "\n");
    EXPECT_FALSE(f.exists("crOutput.txt"));
    EXPECT_FALSE(f.exists("crObsNode.txt"));
  }
  // A deck that cannot be read is reported as such, whatever the forcing file holds.
  ScratchFolder f(with_line(param_text(r), 3, "0 0 2"), bicond_text(r));
  f.put("crforcing.toml", "not toml at all\n");
  EXPECT_EQ(f.run(), 1);
  EXPECT_EQ(f.get("errors.txt"), "crparam.txt, line 3: Nfdn must be at least 3 (found 2)\n");
}

TEST(ForcingFile, InlineCsvAndDatedSeriesAreReadAndEchoed) {
  const std::string toml =  // the sources start on lines 2, 9, 19 and 24
      "# sources of the small reach\n[[source]]\nname = \"outfall\"\nx = 300\n"
      "times = [0, 120.5, 600]\ndischarge = [0.05, -0.2, 0.05]\nconcentration = [2.0e5, 1e5, 0]\n"
      "\n[[source]]\nname = \"farm ditches\"\nx = 100.0\nx_to = 1000\n"
      "times = [\"2024-06-01T00:30Z\", 2024-06-01T03:00:00+02:00, 2024-06-01T02:00:00,\n"
      "         2024-06-02]\ndischarge = [0.01, 0.02, 0.03, 0.04]\nload = [50.0, 60, 70, 80]\n"
      "strength = 2\n\n[[source]]\nname = \"tributary\"\nx = 1000\nseries = \"trib.csv\"\n"
      "\n[[source]]\nname = \"drain\"\nx = 0\nx_to = 0.5\nseries = \"drain.csv\"\nstrength = 0\n"
      "\n[environment]\ntimes = [2024-06-01T00:00:00Z, \"2024-06-01T01:00Z\"]\n"
      "temperature_C = [16.5, 18]\n\n[rates]\nx = [0, 500.5]\ntheta_w = [1.07, 1.25]\n"
      "extinction = [1.5, 3]\n";  // [environment] on line 31, [rates] on 35
  const Reach r = small_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  f.put("crforcing.toml", toml);
  f.put("trib.csv", "# gauge 7\n time_s , discharge_m3s,load\r\n\r\n0,1.5,3\r\n60, 2.5 ,4e-1\r\n");
  f.put("drain.csv", "concentration,datetime,discharge_m3s\n7,2024-06-01T00:00:01.5,0\n");

  StartDate start;
  std::string reason;
  ASSERT_TRUE(parse_start_date("2024-06-01T00:00:00Z", start, reason));
  TextOut warnings;
  std::string warned;
  warnings.capture_to(&warned);
  const Forcing got = read_forcing_file(f.dir + "/crforcing.toml", 1000.0, start, warnings);
  const std::string theta_warning =
      "crforcing.toml, line 37: theta_w(2) of [rates] is 1.25, outside 1 to 1.2, the range "
      "measured for faecal indicator bacteria\n";
  EXPECT_EQ(warned, "warning: " + f.dir + "/" + theta_warning);
  ASSERT_EQ(got.sources.size(), 4u);
  const std::string folder = f.dir + "/";
  const std::vector<SourceSeries> want = {
      {"outfall", 2, 300.0, false, 0.0, {0.0, 120.5, 600.0}, {0.05, -0.2, 0.05}, {2e5, 1e5, 0.0},
       false, 1.0, ""},
      {"farm ditches", 9, 100.0, true, 1000.0, {1800.0, 3600.0, 7200.0, 86400.0},
       {0.01, 0.02, 0.03, 0.04}, {50.0, 60.0, 70.0, 80.0}, true, 2.0, ""},
      {"tributary", 19, 1000.0, false, 0.0, {0.0, 60.0}, {1.5, 2.5}, {3.0, 0.4}, true, 1.0,
       folder + "trib.csv"},
      {"drain", 24, 0.0, true, 0.5, {1.5}, {0.0}, {7.0}, false, 0.0, folder + "drain.csv"}};
  for (std::size_t k = 0; k < want.size(); ++k) {
    const SourceSeries &a = got.sources[k], &b = want[k];
    SCOPED_TRACE(b.name);
    EXPECT_EQ(std::tie(a.name, a.line, a.x, a.distributed, a.x_to, a.t, a.Q, a.C),
              std::tie(b.name, b.line, b.x, b.distributed, b.x_to, b.t, b.Q, b.C));
    EXPECT_EQ(std::tie(a.load, a.strength, a.series_file),
              std::tie(b.load, b.strength, b.series_file));
  }
  const EnvironmentSeries& e = got.environment;
  EXPECT_EQ(std::tie(e.line, e.series_file, e.t, e.T),
            std::make_tuple(31, std::string(), std::vector<double>{0.0, 3600.0},
                     std::vector<double>{16.5, 18.0}));
  EXPECT_TRUE(e.I0.empty());
  const RateTable& rt = got.rates;
  EXPECT_EQ(std::tie(rt.line, rt.x, rt.theta_w, rt.extinction),
            std::make_tuple(35, std::vector<double>{0.0, 500.5},
                     std::vector<double>{1.07, 1.25}, std::vector<double>{1.5, 3.0}));
  EXPECT_TRUE(rt.theta_b.empty() && rt.light_alpha.empty());
  // The environment from a CSV file, alone in its forcing file.
  f.put("weather.toml", "[environment]\nseries = \"weather.csv\"\n");
  f.put("weather.csv", "time_s, irradiance_W_per_m2,temperature_C\n0,0,-5\n3600,120.5,50\n");
  const Forcing csv = read_forcing_file(f.dir + "/weather.toml", 1000.0, start, warnings);
  EXPECT_EQ(std::tie(csv.environment.line, csv.environment.series_file, csv.environment.t,
                     csv.environment.T, csv.environment.I0),
            std::make_tuple(1, folder + "weather.csv", std::vector<double>{0.0, 3600.0},
                     std::vector<double>{-5.0, 50.0}, std::vector<double>{0.0, 120.5}));
  std::string echoed;
  TextOut echo;
  echo.capture_to(&echoed);
  echo_forcing(echo, csv);
  EXPECT_EQ(echoed, "\nSources along the reach (" + f.dir + "/weather.toml): NSource=   0\n\n"
                    "Environment: NTimes=     2  T(C) min, max: -0.5000E+01  0.5000E+02  "
                    "I0(W/m2) min, max:  0.0000E+00  0.1205E+03  " + folder + "weather.csv\n");
  // Dates are measured from the run's start: a later start moves them back.
  ASSERT_TRUE(parse_start_date("2024-06-01T01:00", start, reason));
  EXPECT_EQ(read_forcing_file(f.dir + "/crforcing.toml", 1000.0, start, warnings).sources[1].t,
            (std::vector<double>{-1800.0, 0.0, 3600.0, 82800.0}));
  EXPECT_THROW(read_forcing_file(f.dir + "/crforcing.toml", 999.0, start, warnings), InputError);

  ASSERT_EQ(f.sh("\"$Q\" --no-pause --start-date 2024-06-01 </dev/null >console.txt "
                 "2>errors.txt"),
            0)
      << f.get("errors.txt");
  EXPECT_EQ(f.get("errors.txt"), "warning: " + theta_warning);
  const std::string results = f.get("crOutput.txt");
  const std::size_t from = results.find("\nSources along");
  const std::size_t to = results.find("*****", from);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  EXPECT_LT(results.find("Coordinates X(m):"), from);  // after the deck's echo
  const std::string name_pad(30, ' ');
  EXPECT_EQ(
      results.substr(from + 1, to - from - 1),
      "Sources along the reach (crforcing.toml): NSource=   4\n\n"
      "  Name                                      Kind           X(m)      Xto(m) Points  "
      "Qmin(m3/s)  Qmax(m3/s)  Of       Minimum     Maximum    Strength  Series file\n\n"
      "  outfall   " + name_pad + "  point    0.3000E+03                  3 -0.2000E+00  "
      "0.5000E-01  conc  0.0000E+00  0.2000E+06  0.1000E+01\n"
      "  farm ditches" + name_pad.substr(2) + "  stretch  0.1000E+03  0.1000E+04      4  "
      "0.1000E-01  0.4000E-01  load  0.5000E+02  0.8000E+02  0.2000E+01\n"
      "  tributary " + name_pad + "  point    0.1000E+04                  2  0.1500E+01  "
      "0.2500E+01  load  0.4000E+00  0.3000E+01  0.1000E+01  trib.csv\n"
      "  drain     " + name_pad + "  stretch  0.0000E+00  0.5000E+00      1  0.0000E+00  "
      "0.0000E+00  conc  0.7000E+01  0.7000E+01  0.0000E+00  drain.csv\n"
      "\nEnvironment: NTimes=     2  T(C) min, max:  0.1650E+02  0.1800E+02  "
      "I0(W/m2) min, max:  none\n"
      "\nDie-off rate segments: NRates=   2\n\n"
      "        X(m)     theta_w     theta_b light_alpha  extinction\n\n"
      "  0.0000E+00  0.1070E+01  0.1000E+01  0.0000E+00  0.1500E+01\n"
      "  0.5005E+03  0.1250E+01  0.1000E+01  0.0000E+00  0.3000E+01\n");
}

// The [deck] table on the real program: its start date dates the results and
// the series as --start-date does (the option winning over it), and its unit
// turns a load in amount per second into the deck's concentrations.
TEST(ForcingFile, DeckTableDatesTheRunAndScalesLoads) {
  Reach r = small_reach();
  r.NTr = 1;
  const std::string dated = "[[source]]\nname = \"drain\"\nx = 250\ntimes = "
                            "[\"2024-06-01T00:02Z\", 2024-06-01T00:08:00Z]\n"
                            "discharge = [0.5, 0.5]\nconcentration = [40, 80]\n";
  const std::vector<std::string> files = {"crObsNode.csv", "crProfiles.csv", "crBalance.csv",
                                          "crObsNode.txt"};
  ScratchFolder by_option(param_text(r), bicond_text(r));
  by_option.put("crforcing.toml", dated);
  ASSERT_EQ(by_option.sh("\"$Q\" --no-pause --csv --start-date 2024-06-01T00:00Z </dev/null "
                         ">console.txt 2>errors.txt"),
            0)
      << by_option.get("errors.txt");
  EXPECT_NE(by_option.get("crProfiles.csv").find(",2024-06-01T00:10:00.000Z,"), std::string::npos);
  for (const char* deck : {"start_date = 2024-06-01T02:00:00+02:00",
                           "start_date = \"2024-06-01\"\nconcentration_unit = \"g/m3\"",
                           "start_date = 1999-01-01T00:00:00  # the option wins"}) {
    SCOPED_TRACE(deck);
    ScratchFolder f(param_text(r), bicond_text(r));
    f.put("crforcing.toml", "[deck]\n" + std::string(deck) + "\n\n" + dated);
    const bool option = std::string(deck).find("wins") != std::string::npos;
    ASSERT_EQ(f.sh(std::string("\"$Q\" --no-pause --csv ") +
                   (option ? "--start-date 2024-06-01 " : "") +
                   "</dev/null >console.txt 2>errors.txt"),
              0)
        << f.get("errors.txt");
    for (const std::string& name : files) EXPECT_EQ(f.get(name), by_option.get(name)) << name;
  }
  // 2 mg/s into 0.5 m3/s is 4 mg/m3, 0.004 mg/L: the same stream as a
  // concentration of 0.004 in a deck in mg/L, and a thousand times less
  // than a load read as (deck unit) m3/s.
  std::vector<ObsRow> runs[2];
  for (const int as_load : {0, 1}) {
    ScratchFolder f(param_text(r), bicond_text(r));
    f.put("crforcing.toml", std::string("[deck]\nconcentration_unit = \" mg / L \"\n") +
                                "[[source]]\nname = \"pipe\"\nx = 250\ntimes = [0]\n"
                                "discharge = [0.5]\n" +
                                (as_load ? "load = [2]\n" : "concentration = [0.004]\n"));
    ASSERT_EQ(f.run(), 0) << f.get("errors.txt");
    runs[as_load] = read_obs(f.get("crObsNode.txt"), 1);
  }
  ASSERT_EQ(runs[0].size(), runs[1].size());
  ASSERT_GT(runs[0].size(), 2u);
  EXPECT_GT(runs[0].back().C[0], 1e-4);
  for (std::size_t k = 0; k < runs[0].size(); ++k)
    EXPECT_NEAR(runs[1][k].C[0], runs[0][k].C[0], 1e-6 * runs[0].back().C[0]) << k;
}

}  // namespace
}  // namespace quarno::test
