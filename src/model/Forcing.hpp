// What the reach receives besides its inlet and the groundwater table, and
// the weather it lives in, from the optional forcing file beside the deck
// (crforcing.toml): sources along the reach, each a point source or a
// distributed inflow with series of discharge and concentration (or load)
// over time; the water temperature and the sunlight over time, and per reach
// segment how the die-off rates follow them. Read once at set-up; absent,
// nothing of a run changes.
#pragma once

#include <string>
#include <vector>

#include "model/FileNames.hpp"
#include "model/Units.hpp"

namespace quarno {

// The file name, in the run folder.
constexpr const char* kForcingFile = files::kForcing;

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

// The weather over time ([environment]): water temperature and the solar
// irradiance incident on the water surface, on the series rule above. Either
// may be missing: then the temperature is 20 degrees C and the irradiance 0.
struct EnvironmentSeries {
  int line = 0;                // the file's line of [environment], for messages
  std::string series_file;     // the CSV file the series was read from; empty: inline
  std::vector<double> t;       // s since time 0, increasing
  std::vector<double> T;       // water temperature (degrees C); empty: none given
  std::vector<double> I0;      // irradiance at the surface (W/m2); empty: none given
  bool any() const { return !T.empty() || !I0.empty(); }
};

// How the die-off rates follow the weather, per reach segment ([rates]): row
// r holds from x(r) to x(r+1), the last row to X = L (the step rule of the
// deck's tables). The water rate is Kdw theta_w^(T-20) + light_alpha Ibar,
// Ibar = I0 (1 - exp(-extinction h))/(extinction h) the irradiance averaged
// over the local depth h; the bed rate Kds theta_b^(T-20). A column left out
// takes its default on the whole reach: theta 1, light_alpha 0, extinction 1.
struct RateTable {
  int line = 0;
  std::vector<double> x;            // m, increasing, the first 0
  std::vector<double> theta_w;      // temperature factor of the water rate (-)
  std::vector<double> theta_b;      // temperature factor of the bed rate (-)
  std::vector<double> light_alpha;  // light inactivation (m2/(W s)): 1/s per W/m2
  std::vector<double> extinction;   // light extinction in the water (1/m)
  bool any() const { return !x.empty(); }
};

// What the file says of the deck as a whole ([deck]): the instant of model
// time 0 and the unit of every concentration of the deck. Both optional.
struct DeckTable {
  int line = 0;                  // the file's line of [deck]; 0: no table
  bool start_set = false;        // start_date given
  long long start_seconds = 0;   // its instant, as the run's StartDate holds it
  long start_nanos = 0;
  ConcentrationUnit unit;        // concentration_unit; not declared: none
};

struct Forcing {
  std::string path;  // the file read; empty: none
  DeckTable deck;
  std::vector<SourceSeries> sources;
  EnvironmentSeries environment;
  RateTable rates;
  bool any() const { return !sources.empty(); }
  // The die-off rates follow the weather: an environment series is given.
  bool weather() const { return environment.any(); }
};

}  // namespace quarno
