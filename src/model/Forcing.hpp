// What the reach receives besides its inlet and the groundwater table, from
// the optional forcing file beside the deck (crforcing.toml): sources along
// the reach, each a point source or a distributed inflow with series of
// discharge and concentration (or load) over time. Read once at set-up;
// absent, nothing of a run changes.
#pragma once

#include <string>
#include <vector>

namespace quarno {

// The file name, in the run folder.
constexpr char kForcingFile[] = "crforcing.toml";

// One source. Between its series times the values follow straight lines;
// before the first time and after the last they hold the nearest value. A
// series of one time is constant.
struct SourceSeries {
  std::string name;       // unique within the file
  int line = 0;           // the file's line that declares it, for messages
  double x = 0.0;         // m: a point source's position, or a stretch's start
  bool distributed = false;
  double x_to = 0.0;      // m: a distributed inflow's end (x < x_to)
  std::vector<double> t;  // s since time 0, increasing
  std::vector<double> Q;  // discharge (m3/s); negative takes water out
  std::vector<double> C;  // the inflow's concentration, or with `load` the amount per second
  bool load = false;      // C holds loads (concentration unit x m3/s)
  double strength = 1.0;  // multiplies the concentration or load (transport only)
  std::string series_file;  // the CSV file the series was read from; empty: inline
};

struct Forcing {
  std::string path;  // the file read; empty: none
  std::vector<SourceSeries> sources;
  bool any() const { return !sources.empty(); }
};

}  // namespace quarno
