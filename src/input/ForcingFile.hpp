// The optional forcing file beside the deck (crforcing.toml): sources along
// the reach, each with its series inline or in a CSV file beside it, the
// weather ([environment], likewise) and the die-off rates' table ([rates]). Read and
// checked whole before any result file is opened; echoed into crOutput.txt
// after the deck's echo.
#pragma once

#include <string>

#include "model/Forcing.hpp"
#include "output/DateTime.hpp"
#include "output/TextLayout.hpp"

namespace quarno {

// Reads the forcing file `path` and every series file it names (relative to
// its folder) into a Forcing whose path is `path`. Positions are checked
// against the reach length L; dates become seconds since `start`, or since
// the [deck] table's start_date when `start` is not set, and are refused when
// the run has no start date. With a concentration unit declared in [deck],
// loads are scaled to the deck's unit (times the unit's volume in m3). The
// file and its series files must be regular files, opened without waiting (a
// FIFO or a device is refused).
// Throws InputError with one line naming the file and the line. A
// temperature factor that is legal but unusual is reported on `warnings`.
Forcing read_forcing_file(const std::string& path, double L, const StartDate& start,
                          TextOut& warnings);

// The start date the file's [deck] table gives; not set when it gives none.
StartDate deck_start_date(const Forcing& forcing);

// Whether the file `path` exists (as anything, a dangling link included).
bool forcing_file_exists(const std::string& path);

// The echo block: a title line naming the file and the number of sources,
// then one line per source; with an [environment], a line of its times and
// ranges; with [rates], one line per row, the defaults of the columns left out
// filled in.
void echo_forcing(TextOut& out, const Forcing& forcing);

}  // namespace quarno
